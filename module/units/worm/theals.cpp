#include "module/units/worm/theals.h"

#include <algorithm>
#include <span>
#include <vector>

#include "module/toolkit/byte_reader.h"
#include "module/toolkit/emulated_file.h"
#include "module/toolkit/pe_header.h"

using namespace remedy;

namespace {

using Fragment = std::span<const uint8_t>;

// ---------------------------------------------------------------- the two generations' tables

constexpr uint8_t kMz[] = {'M', 'Z'};
constexpr uint8_t kCallPopEdx[] = {0xE8, 0x00, 0x00, 0x00, 0x00, 0x5A};
constexpr uint8_t kJumpBack[] = {0xEB, 0xF2};
constexpr uint8_t kCallOver13[] = {0xE8, 0x0D, 0x00, 0x00, 0x00};
constexpr uint8_t kAdvapiName[] = {'a', 'd', 'v', 'a', 'p', 'i', '3', '2', '.', 'd', 'l', 'l', 0};
constexpr uint8_t kPushHash1[] = {0x68, 0xCE, 0x2F, 0x5E, 0x2B};
constexpr uint8_t kPushHash2[] = {0x68, 0x78, 0x32, 0xD1, 0x87};
constexpr uint8_t kJumpEax[] = {0xFF, 0xE0};
constexpr uint8_t kSearchLoop[] = {0xE3, 0x41, 0x2B, 0xD2, 0x4A, 0x42, 0x3B, 0x51, 0x18, 0x74, 0x36, 0x8D, 0x34, 0x93};
constexpr uint8_t kDosStubText[] = {'T', 'h', 'i', 's', ' ', 'p', 'r', 'o', 'g', 'r', 'a', 'm', ' ', 'm', 'u'};

// The replacements: a walk that skips the worm's entries, a call that goes round its start-up,
// and a handler that passes every exception on.
constexpr uint8_t kFixSkipEntries[] = {0x8B, 0x07, 0x83, 0xF8, 0xFF, 0x74, 0x04, 0x8B,
                                       0xF8, 0xEB, 0xF5, 0x83, 0xC7, 0x08, 0xC3, 0x90};
constexpr uint8_t kFixCallBack[] = {0xE8, 0xC0, 0xFF, 0xFF, 0xFF, 0x90};
constexpr uint8_t kFixHandler[] = {0x8B, 0x44, 0x24, 0x04, 0x3D, 0x10, 0x00, 0x00, 0x80, 0x7F, 0x05, 0xEB, 0x4F};

struct FeatureRow {
    uint32_t offset;
    Fragment bytes;
};
struct NopRow {
    uint32_t offset;
    uint32_t length;
};
struct FixRow {
    uint32_t offset;
    Fragment bytes;
};

struct Generation {
    Fragment signature;
    FeatureRow features[9];
    NopRow nops[4];
    FixRow fixes[3];
};

constexpr uint8_t kThealsSignature[] = {0xE9, 0x76, 0x11, 0x01, 0x00};
constexpr uint8_t kThealsASignature[] = {0x90, 0xE9, 0x0D, 0x3E, 0x01, 0x00};

constexpr Generation kTheals = {
    kThealsSignature,
    {
        {47, kMz},
        {70011, kCallPopEdx},
        {70077, kJumpBack},
        {70085, kCallOver13},
        {70090, kAdvapiName},
        {70518, kPushHash1},
        {70599, kPushHash2},
        {70641, kJumpEax},
        {67260, kSearchLoop},
    },
    {
        {5, 67237},
        {67334, 2677},
        {70167, 338},
        {70643, 13},
    },
    {
        {69995, kFixSkipEntries},
        {70054, kFixCallBack},
        {70489, kFixHandler},
    },
};

constexpr Generation kThealsA = {
    kThealsASignature,
    {
        {48, kMz},
        {81427, kCallPopEdx},
        {81493, kJumpBack},
        {81512, kCallOver13},
        {81517, kAdvapiName},
        {81945, kPushHash1},
        {82026, kPushHash2},
        {82068, kJumpEax},
        {3712, kDosStubText},
    },
    {
        {6, 78615},
        {78713, 2714},
        {81594, 338},
        {82070, 13},
    },
    {
        {81411, kFixSkipEntries},
        {81470, kFixCallBack},
        {81916, kFixHandler},
    },
};

// The generation units refuse files shorter than this.
constexpr uint32_t kThealsMinimumFileSize = 71680;

// The body is looked for below the last 64 KiB of the last section, at most this far down.
constexpr uint32_t kBodyTail = 0x10000;
constexpr uint32_t kLocateReach = 81921;
constexpr uint32_t kGenericReach = 0x14000;

// The section with the largest PointerToRawData (the first of equals), or null.
const IMAGE_SECTION_HEADER* lastRawSection(const CPEHeander& headers) {
    const uint32_t count = std::min<uint32_t>(headers.sectionCount, headers.fileHeader.NumberOfSections);
    if (!headers.sections || count == 0) return nullptr;
    const IMAGE_SECTION_HEADER* last = &headers.sections[0];
    for (uint32_t i = 1; i < count; ++i)
        if (headers.sections[i].PointerToRawData > last->PointerToRawData) last = &headers.sections[i];
    return last;
}

}  // namespace

