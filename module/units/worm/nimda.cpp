#include "module/units/worm/nimda.h"

#include <cstring>

#include "module/toolkit/byte_reader.h"
#include "module/toolkit/emulated_file.h"

using remedy::loadLe16;
using remedy::loadLe32;

namespace {

constexpr uint32_t kRawDataType = 10;
constexpr uint32_t kHostResourceName = 102;
constexpr uint32_t kProbeLength = 256;
constexpr uint32_t kSectionEntryLength = 40;
constexpr uint32_t kResourceDirectoryAt = 136;  // data directory 2, from the PE signature
constexpr uint32_t kSubdirectoryBit = 0x80000000u;

enum : uint32_t { kRepaired = 0, kNoHost = 1, kFailed = 2 };

}  // namespace

CNimdaPEFile::CNimdaPEFile(IExecExport* exec) : exec_(exec) {}

bool CNimdaPEFile::ReadFile(uint32_t offset, uint32_t length, void* buffer) {
    if (!exec_) return false;
    const uint32_t got = exec_->ReadFile(buffer, offset, length);
    if (remedy::readWasRefused(*exec_, offset, length, got)) readRefused_ = true;
    return got == length;
}

int CNimdaPEFile::Init() {
    initState_ = 1;
    uint8_t mz[2];
    if (!ReadFile(0, 2, mz)) return 0;
    const uint16_t signature = loadLe16(mz);
    if (signature != 0x5A4D && signature != 0x4D5A) return 0;
    uint8_t field[4];
    if (!ReadFile(60, 4, field)) return 0;
    peOffset_ = loadLe32(field);
    uint8_t probe[kProbeLength] = {};
    // A PE header needs its first 24 bytes; what follows them may be cut short by the file end.
    if (!exec_ || exec_->ReadFile(probe, peOffset_, kProbeLength) < 24 || loadLe32(probe) != 0x00004550) return 0;
    const uint32_t sections = loadLe16(probe + 6);
    const uint32_t optionalHeader = loadLe16(probe + 20);
    const uint32_t length = optionalHeader + kSectionEntryLength * sections + 24;
    const uint32_t fileSize = exec_->GetFileSize();
    if (fileSize == 0xFFFFFFFFu || fileSize <= length) return 0;
    headers_.assign(length, 0);
    initState_ = 0;
    if (!ReadFile(peOffset_, length, headers_.data())) {
        headers_.clear();
        return 0;
    }
    return 1;
}

uint32_t CNimdaPEFile::RVA2FileOff(uint32_t rva) const {
    if (headers_.size() < 24) return 0;
    const uint32_t sections = loadLe16(headers_.data() + 6);
    const uint32_t tableAt = 24 + loadLe16(headers_.data() + 20);
    for (uint32_t i = 0; i < sections; ++i) {
        const uint64_t entry = tableAt + uint64_t(kSectionEntryLength) * i;
        if (!remedy::rangeInside(entry, kSectionEntryLength, headers_.size())) break;
        const uint8_t* s = headers_.data() + entry;
        const uint32_t virtualSize = loadLe32(s + 8), virtualAddress = loadLe32(s + 12);
        const uint32_t rawSize = loadLe32(s + 16), rawPointer = loadLe32(s + 20);
        if (virtualAddress <= rva && rva < uint64_t(virtualAddress) + virtualSize &&
            rva < uint64_t(virtualAddress) + rawSize)
            return rawPointer - virtualAddress + rva;
    }
    return 0;
}

uint32_t CNimdaPEFile::FindRes(uint32_t id, uint32_t dirOffset, uint32_t base) {
    const uint64_t countAt = uint64_t(base) + dirOffset + 14;
    if (countAt > 0xFFFFFFFFu - 2) return 0;
    uint8_t countField[2];
    if (!ReadFile(uint32_t(countAt), 2, countField)) return 0;
    const uint32_t count = loadLe16(countField);
    // The entries follow the 16-byte directory header; named entries are compared like the others.
    for (uint32_t i = 0; i < count; ++i) {
        uint8_t entry[8];
        // The entries one after the other, each read where the last one ended.
        const uint64_t entryAt = countAt + 2 + uint64_t(sizeof entry) * i;
        if (entryAt > 0xFFFFFFFFu - sizeof entry || !ReadFile(uint32_t(entryAt), sizeof entry, entry)) return 0;
        if (id == 0 || loadLe32(entry) == id) return loadLe32(entry + 4);
    }
    return 0;
}

int CNimdaPEFile::FindResource(uint32_t type, uint32_t name, uint32_t lang, RCITEMtag* item) {
    if (!item || initState_ != 0 || headers_.size() < kResourceDirectoryAt + 8) return 0;
    const uint32_t rootRva = loadLe32(headers_.data() + kResourceDirectoryAt);
    if (rootRva == 0) return 0;
    const uint32_t base = RVA2FileOff(rootRva);
    if (base == 0) return 0;
    uint32_t answer = FindRes(type, 0, base);
    if (!(answer & kSubdirectoryBit)) return 0;
    answer = FindRes(name, answer & ~kSubdirectoryBit, base);
    if (!(answer & kSubdirectoryBit)) return 0;
    answer = FindRes(lang, answer & ~kSubdirectoryBit, base);
    if (answer == 0) return 0;
    const uint64_t dataEntry = uint64_t(base) + (answer & ~kSubdirectoryBit);
    uint8_t raw[8];
    if (dataEntry > 0xFFFFFFFFu || !ReadFile(uint32_t(dataEntry), sizeof raw, raw)) return 0;
    item->offset = RVA2FileOff(loadLe32(raw));
    item->size = loadLe32(raw + 4);
    // Data that lies in no section cannot be the carried program.
    return item->offset != 0 ? 1 : 0;
}

uint32_t KillPENimda(IExecExport* exec) {
    CNimdaPEFile file(exec);
    if (!file.Init()) return kFailed;
    RCITEMtag item{};
    // An empty resource carries no host either: cutting to it would leave an empty file.
    if (!file.FindResource(kRawDataType, kHostResourceName, 0, &item) || item.size <= 1)
        return file.readRefused() ? kFailed : kNoHost;
    const uint32_t fileSize = exec->GetFileSize();
    const uint64_t end = uint64_t(item.offset) + item.size;
    // A resource reaching past the end of the file would leave a truncated host behind.
    if (fileSize == 0xFFFFFFFFu || end > fileSize) return kFailed;
    if (end < fileSize && exec->SetFileSize(uint32_t(end)) != 1) return kFailed;
    return exec->CutFile(0, item.offset) == 1 ? kRepaired : kFailed;
}

uint32_t CScanWin32Nimda::Kill(STScanInfo*, tagScanExParam* param) {
    IExecExport* exec = remedy::emulatorOf(param);
    if (!exec) return KILL_FAILED;
    switch (KillPENimda(exec)) {
        case kRepaired:
            return KILL_REPAIRED;
        case kNoHost:
            return exec->DeleteFile() == 1 ? KILL_REMOVED : KILL_REMOVE_FAILED;
        default:
            return KILL_FAILED;
    }
}
