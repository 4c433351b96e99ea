// Nimda: the worm's own executable carrying the host program whole as a raw-data resource
// (type 10, name 102). The cleaner cuts the file down to that resource; a worm file without a
// host is deleted.
#pragma once

#include <cstdint>
#include <vector>

#include "module/frame/scan_unit.h"

// The first 8 bytes of a resource data entry: the data's address (an RVA as read, a raw file
// offset after conversion) and its size.
struct RCITEMtag {
    uint32_t offset;
    uint32_t size;
};

// A minimal PE reader over raw file offsets, reading through the host emulator's file access.
class CNimdaPEFile {
public:
    explicit CNimdaPEFile(IExecExport* exec);
    CNimdaPEFile(const CNimdaPEFile&) = delete;
    CNimdaPEFile& operator=(const CNimdaPEFile&) = delete;

    // 1 when the PE headers (signature through the section table) were read, else 0.
    int Init();
    // The raw file offset of `rva`, or 0 when no section holds it.
    uint32_t RVA2FileOff(uint32_t rva) const;
    // OffsetToData of the first of NumberOfIdEntries entries of the directory at base + dirOffset
    // whose Name/Id equals `id` (any first entry for id 0), or 0.
    uint32_t FindRes(uint32_t id, uint32_t dirOffset, uint32_t base);
    // 1 with `item` holding the raw offset and size of the resource type/name/lang, else 0.
    int FindResource(uint32_t type, uint32_t name, uint32_t lang, RCITEMtag* item);
    // True when exactly `length` bytes arrived from raw offset `offset`.
    bool ReadFile(uint32_t offset, uint32_t length, void* buffer);
    // True once a read brought fewer bytes than the file holds: the host failed it, and an
    // answer of "no such resource" since then may not be the file's.
    bool readRefused() const { return readRefused_; }

private:
    uint32_t peOffset_ = 0xFFFFFFFFu;
    IExecExport* exec_;
    std::vector<uint8_t> headers_;
    int32_t initState_ = -1;
    bool readRefused_ = false;
};

// 0 repaired, 1 no host inside (the file is the worm alone), 2 failure.
uint32_t KillPENimda(IExecExport* exec);

// Kill only: KILL_REPAIRED, KILL_REMOVED for a worm without a host (KILL_REMOVE_FAILED when the
// host refuses the deletion), KILL_FAILED otherwise.
class CScanWin32Nimda : public CScanEXVirus {
public:
    static CScanEXVirus* CreateScanExUnit() { return createScanExUnit<CScanWin32Nimda>(); }
    uint32_t Kill(STScanInfo* info, tagScanExParam* param) override;
};
