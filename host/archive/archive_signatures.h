// A cheap look at the first and last bytes of an input before libarchive is asked to read it.
// Setting up libarchive's readers and letting each bid costs more than the rest of a small
// file's scan; most files are no archive, and every format and compression remedy opens
// starts with a mark (or, for zip, ends with one) that is looked for here. The test is looser
// than libarchive's own bids, never stricter: an input it turns away is one libarchive would
// not open either.
#pragma once

#include <cstdint>
#include <span>

namespace host {

// False only when no format or compression ArchiveReader opens can read `bytes`.
bool mayHoldArchive(std::span<const uint8_t> bytes);

}  // namespace host
