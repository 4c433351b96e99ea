// An archive node over a PDF document ("PdfArchive"): created over an existing file object
// (the context of RoCreateInstance) or opened later on a stream with Open. It accepts only a
// stream whose first 1024 bytes hold "%PDF-" and hands out that stream.
#pragma once

#include "host/qxbase/ref_count.h"
#include "sdk/file_interfaces.h"

namespace host {

class PdfArchive final : public IQEArchive {
public:
    PdfArchive() = default;  // starts with one reference, closed

    QRESULT QueryInterface(const GUID& iid, void** out) override;
    uint32_t AddRef() override;
    uint32_t Release() override;
    // Binds to the stream of `stream` (any object answering IQEStream): QE_E_INVALIDARG when
    // it has none, QE_E_FAIL when it is not a PDF. A previous stream is released.
    QRESULT Open(IUnknown* stream) override;
    QRESULT Close() override;
    QRESULT GetStream(IQEStream** out) override;  // QE_E_UNEXPECTED when closed

private:
    ~PdfArchive();

    RefCount refs_;
    IQEStream* stream_ = nullptr;
};

// True when "%PDF-" starts within the first 1024 bytes of the stream; its position is kept.
bool streamIsPdf(IQEStream* stream);

}  // namespace host
