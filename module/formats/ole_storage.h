// OLESSDataFile: a read-only, validating reader for OLE compound files whose allocation chains
// are laid out contiguously (every sector's successor is the physically next sector), so that
// each stream's data is one range of the file starting at a computed offset.
//
// All work happens in the constructor. Afterwards `valid` is 1 when the whole structure was read
// and accepted; callers then look through `entries` (for example for "WORDDOCUMENT", compared
// without regard to case) and read an entry's bytes themselves at its `dataOffset`.
#pragma once

#include <cstdint>
#include <vector>

#include "sdk/file_interfaces.h"

using SECTOR = uint32_t;

// One stored directory entry with the file offset of its stream's data.
struct OLESS_DIRECTORY_ENTRY_EX {
    wchar_t name[33];           // decoded from the 64-byte UTF-16LE field, zero-terminated
    uint16_t nameLength;        // byte length of the name including its terminator, as stored
    uint8_t type;               // 0 empty, 1 storage, 2 stream, 5 root storage
    uint8_t colour;             // red-black flag
    uint32_t left;              // sibling and child directory indexes
    uint32_t right;
    uint32_t child;
    uint8_t classId[16];
    uint32_t stateBits;
    uint8_t creationTime[8];
    uint8_t modificationTime[8];
    uint32_t startSector;
    uint32_t size;              // low 32 bits of the stream size
    uint32_t sizeHigh;          // high 32 bits, held alongside
    uint32_t dataOffset;        // file offset of the stream's first byte; 0 when size is 0
};

class OLESSDataFile {
public:
    // Reads and validates the whole structure through `stream` (absolute seeks, sequential
    // reads). Never throws for bad data: `valid` stays 0 instead.
    explicit OLESSDataFile(IQEStream* stream);
    ~OLESSDataFile();
    OLESSDataFile(const OLESSDataFile&) = delete;
    OLESSDataFile& operator=(const OLESSDataFile&) = delete;

    // (sector + 1) << sector shift: the header stands in the place of sector -1. 32-bit.
    uint32_t GetSectorOffset(SECTOR sector) const;
    // GetSectorOffset(miniStreamStart) + (miniSector << mini-sector shift); the mini stream is
    // taken to be contiguous. 32-bit.
    uint32_t GetMiniSectorOffset(SECTOR miniSector, SECTOR miniStreamStart) const;

    uint8_t header[512] = {};
    std::vector<SECTOR> difat;
    std::vector<SECTOR> fat;
    std::vector<SECTOR> miniFat;
    std::vector<OLESS_DIRECTORY_ENTRY_EX> entries;
    uint32_t valid = 0;

private:
    bool load(IQEStream* stream);
    bool readDirectory(IQEStream* stream);
    uint32_t sectorShift() const;
    uint32_t miniSectorShift() const;
};
