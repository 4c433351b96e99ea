#include "host/archive/archive_signatures.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <string_view>

namespace host {

namespace {

bool startsWith(std::span<const uint8_t> bytes, std::string_view mark, size_t at = 0) {
    return bytes.size() >= at + mark.size() && std::memcmp(bytes.data() + at, mark.data(), mark.size()) == 0;
}

// Marks at the start of the input: the compressions (gzip, bzip2, xz, zstd, lz4) and the
// archives that begin with one (zip, 7z, cpio, ar, CAB, RAR, RAR5, XAR), and the programs a
// self-extracting 7z, RAR, CAB, LHA or zip may be (MZ, ELF).
bool hasLeadingMark(std::span<const uint8_t> bytes) {
    static constexpr std::string_view kMarks[] = {
        "\x1f\x8b", "BZh", "\xfd" "7zXZ", "\x28\xb5\x2f\xfd", "\x04\x22\x4d\x18", "\x02\x21\x4c\x18",
        "PK", "7z\xbc\xaf\x27\x1c", "0707", "\xc7\x71", "\x71\xc7", "!<", "MSCF", "Rar!", "xar!",
        "MZ", "\x7f" "ELF",
    };
    for (std::string_view mark : kMarks)
        if (startsWith(bytes, mark)) return true;
    // zstd and lz4 skippable frames: 0x184D2A50 to 0x184D2A5F, little-endian.
    if (bytes.size() >= 4 && (bytes[0] & 0xf0) == 0x50 && bytes[1] == 0x2a && bytes[2] == 0x4d && bytes[3] == 0x18)
        return true;
    return false;
}

// LHA names its method at offset 2: "-lh5-", "-lzs-" ...
bool hasLhaMethod(std::span<const uint8_t> bytes) { return startsWith(bytes, "-l", 2); }

// A tar header holds its checksum at offset 148, in octal (or base 256): the sum of the
// header's bytes, the checksum's own eight counted as spaces, taken unsigned or, as some old
// tars did, signed. A block of zeros ends an empty archive.
std::optional<uint64_t> checksumField(std::span<const uint8_t> field) {
    if (field[0] & 0x80) {  // base 256, big-endian, the top bits marking it; negative: no sum
        if (field[0] & 0x40) return std::nullopt;
        uint64_t value = field[0] & 0x3f;
        for (size_t i = 1; i < field.size(); ++i) value = value << 8 | field[i];
        return value;
    }
    size_t i = 0;
    while (i < field.size() && (field[i] == ' ' || field[i] == '\t')) ++i;
    uint64_t value = 0;
    for (; i < field.size() && field[i] >= '0' && field[i] <= '7'; ++i) value = value * 8 + uint64_t(field[i] - '0');
    return value;
}

bool mayBeTarHeader(std::span<const uint8_t> bytes) {
    constexpr size_t kBlock = 512, kChecksumAt = 148, kChecksumSize = 8;
    if (bytes.size() < kBlock) return false;
    const std::span<const uint8_t> block = bytes.first(kBlock);
    if (std::all_of(block.begin(), block.end(), [](uint8_t b) { return b == 0; })) return true;
    const std::optional<uint64_t> stated = checksumField(block.subspan(kChecksumAt, kChecksumSize));
    if (!stated) return false;
    int64_t unsignedSum = 8 * ' ', signedSum = 8 * ' ';
    for (size_t i = 0; i < kBlock; ++i) {
        if (i >= kChecksumAt && i < kChecksumAt + kChecksumSize) continue;
        unsignedSum += block[i];
        signedSum += int8_t(block[i]);
    }
    return int64_t(*stated) == unsignedSum || int64_t(*stated) == signedSum;
}

// An ISO 9660 image has its first volume descriptor ("CD001") after 32 KiB of system area.
bool hasIsoDescriptor(std::span<const uint8_t> bytes) { return startsWith(bytes, "CD001", 32769); }

// A zip read from its end: libarchive looks for the end-of-central-directory record
// ("PK\5\6") in the last 16 KiB (a longer archive comment hides it, there as here). Found by
// its last byte with memrchr, which passes over most data many bytes at a time.
bool hasZipEnd(std::span<const uint8_t> bytes) {
    constexpr size_t kTail = 16 * 1024;
    const std::span<const uint8_t> tail = bytes.last(std::min(bytes.size(), kTail));
    if (tail.size() < 4) return false;
    // Candidates for the record's last byte: positions 3 .. size-1.
    size_t searched = tail.size() - 3;
    while (const void* hit = ::memrchr(tail.data() + 3, 6, searched)) {
        const size_t at = size_t(static_cast<const uint8_t*>(hit) - tail.data());
        if (tail[at - 3] == 'P' && tail[at - 2] == 'K' && tail[at - 1] == 5) return true;
        searched = at - 3;
    }
    return false;
}

}  // namespace

bool mayHoldArchive(std::span<const uint8_t> bytes) {
    return hasLeadingMark(bytes) || hasLhaMethod(bytes) || mayBeTarHeader(bytes) || hasIsoDescriptor(bytes) ||
           hasZipEnd(bytes);
}

}  // namespace host