// ---------------------------------------------------------------- CScanTheals

CScanTheals::~CScanTheals() = default;

int CScanTheals::Init(STScanInfo* info, tagScanExParam* param) {
    info_ = info;
    param_ = param;
    return 1;
}

int CScanTheals::CheckLength(unsigned int n) {
    IExecExport* emu = emulatorOf(param_);
    if (!emu) return 0;
    const uint32_t size = emu->GetFileSize();
    return size != 0xFFFFFFFFu && size >= n ? 1 : 0;
}

int CScanTheals::SetCheckFeature(unsigned int i, _FEARTURE_CODE* feature) {
    if (i >= kFeatureSlots) return 0;
    features_[i] = feature;
    return 1;
}

int CScanTheals::SetFixCode(unsigned int i, _FIX_CODE* fix) {
    if (i >= kFixSlots) return 0;
    fixes_[i] = fix;
    return 1;
}

int CScanTheals::SetFillNop(unsigned int i, _FILL_NOP_CONFIG* nop) {
    if (i >= kNopSlots) return 0;
    nops_[i] = nop;
    return 1;
}

int CScanTheals::LocateVirus(const uint8_t* signature, uint32_t length) {
    IExecExport* emu = emulatorOf(param_);
    const CPEHeander* headers = param_ ? param_->peHeaders : nullptr;
    if (!emu || !headers || !signature || length == 0) return 0;
    const uint32_t alignment = headers->optionalHeader.FileAlignment;
    const IMAGE_SECTION_HEADER* last = lastRawSection(*headers);
    if (alignment == 0 || !last) return 0;
    // Signed 64-bit positions: a section shorter than the tail examines nothing.
    const int64_t start = last->PointerToRawData;
    const int64_t end = start + int64_t(last->SizeOfRawData) - kBodyTail;
    if (int64_t(alignment) > end) return 0;
    std::vector<uint8_t> window(length);
    for (int64_t pos = end; start < pos;) {
        pos -= alignment;
        if (pos < 0 || !readFile(*emu, window.data(), uint64_t(pos), length)) return 0;
        if (std::equal(window.begin(), window.end(), signature)) {
            bodyStart_ = uint32_t(pos);
            bodyLength_ = uint32_t(int64_t(last->SizeOfRawData) - (pos - start));
            located_ = true;
            return 1;
        }
        if (end - pos >= kLocateReach) break;
    }
    return 0;
}

int CScanTheals::CheckVirus() {
    IExecExport* emu = emulatorOf(param_);
    if (!emu) return 0;
    uint8_t expected[kMaxFeatureLength];
    for (const _FEARTURE_CODE* feature : features_) {
        if (!feature) break;
        if (!feature->bytes || feature->length == 0 || feature->length > kMaxFeatureLength) return 0;
        if (!readFile(*emu, expected, uint64_t(bodyStart_) + feature->offset, feature->length)) return 0;
        if (!std::equal(expected, expected + feature->length, feature->bytes)) return 0;
    }
    return 1;
}

