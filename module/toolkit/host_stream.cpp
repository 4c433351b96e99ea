#include "module/toolkit/host_stream.h"

#include "module/toolkit/interface_ptr.h"
#include "sdk/identifiers.h"

namespace remedy {

bool seekTo(IQEStream* stream, uint64_t offset) {
    if (!stream || offset > uint64_t(INT64_MAX)) return false;
    return qeSucceeded(stream->Seek(int64_t(offset), QE_SEEK_SET, nullptr));
}

uint32_t readSome(IQEStream* stream, void* buffer, uint32_t length) {
    uint32_t done = 0;
    if (!stream || qeFailed(stream->Read(buffer, length, &done))) return 0;
    return done <= length ? done : 0;
}

uint32_t readAt(IQEStream* stream, uint64_t offset, void* buffer, uint32_t length) {
    return seekTo(stream, offset) ? readSome(stream, buffer, length) : 0;
}

std::optional<uint32_t> readAtOrRefused(IQEStream* stream, uint64_t offset, void* buffer, uint32_t length) {
    uint32_t done = 0;
    if (!seekTo(stream, offset) || qeFailed(stream->Read(buffer, length, &done)) || done > length) return std::nullopt;
    return done;
}

bool readExactAt(IQEStream* stream, uint64_t offset, void* buffer, uint32_t length) {
    return readAtOrRefused(stream, offset, buffer, length) == length;
}

uint32_t writeAt(IQEStream* stream, uint64_t offset, const void* buffer, uint32_t length) {
    if (!seekTo(stream, offset)) return 0;
    uint32_t done = 0;
    if (qeFailed(stream->Write(buffer, length, &done))) return 0;
    return done <= length ? done : 0;
}

bool writeExactAt(IQEStream* stream, uint64_t offset, const void* buffer, uint32_t length) {
    if (!seekTo(stream, offset)) return false;
    uint32_t done = 0;
    return qeSucceeded(stream->Write(buffer, length, &done)) && done == length;
}

std::optional<uint64_t> streamSize(IQEStream* stream) {
    if (!stream) return std::nullopt;
    if (InterfacePtr<IQXStream> wide = queryInterface<IQXStream>(stream, qe::IID_IQXStream)) {
        uint64_t size = 0;
        if (qeSucceeded(wide->GetSize(&size))) return size;
    }
    uint32_t low = 0, high = 0;
    if (qeFailed(stream->GetSize(&low, &high))) return std::nullopt;
    return (uint64_t(high) << 32) | low;
}

bool setStreamSize(IQEStream* stream, uint64_t size) {
    if (!stream) return false;
    if (InterfacePtr<IQXStream> wide = queryInterface<IQXStream>(stream, qe::IID_IQXStream))
        return qeSucceeded(wide->SetSize(size));
    return qeSucceeded(stream->SetSize(uint32_t(size), uint32_t(size >> 32)));
}

std::optional<uint32_t> streamSize32(IQEStream* stream) {
    const std::optional<uint64_t> size = streamSize(stream);
    if (!size || *size > UINT32_MAX) return std::nullopt;
    return uint32_t(*size);
}

}  // namespace remedy
