// A stream over a host file object that records the calls a toolkit function makes on it and
// can be told to fail them. It answers IQEStream only, unless `offerX` is set.
#pragma once

#include <atomic>
#include <vector>

#include "host/qxbase/file_object.h"
#include "sdk/identifiers.h"

namespace toolkit_test {

class RecordingStream final : public IQEStream, public IQXStream {
public:
    explicit RecordingStream(host::FileObject* file, bool offerX = false) : file_(file), offerX_(offerX) {
        file_->AddRef();
    }
    ~RecordingStream() { file_->Release(); }

    std::vector<uint32_t> readSizes;    // what each Read asked for
    std::vector<uint32_t> writeSizes;   // what each Write was given
    std::vector<uint64_t> seeks;        // IQEStream and IQXStream seeks
    int xSeeks = 0;
    int failWriteAt = -1;               // the n-th Write (0-based) reports fewer bytes
    int failSeekAt = -1;                // the n-th Seek fails
    bool failGetSize = false;
    bool failSetSize = false;

    QRESULT QueryInterface(const GUID& iid, void** out) override {
        if (iid == qe::IID_IUnknown || iid == qe::IID_IQEStream) *out = static_cast<IQEStream*>(this);
        else if (offerX_ && iid == qe::IID_IQXStream) *out = static_cast<IQXStream*>(this);
        else return QE_E_NOINTERFACE;
        AddRef();
        return QE_OK;
    }
    uint32_t AddRef() override { return ++refs_; }
    uint32_t Release() override { return --refs_; }  // owned by the test, on its stack
    uint32_t refs() const { return refs_; }
    IUnknown* unknown() { return static_cast<IQEStream*>(this); }

    QRESULT Read(void* buffer, uint32_t length, uint32_t* done) override {
        readSizes.push_back(length);
        return asStream()->Read(buffer, length, done);
    }
    QRESULT Write(const void* buffer, uint32_t length, uint32_t* done) override {
        const int call = int(writeSizes.size());
        writeSizes.push_back(length);
        QRESULT r = asStream()->Write(buffer, length, done);
        if (call == failWriteAt && done && *done) *done -= 1;
        return r;
    }
    QRESULT Flush() override { return QE_OK; }
    QRESULT Seek(int64_t offset, uint32_t origin, uint64_t* newPosition) override {
        const int call = int(seeks.size());
        seeks.push_back(uint64_t(offset));
        if (call == failSeekAt) return QE_E_FAIL;
        return asStream()->Seek(offset, origin, newPosition);
    }
    QRESULT Tell(uint64_t* position) override { return asStream()->Tell(position); }
    QRESULT GetSize(uint32_t* low, uint32_t* high) override {
        if (failGetSize) return QE_E_FAIL;
        return asStream()->GetSize(low, high);
    }
    QRESULT SetSize(uint32_t low, uint32_t high) override {
        if (failSetSize) return QE_E_FAIL;
        return asStream()->SetSize(low, high);
    }
    QRESULT SetAccess(uint32_t flags, uint32_t reserved) override { return asStream()->SetAccess(flags, reserved); }
    QRESULT Remove() override { return asStream()->Remove(); }

    // IQXStream
    QRESULT GetParentArchive(IQEArchive** out) override { return asX()->GetParentArchive(out); }
    QRESULT Prepare(uint32_t flags) override { return asX()->Prepare(flags); }
    QRESULT GetName(QEPATHRECORD* out) override { return asX()->GetName(out); }
    QRESULT Close() override { return QE_OK; }
    QRESULT Seek(int64_t offset, uint32_t origin) override {
        ++xSeeks;
        return Seek(offset, origin, nullptr);
    }
    QRESULT GetSize(uint64_t* size) override {
        if (failGetSize) return QE_E_FAIL;
        return asX()->GetSize(size);
    }
    QRESULT SetSize(uint64_t size) override {
        if (failSetSize) return QE_E_FAIL;
        return asX()->SetSize(size);
    }

private:
    IQEStream* asStream() { return static_cast<IQEStream*>(file_); }
    IQXStream* asX() { return static_cast<IQXStream*>(file_); }
    host::FileObject* file_;
    bool offerX_;
    std::atomic<uint32_t> refs_{1};
};

}  // namespace toolkit_test