int CScanTheals::FixCode() {
    IExecExport* emu = emulatorOf(param_);
    if (!emu || !located_) return 0;
    for (const _FIX_CODE* fix : fixes_) {
        if (!fix) break;
        if (!fix->bytes || !writeFile(*emu, fix->bytes, uint64_t(bodyStart_) + fix->offset, fix->length)) return 0;
    }
    return 1;
}

int CScanTheals::FillNop() {
    IExecExport* emu = emulatorOf(param_);
    if (!emu || !located_) return 0;
    for (const _FILL_NOP_CONFIG* nop : nops_) {
        if (!nop) break;
        const uint64_t at = uint64_t(bodyStart_) + nop->offset;
        if (at > 0xFFFFFFFFu || !emu->FillFile(uint32_t(at), 0x90, nop->length)) return 0;
    }
    return 1;
}

// ---------------------------------------------------------------- the generation units

namespace {

uint32_t scanGeneration(CScanTheals& theals, const Generation& generation, STScanInfo* info, tagScanExParam* param) {
    theals.Init(info, param);
    if (!theals.CheckLength(kThealsMinimumFileSize)) return 0;
    if (!theals.LocateVirus(generation.signature.data(), uint32_t(generation.signature.size()))) return 0;
    std::vector<_FEARTURE_CODE> features;
    for (const FeatureRow& row : generation.features)
        features.push_back({row.offset, uint32_t(row.bytes.size()), row.bytes.data()});
    bool set = true;
    for (uint32_t i = 0; i < features.size(); ++i) set = set && theals.SetCheckFeature(i, &features[i]);
    const bool found = set && theals.CheckVirus();
    // The records go with this call: no slot keeps pointing at them.
    for (uint32_t i = 0; i < features.size(); ++i) theals.SetCheckFeature(i, nullptr);
    return found ? 1 : 0;
}

uint32_t killGeneration(CScanTheals& theals, const Generation& generation, STScanInfo* info, tagScanExParam* param) {
    theals.Init(info, param);
    // Only the body the same object's Scan located is disarmed.
    if (!theals.located()) return KILL_FAILED;
    _FILL_NOP_CONFIG nops[4];
    _FIX_CODE fixes[3];
    bool ok = true;
    for (uint32_t i = 0; i < 4; ++i) {
        nops[i] = {generation.nops[i].offset, generation.nops[i].length};
        ok = ok && theals.SetFillNop(i, &nops[i]);
    }
    ok = ok && theals.FillNop();
    for (uint32_t i = 0; i < 3; ++i) {
        const FixRow& row = generation.fixes[i];
        fixes[i] = {row.offset, uint32_t(row.bytes.size()), row.bytes.data()};
        ok = ok && theals.SetFixCode(i, &fixes[i]);
    }
    ok = ok && theals.FixCode();
    for (uint32_t i = 0; i < 4; ++i) theals.SetFillNop(i, nullptr);
    for (uint32_t i = 0; i < 3; ++i) theals.SetFixCode(i, nullptr);
    return ok ? KILL_REPAIRED : KILL_FAILED;
}

}  // namespace

uint32_t CScanWormTheals::Scan(STScanInfo* info, tagScanExParam* param) {
    return scanGeneration(theals_, kTheals, info, param);
}
uint32_t CScanWormTheals::Kill(STScanInfo* info, tagScanExParam* param) {
    return killGeneration(theals_, kTheals, info, param);
}
uint32_t CScanWormThealsA::Scan(STScanInfo* info, tagScanExParam* param) {
    return scanGeneration(theals_, kThealsA, info, param);
}
uint32_t CScanWormThealsA::Kill(STScanInfo* info, tagScanExParam* param) {
    return killGeneration(theals_, kThealsA, info, param);
}

// ---------------------------------------------------------------- CScanThealsGen

