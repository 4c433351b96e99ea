// Shared pieces of the Win32 cleaner tests: running the module through the host (the DOS
// tests' host driver serves PE files as well) and building the bytes a repair must leave.
#pragma once

#include <cstdint>

#include "sdk/format_codes.h"
#include "tests/fixtures/bytes.h"
#include "tests/fixtures/win32_infectors.h"
#include "tests/units/dos/dos_test_support.h"

namespace win32test {

using fixtures::Bytes;

inline dostest::KillOutcome killPe(const Bytes& file, uint32_t virusId) {
    return dostest::killById(file, qe::FORMAT_PE, virusId);
}

inline dostest::KillOutcome killPeByMethod(const Bytes& file, uint32_t method) {
    return dostest::kill(file, qe::FORMAT_PE, host::KillRequest::byMethod(method));
}

// `into` with `length` bytes at `offset` taken from `from`.
inline Bytes withBytesOf(Bytes into, const Bytes& from, uint32_t offset, uint32_t length) {
    for (uint32_t i = 0; i < length; ++i) into.at(offset + i) = from.at(offset + i);
    return into;
}

// The header values an appended section changes that the cleaners leave as the virus set them:
// the code/data size totals, SizeOfImage and the section's own table entry (the count goes back,
// the entry stays behind it).
inline Bytes withAppendedSectionHeaderOf(const Bytes& clean, const Bytes& infected) {
    using namespace fixtures::win32;
    Bytes expected = withBytesOf(clean, infected, kPe + 0x1C, 12);
    expected = withBytesOf(expected, infected, kSizeOfImageAt, 4);
    return withBytesOf(expected, infected, kSectionTableAt + 2 * 40, 40);
}

}  // namespace win32test
