#include "module/frame/file_access.h"

#include "sdk/identifiers.h"

FileInterfaces::~FileInterfaces() {
    if (stream_) stream_->Release();
    if (archive_) archive_->Release();
}

bool FileInterfaces::open(IUnknown* file) {
    if (!file) return false;
    void* archive = nullptr;
    if (qeFailed(file->QueryInterface(qe::IID_IQEArchive, &archive)) || !archive) return false;
    archive_ = static_cast<IQEArchive*>(archive);
    // Any non-zero result is a failure. A null stream is caught when the format is read.
    IQEStream* stream = nullptr;
    if (archive_->GetStream(&stream) != QE_OK) return false;
    stream_ = stream;
    return true;
}

bool readCurrentFormat(IQEStream* stream, uint32_t* format) {
    if (!stream) return false;
    void* found = nullptr;
    if (qeFailed(stream->QueryInterface(qe::IID_IQEProperty, &found)) || !found) return false;
    IQEProperty* properties = static_cast<IQEProperty*>(found);
    const QEPROPVALUE* value = nullptr;
    const bool read = qeSucceeded(properties->GetProperty(qe::PID_File_CurrentFormat, &value)) && value;
    if (read) *format = value->uintVal;
    properties->Release();
    return read;
}