namespace {

constexpr uint8_t kCheckCall[] = {0xE8, 0x00, 0x00, 0x00, 0x00};
constexpr uint8_t kCheckPebWalk[] = {0x8B, 0xDA, 0x2B, 0xC0, 0x64, 0x8B, 0x38, 0x48,
                                     0x8B, 0xC8, 0xF2, 0xAF, 0xAF, 0x8B, 0x07, 0x66};
constexpr uint8_t kCheckSub64k[] = {0x2D, 0x00, 0x00, 0x01, 0x00};

// Landmarks around the generic body.
constexpr uint8_t kLandmarkExportWalk[] = {0x55, 0x8B, 0xEC, 0x53, 0x56, 0x57, 0x8B, 0x5D, 0x08,
                                           0x8B, 0x4B, 0x3C, 0x8B, 0x4C, 0x0B, 0x78, 0x03, 0xCB};
constexpr uint8_t kLandmarkAlloc[] = {0x6A, 0x40, 0x68, 0x00, 0x10, 0x00, 0x00, 0x6A,
                                      0x08, 0x6A, 0x00, 0x68, 0x55, 0xA1, 0xFB, 0xE0};
constexpr uint8_t kLandmarkHandler[] = {0xFF, 0x74, 0x24, 0x08, 0x68, 0xCE, 0x2F, 0x5E, 0x2B, 0xFF, 0xB3};
constexpr uint8_t kLandmarkResume[] = {0x68, 0x7A, 0x1D, 0xD5, 0x9A, 0xFF, 0xB3};

constexpr uint32_t kExportWalkWindow = 4096;
constexpr uint32_t kExportWalkKept = 96;  // the routine at A stays whole
constexpr uint32_t kAllocWindow = 512;
constexpr uint32_t kSmallestFile = 8192;
constexpr uint32_t kBareWormBelow = 76800;
constexpr uint32_t kHandlerPatchBefore = 25;

// First occurrence of the pattern in [from, to) of the file; a hit at offset 0 counts as none.
bool findInFile(IExecExport& emu, uint32_t from, uint32_t to, Fragment pattern, uint32_t* found) {
    if (from >= to) return false;
    uint32_t at = 0;
    if (!emu.Search(from, to - from, pattern.data(), uint32_t(pattern.size()), &at, 0) || at == 0) return false;
    *found = at;
    return true;
}

// NOPs over [from, to); an empty or reversed range fills nothing.
bool nopRange(IExecExport& emu, uint32_t from, uint32_t to) {
    if (from >= to) return true;
    return emu.FillFile(from, 0x90, to - from) != 0;
}

}  // namespace

CScanThealsGen::CScanThealsGen()
    : checks_{{0, kCheckCall, sizeof kCheckCall},
              {36, kCheckPebWalk, sizeof kCheckPebWalk},
              {61, kCheckSub64k, sizeof kCheckSub64k}} {}

// The host's AllocBlock is not called before the reads: nothing here needs emulated memory.
int CScanThealsGen::CheckVirusGen(int32_t base) {
    IExecExport* emu = emulatorOf(param_);
    if (!emu) return 0;
    uint8_t read[16];
    for (const _check_code& check : checks_) {
        const int64_t p = int64_t(base) + check.offset;
        if (p < 0 || check.length > sizeof read) return 0;
        if (!readFile(*emu, read, uint64_t(p), check.length)) return 0;
        if (!std::equal(read, read + check.length, check.bytes)) return 0;
    }
    return 1;
}

