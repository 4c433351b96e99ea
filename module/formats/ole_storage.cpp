#include "module/formats/ole_storage.h"

#include <algorithm>
#include <cstring>

#include "module/toolkit/byte_reader.h"
#include "module/toolkit/host_stream.h"

namespace {

using remedy::loadLe16;
using remedy::loadLe32;
using remedy::readSome;
using remedy::seekTo;

constexpr uint8_t kSignature[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
constexpr uint32_t kDirectoryEntrySize = 128;
constexpr uint32_t kLastRegularSector = 0xFFFFFFFA;  // above: DIFAT, FAT, end-of-chain, free marks
constexpr uint32_t kDifatMark = 0xFFFFFFFB;
constexpr uint32_t kFirstChainEnd = 0xFFFFFFFC;

// Header fields.
constexpr size_t kSectorShiftAt = 30, kMiniSectorShiftAt = 32, kFatSectorCountAt = 44;
constexpr size_t kFirstDirectorySectorAt = 48, kMiniStreamCutoffAt = 56, kFirstMiniFatSectorAt = 60;
constexpr size_t kMiniFatSectorCountAt = 64, kFirstDifatSectorAt = 68, kDifatSectorCountAt = 72;
constexpr size_t kFirstFatSectorAt = 76;

// Offsets of this reader are 32-bit: a place that does not fit is refused instead of wrapped
// to some unrelated part of the file.
bool fitsOffset(uint64_t offset) { return offset <= 0xFFFFFFFFull; }

// Reads `count` consecutive little-endian 32-bit values from the current position into `table`.
// Stops with false at the first value that does not arrive whole. With `contiguous`, every
// value v in 1..0xFFFFFFFA must equal its index + 1 (the chain goes on in the next sector).
// The table grows only with values that really arrived, so its memory is bounded by the file.
bool readTable(IQEStream* stream, uint64_t count, bool contiguous, std::vector<SECTOR>& table) {
    constexpr uint32_t kChunkValues = 4096;
    uint8_t chunk[kChunkValues * 4];
    while (count > 0) {
        uint32_t want = uint32_t(std::min<uint64_t>(count, kChunkValues));
        uint32_t got = readSome(stream, chunk, want * 4);
        uint32_t whole = got / 4;
        for (uint32_t i = 0; i < whole; ++i) {
            SECTOR v = loadLe32(chunk + 4 * i);
            table.push_back(v);
            if (contiguous && v >= 1 && v <= kLastRegularSector && v != table.size()) return false;
        }
        if (whole < want) return false;
        count -= want;
    }
    return true;
}

// UTF-16LE name field (32 units) to a wide string, stopping at the first zero unit.
void decodeName(const uint8_t* field, wchar_t (&name)[33]) {
    size_t out = 0;
    for (size_t i = 0; i < 32; ++i) {
        uint32_t unit = loadLe16(field + 2 * i);
        if (unit == 0) break;
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < 32) {
            uint32_t low = loadLe16(field + 2 * (i + 1));
            if (low >= 0xDC00 && low <= 0xDFFF) {
                unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
                ++i;
            }
        }
        name[out++] = wchar_t(unit);
    }
    name[out] = L'\0';
}

OLESS_DIRECTORY_ENTRY_EX parseEntry(const uint8_t* raw) {
    OLESS_DIRECTORY_ENTRY_EX e{};
    decodeName(raw, e.name);
    e.nameLength = loadLe16(raw + 64);
    e.type = raw[66];
    e.colour = raw[67];
    e.left = loadLe32(raw + 68);
    e.right = loadLe32(raw + 72);
    e.child = loadLe32(raw + 76);
    std::memcpy(e.classId, raw + 80, 16);
    e.stateBits = loadLe32(raw + 96);
    std::memcpy(e.creationTime, raw + 100, 8);
    std::memcpy(e.modificationTime, raw + 108, 8);
    e.startSector = loadLe32(raw + 116);
    e.size = loadLe32(raw + 120);
    e.sizeHigh = loadLe32(raw + 124);
    return e;
}

}  // namespace

OLESSDataFile::OLESSDataFile(IQEStream* stream) { valid = load(stream) ? 1 : 0; }

OLESSDataFile::~OLESSDataFile() = default;

uint32_t OLESSDataFile::sectorShift() const { return loadLe16(header + kSectorShiftAt) % 32; }
uint32_t OLESSDataFile::miniSectorShift() const { return loadLe16(header + kMiniSectorShiftAt) % 32; }

uint32_t OLESSDataFile::GetSectorOffset(SECTOR sector) const { return (sector + 1) << sectorShift(); }

