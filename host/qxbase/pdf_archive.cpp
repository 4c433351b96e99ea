#include "host/qxbase/pdf_archive.h"

#include <cstring>
#include <string_view>

#include "sdk/identifiers.h"

namespace host {

bool streamIsPdf(IQEStream* stream) {
    uint64_t position = 0;
    if (stream->Tell(&position) != QE_OK || stream->Seek(0, QE_SEEK_SET, nullptr) != QE_OK) return false;
    char head[1024];
    uint32_t got = 0;
    QRESULT r = stream->Read(head, sizeof head, &got);
    stream->Seek(int64_t(position), QE_SEEK_SET, nullptr);
    if (r != QE_OK || got > sizeof head) return false;
    return std::string_view(head, got).find("%PDF-") != std::string_view::npos;
}

PdfArchive::~PdfArchive() { Close(); }

QRESULT PdfArchive::QueryInterface(const GUID& iid, void** out) {
    if (!out) return QE_E_INVALIDARG;
    if (iid != qe::IID_IUnknown && iid != qe::IID_IQEArchive) return QE_E_NOINTERFACE;
    AddRef();
    *out = static_cast<IQEArchive*>(this);
    return QE_OK;
}

uint32_t PdfArchive::AddRef() { return refs_.add(); }

uint32_t PdfArchive::Release() {
    uint32_t left = refs_.release();
    if (left == 0) delete this;
    return left;
}

QRESULT PdfArchive::Open(IUnknown* source) {
    if (!source) return QE_E_INVALIDARG;
    IQEStream* stream = nullptr;
    if (source->QueryInterface(qe::IID_IQEStream, reinterpret_cast<void**>(&stream)) != QE_OK || !stream)
        return QE_E_INVALIDARG;
    if (!streamIsPdf(stream)) {
        stream->Release();
        return QE_E_FAIL;
    }
    Close();
    stream_ = stream;
    return QE_OK;
}

QRESULT PdfArchive::Close() {
    if (stream_) stream_->Release();
    stream_ = nullptr;
    return QE_OK;
}

QRESULT PdfArchive::GetStream(IQEStream** out) {
    if (!out) return QE_E_INVALIDARG;
    *out = nullptr;
    if (!stream_) return QE_E_UNEXPECTED;
    stream_->AddRef();
    *out = stream_;
    return QE_OK;
}

}  // namespace host