uint32_t CScanThealsGen::Scan(STScanInfo*, tagScanExParam* param) {
    param_ = param;
    found_ = false;
    IExecExport* emu = emulatorOf(param);
    const CPEHeander* headers = param ? param->peHeaders : nullptr;
    if (!emu || !headers) return 0;
    const uint32_t alignment = headers->optionalHeader.FileAlignment;
    const IMAGE_SECTION_HEADER* last = lastRawSection(*headers);
    if (alignment == 0 || !last) return 0;
    const int64_t start = last->PointerToRawData;
    const int64_t end = start + int64_t(last->SizeOfRawData) - kBodyTail;
    if (int64_t(alignment) > end || start >= end) return 0;
    for (int64_t pos = end;;) {
        pos -= alignment;
        uint8_t head[16];
        if (pos < 0 || !readFile(*emu, head, uint64_t(pos), sizeof head)) return 0;
        uint32_t k = 0;
        if (head[0] == 0xE9) k = 1;
        else if (head[0] == 0x90 && head[1] == 0xE9) k = 2;
        if (k != 0) {
            const int32_t displacement = int32_t(loadLe32(head + k));
            const int64_t target = pos + k + 4 + displacement;
            if (target > 0 && target <= INT32_MAX && CheckVirusGen(int32_t(target))) {
                bodyStart_ = uint32_t(target);
                jumpField_ = uint32_t(pos + k);
                found_ = true;
                return 1;
            }
        }
        if (!(start < pos && end - pos <= kGenericReach)) return 0;
    }
}

uint32_t CScanThealsGen::Kill(STScanInfo*, tagScanExParam* param) {
    IExecExport* emu = emulatorOf(param);
    if (!emu || !found_) return KILL_FAILED;
    const uint32_t S = bodyStart_, J = jumpField_;
    const uint32_t F = emu->GetFileSize();
    if (F == 0xFFFFFFFFu || F < kSmallestFile) return KILL_FAILED;
    if (F < kBareWormBelow) return emu->DeleteFile() ? KILL_REMOVED : KILL_FAILED;

    // The export walk lies in the bytes between the jump and the body (at most 4 KiB of them).
    if (S <= J) return KILL_FAILED;
    const uint32_t window = std::min(S - J, kExportWalkWindow);
    uint32_t A = 0, B = 0, C = 0, D = 0;
    if (!findInFile(*emu, S - window, S, kLandmarkExportWalk, &A)) return KILL_FAILED;
    if (!findInFile(*emu, S, uint32_t(std::min<uint64_t>(uint64_t(S) + kAllocWindow, F)), kLandmarkAlloc, &B))
        return KILL_FAILED;
    if (!findInFile(*emu, B, F, kLandmarkHandler, &C)) return KILL_FAILED;
    if (!findInFile(*emu, C, F, kLandmarkResume, &D)) return KILL_FAILED;
    uint8_t call = 0;
    if (!readFile(*emu, &call, uint64_t(D) + 11, 1) || call != 0xE8) return KILL_FAILED;

    if (!nopRange(*emu, J + 4, A) || !nopRange(*emu, A + kExportWalkKept, S) || !nopRange(*emu, B, C))
        return KILL_FAILED;

    if (S < sizeof kFixSkipEntries || C < kHandlerPatchBefore) return KILL_FAILED;
    const uint32_t handlerAt = C - kHandlerPatchBefore;
    uint8_t handler[kHandlerPatchBefore] = {0x8B, 0x44, 0x24, 0x04, 0x3D, 0x10, 0x00, 0x00, 0x80, 0x7F, 0x05, 0xE9, 0,
                                           0,    0,    0,    0xE8, 0x04, 0x00, 0x00, 0x00, 0x90, 0x90, 0x90, 0x90};
    storeLe32(handler + 12, D - 16 - handlerAt);  // the jump lands on D
    if (!writeFile(*emu, kFixSkipEntries, S - sizeof kFixSkipEntries, sizeof kFixSkipEntries) ||
        !writeFile(*emu, kFixCallBack, uint64_t(S) + 43, sizeof kFixCallBack) ||
        !writeFile(*emu, handler, handlerAt, sizeof handler))
        return KILL_FAILED;

    uint32_t marker = 0;
    const uint32_t size = emu->GetFileSize();
    if (size != 0xFFFFFFFFu && findInFile(*emu, D, size, Fragment(kMarker), &marker) &&
        !emu->FillFile(marker, 0, sizeof kMarker))
        return KILL_FAILED;
    return KILL_REPAIRED;
}
