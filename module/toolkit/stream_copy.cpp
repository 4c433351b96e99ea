#include "module/toolkit/stream_copy.h"

#include <memory>
#include <new>

#include "module/toolkit/interface_ptr.h"
#include "sdk/identifiers.h"

using remedy::InterfacePtr;
using remedy::queryInterface;

namespace {

std::unique_ptr<uint8_t[]> allocateBlock(uint32_t blockSize) {
    if (blockSize == 0) return nullptr;
    return std::unique_ptr<uint8_t[]>(new (std::nothrow) uint8_t[blockSize]);
}

// Positions are carried in 64 bits so that an offset near 4 GiB plus a count never wraps
// back to the start of the file.
QRESULT seekTo(IQEStream* stream, uint64_t position) {
    return stream->Seek(int64_t(position), QE_SEEK_SET, nullptr);
}

// Seeks through IQXStream when the object offers it.
QRESULT seekSource(IQXStream* x, IQEStream* stream, uint64_t position) {
    return x ? x->Seek(int64_t(position), QE_SEEK_SET) : seekTo(stream, position);
}

// Where a DataCopy / CopyFileObjectToFileObject step writes its bytes.
class BlockSink {
public:
    virtual ~BlockSink() = default;
    virtual bool write(const uint8_t* data, uint32_t length, uint64_t offset) = 0;
};

class ExecSink : public BlockSink {
public:
    explicit ExecSink(IExecExport* exec) : exec_(exec) {}
    bool write(const uint8_t* data, uint32_t length, uint64_t offset) override {
        if (offset > 0xFFFFFFFFull) return false;
        return exec_->WriteFile(data, uint32_t(offset), length) == length;
    }

private:
    IExecExport* exec_;
};

class StreamObjectSink : public BlockSink {
public:
    explicit StreamObjectSink(IUnknown* object) : object_(object) {}
    bool write(const uint8_t* data, uint32_t length, uint64_t offset) override {
        // The destination is asked again for every block, as the host may hand out a fresh view.
        InterfacePtr<IQEStream> stream = queryInterface<IQEStream>(object_, qe::IID_IQEStream);
        if (!stream) return false;
        if (seekTo(stream.get(), offset) < 0) return false;
        uint32_t done = 0;
        return stream->Write(data, length, &done) >= 0 && done == length;
    }

private:
    IUnknown* object_;
};

int copyBlocks(IUnknown* source, uint32_t srcOffset, BlockSink& sink, uint32_t dstOffset, uint32_t count,
               uint32_t blockSize) {
    std::unique_ptr<uint8_t[]> buffer = allocateBlock(blockSize);
    if (!buffer) return 0;
    InterfacePtr<IQEStream> stream = queryInterface<IQEStream>(source, qe::IID_IQEStream);
    InterfacePtr<IQXStream> x = queryInterface<IQXStream>(source, qe::IID_IQXStream);
    const uint32_t steps = count / blockSize + (count % blockSize ? 1 : 0);
    if (steps && !stream) return 0;
    for (uint32_t i = 0; i < steps; ++i) {
        const uint64_t step = uint64_t(i) * blockSize;
        if (seekSource(x.get(), stream.get(), srcOffset + step) < 0) return 0;
        // Every step reads a whole block, also the last one.
        uint32_t got = 0;
        if (stream->Read(buffer.get(), blockSize, &got) < 0 || got == 0 || got > blockSize) return 0;
        if (!sink.write(buffer.get(), got, dstOffset + step)) return 0;
    }
    return 1;
}

}  // namespace

QRESULT streamncpy(IQEStream* dst, IQEStream* src, uint32_t dstOffset, uint32_t srcOffset, uint32_t count,
                   uint32_t blockSize) {
    if (!dst || !src) return QE_E_INVALIDARG;
    std::unique_ptr<uint8_t[]> buffer = allocateBlock(blockSize);
    if (!buffer) return QE_E_FAIL;
    uint64_t from = srcOffset, to = dstOffset;
    uint32_t left = count;
    while (left > 0) {
        const uint32_t want = left < blockSize ? left : blockSize;
        if (seekTo(src, from) < 0) return QE_E_FAIL;
        uint32_t got = 0;
        if (src->Read(buffer.get(), want, &got) < 0 || got > want) return QE_E_FAIL;
        // Once the source is exhausted every further read is empty; nothing is left to move.
        if (got == 0) break;
        if (seekTo(dst, to) < 0) return QE_E_FAIL;
        uint32_t written = 0;
        if (dst->Write(buffer.get(), got, &written) < 0 || written != got) return QE_E_FAIL;
        from += got;
        to += got;
        left -= want;
    }
    if (dst->SetSize(uint32_t(to), uint32_t(to >> 32)) < 0) return QE_E_FAIL;
    return QE_OK;
}

QRESULT streamcpy(IQEStream* dst, IQEStream* src, uint32_t dstOffset, uint32_t srcOffset, uint32_t blockSize) {
    if (!dst || !src) return QE_E_INVALIDARG;
    uint32_t size = 0, high = 0;
    if (src->GetSize(&size, &high) < 0) return QE_E_FAIL;
    // The count is 32 bits wide; a source above 4 GiB is copied up to its first 4 GiB.
    if (high == 0 && size <= srcOffset) return QE_E_FAIL;
    const uint32_t count = high ? 0xFFFFFFFFu - srcOffset : size - srcOffset;
    return streamncpy(dst, src, dstOffset, srcOffset, count, blockSize);
}

int DataCopy(IUnknown* source, uint32_t srcOffset, IExecExport* destination, uint32_t dstOffset, uint32_t count,
             uint32_t blockSize) {
    if (!destination) return 0;
    ExecSink sink(destination);
    return copyBlocks(source, srcOffset, sink, dstOffset, count, blockSize);
}

int CopyFileObjectToFileObject(IUnknown* source, uint32_t srcOffset, IUnknown* destination, uint32_t dstOffset,
                               uint32_t count, uint32_t blockSize) {
    StreamObjectSink sink(destination);
    return copyBlocks(source, srcOffset, sink, dstOffset, count, blockSize);
}

void Decode(uint8_t* dst, const uint16_t* src, uint32_t count) {
    if (!dst || !src) return;
    for (uint32_t i = 0; i < count; ++i) dst[i] = uint8_t(src[i] & 0xFF);
}
