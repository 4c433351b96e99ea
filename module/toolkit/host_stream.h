// Bounded reads and writes of a file through the host's stream interfaces. Every function
// accepts a null stream and answers it as a failure; none reads or writes past `length`.
//
// Three answers are kept apart, because repairs rely on the difference:
//   - a refusal: the host failed the seek, the read or the write (a storage fault);
//   - a short transfer: the host answered but fewer bytes moved (a read at the end of the file);
//   - the full transfer.
// Offsets are 64-bit (IQEStream's Seek takes them as they are); the size comes from the
// stream's 64-bit view where the host offers it.
#pragma once

#include <cstdint>
#include <optional>

#include "sdk/file_interfaces.h"

namespace remedy {

// Absolute seek. False when the offset does not fit the stream's 64-bit position or the
// stream refuses it.
bool seekTo(IQEStream* stream, uint64_t offset);

// Reads up to `length` bytes at the current position; the count that arrived (0 on refusal).
uint32_t readSome(IQEStream* stream, void* buffer, uint32_t length);

// Seek then read; the count that arrived (0 on refusal, short where the file ends).
uint32_t readAt(IQEStream* stream, uint64_t offset, void* buffer, uint32_t length);

// Seek then read, keeping a refusal apart from the end of the file: nullopt when the stream
// failed the seek or the read; otherwise the count that arrived (short only where the file ends).
std::optional<uint32_t> readAtOrRefused(IQEStream* stream, uint64_t offset, void* buffer, uint32_t length);

// Exactly `length` bytes at `offset`: false on a refusal and on a short read alike.
bool readExactAt(IQEStream* stream, uint64_t offset, void* buffer, uint32_t length);

// Seek then write; the count written (0 on refusal).
uint32_t writeAt(IQEStream* stream, uint64_t offset, const void* buffer, uint32_t length);

// Exactly `length` bytes written at `offset`: false on a refusal and on a short write alike.
bool writeExactAt(IQEStream* stream, uint64_t offset, const void* buffer, uint32_t length);

// The stream's size, from its 64-bit view when the host offers one (the 32-bit pair
// otherwise, or when the 64-bit view cannot tell); nullopt when neither can tell.
std::optional<uint64_t> streamSize(IQEStream* stream);

// Truncates or extends the stream to `size`, through its 64-bit view when the host offers one.
bool setStreamSize(IQEStream* stream, uint64_t size);

// The size of a stream below 4 GiB; nullopt when it cannot be told or is 4 GiB or more.
std::optional<uint32_t> streamSize32(IQEStream* stream);

}  // namespace remedy