uint32_t OLESSDataFile::GetMiniSectorOffset(SECTOR miniSector, SECTOR miniStreamStart) const {
    return GetSectorOffset(miniStreamStart) + (miniSector << miniSectorShift());
}

bool OLESSDataFile::load(IQEStream* stream) {
    if (!stream || !seekTo(stream, 0)) return false;
    if (readSome(stream, header, sizeof header) != sizeof header) return false;
    if (std::memcmp(header, kSignature, sizeof kSignature) != 0) return false;

    const uint64_t sectorSize = uint64_t(1) << sectorShift();
    const uint64_t miniSectorSize = uint64_t(1) << miniSectorShift();
    if (sectorSize < 128) return false;
    if (miniSectorSize < 16 || miniSectorSize > loadLe32(header + kMiniStreamCutoffAt)) return false;

    const uint64_t valuesPerSector = sectorSize / 4;
    // The 64-bit place of a sector; tables are read only from places a 32-bit offset reaches.
    auto sectorPlace = [&](SECTOR s) { return (uint64_t(s) + 1) << sectorShift(); };

    const SECTOR firstDifat = loadLe32(header + kFirstDifatSectorAt);
    const uint32_t difatSectors = loadLe32(header + kDifatSectorCountAt);
    if (firstDifat <= kDifatMark && difatSectors > 0) {
        if (!fitsOffset(sectorPlace(firstDifat)) || !seekTo(stream, sectorPlace(firstDifat))) return false;
        if (!readTable(stream, valuesPerSector * difatSectors, true, difat)) return false;
    }

    const uint32_t fatSectors = loadLe32(header + kFatSectorCountAt);
    if (fatSectors > 0) {
        const SECTOR firstFat = loadLe32(header + kFirstFatSectorAt);
        if (!fitsOffset(sectorPlace(firstFat)) || !seekTo(stream, sectorPlace(firstFat))) return false;
        if (!readTable(stream, valuesPerSector * fatSectors, true, fat)) return false;
    }

    const SECTOR firstMiniFat = loadLe32(header + kFirstMiniFatSectorAt);
    const uint32_t miniFatSectors = loadLe32(header + kMiniFatSectorCountAt);
    if (firstMiniFat <= kDifatMark && miniFatSectors > 0) {
        if (!fitsOffset(sectorPlace(firstMiniFat)) || !seekTo(stream, sectorPlace(firstMiniFat))) return false;
        if (!readTable(stream, valuesPerSector * miniFatSectors, false, miniFat)) return false;
    }

    return readDirectory(stream);
}

bool OLESSDataFile::readDirectory(IQEStream* stream) {
    const uint64_t sectorSize = uint64_t(1) << sectorShift();
    const uint64_t entriesPerSector = sectorSize / kDirectoryEntrySize;
    const uint32_t cutoff = loadLe32(header + kMiniStreamCutoffAt);

    SECTOR current = loadLe32(header + kFirstDirectorySectorAt);
    const uint64_t firstPlace = (uint64_t(current) + 1) << sectorShift();
    if (!fitsOffset(firstPlace) || !seekTo(stream, firstPlace)) return false;

    SECTOR miniStreamStart = 0;
    // A directory chain cannot hold more sectors than the FAT names; a longer walk is a loop.
    for (uint64_t walked = 0;; ++walked) {
        if (walked >= fat.size()) return false;
        for (uint64_t i = 0; i < entriesPerSector; ++i) {
            uint8_t raw[kDirectoryEntrySize];
            if (readSome(stream, raw, sizeof raw) != sizeof raw) return false;
            OLESS_DIRECTORY_ENTRY_EX entry = parseEntry(raw);
            if (entry.size == 0) {
                entry.dataOffset = 0;
                entries.push_back(entry);
            } else if (entry.type == 5) {
                if (miniStreamStart != 0) return false;  // a second mini stream
                miniStreamStart = entry.startSector;
            } else if (entry.type == 2) {
                // A stream listed before the root entry is placed from a mini-stream start of 0.
                uint64_t place = entry.size < cutoff
                                     ? ((uint64_t(miniStreamStart) + 1) << sectorShift()) +
                                           (uint64_t(entry.startSector) << miniSectorShift())
                                     : (uint64_t(entry.startSector) + 1) << sectorShift();
                if (!fitsOffset(place)) return false;
                entry.dataOffset = uint32_t(place);
                entries.push_back(entry);
            }
        }
        if (current >= fat.size()) return false;
        SECTOR next = fat[current];
        if (next >= kFirstChainEnd) break;
        // The FAT was checked to be contiguous, so the next sector follows the one just read.
        current = next;
    }
    return true;
}
