// Positioned reads and writes the container readers share for reaching a file's bytes through
// the host's stream interfaces; each reports how many bytes really moved.
#pragma once

#include <cstdint>
#include <optional>

#include "sdk/file_interfaces.h"

namespace remedy::formats {

// Absolute seek. False when the offset does not fit the stream's 64-bit position or the
// stream refuses it.
inline bool seekTo(IQEStream* stream, uint64_t offset) {
    if (!stream || offset > uint64_t(INT64_MAX)) return false;
    return qeSucceeded(stream->Seek(int64_t(offset), QE_SEEK_SET, nullptr));
}

// Reads up to `length` bytes at the current position; the count that arrived (0 on failure).
inline uint32_t readSome(IQEStream* stream, void* buffer, uint32_t length) {
    uint32_t done = 0;
    if (!stream || qeFailed(stream->Read(buffer, length, &done))) return 0;
    return done <= length ? done : 0;
}

// Seek then read; the count that arrived (0 when the seek fails).
inline uint32_t readAt(IQEStream* stream, uint64_t offset, void* buffer, uint32_t length) {
    return seekTo(stream, offset) ? readSome(stream, buffer, length) : 0;
}

// Seek then read, keeping a refusal apart from the end of the file: nullopt when the stream
// failed the seek or the read; otherwise the count that arrived (short only where the file ends).
inline std::optional<uint32_t> readAtOrRefused(IQEStream* stream, uint64_t offset, void* buffer, uint32_t length) {
    uint32_t done = 0;
    if (!seekTo(stream, offset) || qeFailed(stream->Read(buffer, length, &done)) || done > length) return std::nullopt;
    return done;
}

// Seek then write; the count written (0 when the seek fails).
inline uint32_t writeAt(IQEStream* stream, uint64_t offset, const void* buffer, uint32_t length) {
    if (!seekTo(stream, offset)) return 0;
    uint32_t done = 0;
    if (qeFailed(stream->Write(buffer, length, &done))) return 0;
    return done <= length ? done : 0;
}

// The stream's size; false when the stream cannot tell.
inline bool streamSize(IQEStream* stream, uint64_t* size) {
    uint32_t low = 0, high = 0;
    if (!stream || qeFailed(stream->GetSize(&low, &high))) return false;
    *size = (uint64_t(high) << 32) | low;
    return true;
}

}  // namespace remedy::formats
