#include "module/units/dos/tmcb.h"

#include <cstring>
#include <new>

#include "module/toolkit/byte_reader.h"
#include "module/toolkit/mem_search.h"
#include "module/toolkit/run_checks.h"
#include "module/toolkit/stream_copy.h"
#include "module/units/dos/dos_common.h"

using namespace remedy;
using namespace remedy::dos;

namespace {
constexpr uint8_t kMarker[] = {0xA1, 0x03, 0x00, 0x3D, 0x00, 0x19};  // MOV AX, [3]; CMP AX, 1900h
// MOV AX, CS:[SI]; MOV CS:[100h], AX; MOV AL, CS:[SI+2]; MOV CS:[102h], AL
constexpr uint8_t kRestore[] = {0x2E, 0x8B, 0x04, 0x2E, 0xA3, 0x00, 0x01, 0x2E,
                                0x8A, 0x44, 0x02, 0x2E, 0xA2, 0x02, 0x01};
// The same with a JMP $+3 after each of the first three instructions.
constexpr uint8_t kMutatedRestore[] = {0x2E, 0x8B, 0x04, 0xE9, 0x00, 0x00, 0x2E, 0xA3, 0x00, 0x01, 0xE9, 0x00,
                                       0x00, 0x2E, 0x8A, 0x44, 0x02, 0xE9, 0x00, 0x00, 0x2E, 0xA2, 0x02, 0x01};
// Kept as words whose low bytes are the pattern.
constexpr uint16_t kSaveCodeWords[] = {0x8D, 0x9E, 0xE1, 0x04, 0x58, 0x2E, 0x89, 0x47,
                                       0x01, 0xE9, 0x3F, 0x03, 0x5A, 0xE9, 0x40, 0x02};
// XOR AX, AX; MOV DS, AX; CMP BYTE [501h], 10h
constexpr uint8_t kBiosCheck[] = {0x33, 0xC0, 0x8E, 0xD8, 0x80, 0x3E, 0x01, 0x05, 0x10};

uint8_t* newCopy(const uint8_t* bytes, size_t length) {
    auto* copy = new (std::nothrow) uint8_t[length];
    if (copy) std::memcpy(copy, bytes, length);
    return copy;
}
}  // namespace

// --- shared state ---

CScanTmcBBase::~CScanTmcBBase() { CScanTmcBBase::Reset(); }

void CScanTmcBBase::Reset() {
    body_.reset();
    marker_.reset();
    restore_.reset();
    mutatedRestore_.reset();
    markerHit_.reset();
    restoreHit_.reset();
    mutatedRestoreHit_.reset();
    restoreLength_ = 0;
    bodyLength_ = 0;
}

bool CScanTmcBBase::allocate() {
    Reset();
    body_.reset(new (std::nothrow) uint8_t[kBodyCapacity]());
    marker_.reset(newCopy(kMarker, sizeof kMarker));
    restore_.reset(newCopy(kRestore, sizeof kRestore));
    mutatedRestore_.reset(newCopy(kMutatedRestore, sizeof kMutatedRestore));
    restoreLength_ = sizeof kRestore;
    return body_ && marker_ && restore_ && mutatedRestore_;
}

std::optional<uint32_t> CScanTmcBBase::findInBody(const uint8_t* pattern, uint32_t length, uint32_t from,
                                                  uint32_t end) const {
    if (!body_ || !pattern || end > bodyLength_ || from >= end) return std::nullopt;
    const auto hit = findBytes(std::span<const uint8_t>(body_.get() + from, end - from),
                               std::span<const uint8_t>(pattern, length));
    if (!hit) return std::nullopt;
    return from + *hit;
}

// The marker and one of the two restore routines, looked for in the first `searched` bytes.
bool CScanTmcBBase::findMarkers(uint32_t searched) {
    markerHit_ = findInBody(marker_.get(), sizeof kMarker, 0, searched);
    if (!markerHit_) return false;
    restoreHit_ = findInBody(restore_.get(), restoreLength_, 0, searched);
    if (restoreHit_) return true;
    mutatedRestoreHit_ = findInBody(mutatedRestore_.get(), sizeof kMutatedRestore, 0, searched);
    return mutatedRestoreHit_.has_value();
}

// --- COM ---

// The file starts with a near jump to the body, whose MOV BP holds the body's address in the
// COM segment (its file offset + 100h).
uint32_t CScanTmcBCOM::Scan(STScanInfo*, tagScanExParam* param) {
    if (!allocate()) return 0;
    IExecExport* emu = emulatorOf(param);
    uint8_t jump[3] = {};
    uint32_t size = 0;
    if (!emu || !readFile(*emu, jump, 0, 3) || jump[0] != 0xE9) return 0;
    virusStart_ = (loadLe16(jump + 1) + 3u) & 0xFFFF;
    if (!fileSize(*emu, &size) || size <= virusStart_) return 0;
    bodyLength_ = std::min(size - virusStart_, kBodyCapacity);
    if (bodyLength_ < 3 || !readFile(*emu, body_.get(), virusStart_, bodyLength_)) return 0;
    if (body_[0] != 0xBD || loadLe16(body_.get() + 1) != ((virusStart_ + 256) & 0xFFFF)) return 0;

    return findMarkers(bodyLength_ - 1) ? 1 : 0;
}

// The body's second copy routine is the one that runs. The kill lets the entry jump and the
// MOV BP run, moves the IP to the four-byte instruction that loads SI before that routine (an
// address in the COM segment: routine offset in the body + the body's IP - 4), and lets that
// instruction and the routine's four run: the host's first three bytes are back at the entry.
uint32_t CScanTmcBCOM::Kill(STScanInfo*, tagScanExParam* param) {
    IExecExport* emu = emulatorOf(param);
    if (!emu || !body_ || !restoreHit_) return KILL_FAILED;
    if (!emu->Restart()) return KILL_FAILED;
    restoreHit_ = findInBody(restore_.get(), restoreLength_, *restoreHit_ + 1, bodyLength_);
    if (!restoreHit_) return KILL_FAILED;

    if (!emu->Step(1)) return endedShort(*emu, KILL_FAILED);
    const uint32_t bodyIp = emu->GetIP();
    if (bodyIp == 0xFFFFFFFFu) return KILL_FAILED;
    if (!emu->Step(1)) return endedShort(*emu, KILL_FAILED);
    emu->SetIP(((*restoreHit_ & 0xFFFF) + bodyIp - 4) & 0xFFFF);
    for (int i = 0; i < 5; ++i)
        if (!emu->Step(1)) return endedShort(*emu, KILL_FAILED);

    uint32_t entry = 0;
    uint8_t head[3] = {};
    if (!entryAddress(*emu, &entry) || !readMemory(*emu, entry, head, sizeof head)) return KILL_FAILED;
    return restoreAndTruncate(*emu, head, 0, virusStart_) ? KILL_REPAIRED : KILL_FAILED;
}

// --- MZ ---

void CScanTmcBMZ::Reset() {
    CScanTmcBBase::Reset();
    saveCode_.reset();
    saveCodeLength_ = 0;
}

// The entry is the body; its MOV BP holds 0.
uint32_t CScanTmcBMZ::Scan(STScanInfo*, tagScanExParam* param) {
    Reset();
    if (!allocate()) return 0;
    saveCode_.reset(new (std::nothrow) uint8_t[std::size(kSaveCodeWords)]);
    if (!saveCode_) return 0;
    Decode(saveCode_.get(), kSaveCodeWords, std::size(kSaveCodeWords));
    saveCodeLength_ = std::size(kSaveCodeWords);

    IExecExport* emu = emulatorOf(param);
    if (!emu || !entryAddress(*emu, &virusStart_)) return 0;
    if (!readMemory(*emu, virusStart_, body_.get(), kBodyCapacity)) return 0;
    bodyLength_ = kBodyCapacity;
    if (body_[0] != 0xBD || loadLe16(body_.get() + 1) != 0) return 0;

    return findMarkers(kBodyCapacity - 1) ? 1 : 0;
}

// Three variants keep the host's header in three ways: the jump-padded one and the one with the
// 16-byte save code at fixed places of the body; the others in code that ends with a far jump to
// the host, found by running the virus.
uint32_t CScanTmcBMZ::Kill(STScanInfo*, tagScanExParam* param) {
    IExecExport* emu = emulatorOf(param);
    if (!emu || !body_ || (!restoreHit_ && !mutatedRestoreHit_)) return KILL_FAILED;
    uint32_t entry = 0;
    if (!emu->Restart() || !entryAddress(*emu, &entry)) return KILL_FAILED;

    const ByteReader body(body_.get(), bodyLength_);
    auto word = [&body](uint32_t offset) { return body.u16(offset).value_or(0); };
    HostRegisters host{};
    if (mutatedRestoreHit_) {
        host = {word(68), word(3809), word(65), word(63)};
    } else if (const auto saveCode = findInBody(saveCode_.get(), saveCodeLength_, 0, kBodyCapacity - 1)) {
        restoreHit_ = saveCode;
        host = {word(263), word(198), word(374), word(125)};
    } else if (!registersFromEmulation(*emu, entry, &host)) {
        return KILL_FAILED;
    }

    uint32_t virusOffset = 0;
    if (!fileOffsetOf(*emu, entry, &virusOffset) || virusOffset < kMzRegistersEnd) return KILL_FAILED;
    if (!writeWord(*emu, kMzSsOffset, host.ss) || !writeWord(*emu, kMzSpOffset, host.sp) ||
        !writeWord(*emu, kMzIpOffset, host.ip) || !writeWord(*emu, kMzCsOffset, host.cs))
        return KILL_FAILED;
    return truncateFile(*emu, virusOffset) ? KILL_REPAIRED : KILL_FAILED;
}

// Runs the virus to its BIOS check (XOR AX, AX; MOV DS, AX; CMP BYTE [501h], 10h), skips the
// check and its branch (11 bytes), and steps on to the far jump that returns to the host. By then
// the virus has set the host's stack; DS holds the PSP, 16 paragraphs below the load module.
//
// The walk to the check has no natural end: it is bounded by kWalkLimit steps, which the
// emulator's step limit backs up (its stop status ends the walk as a failure).
bool CScanTmcBMZ::registersFromEmulation(IExecExport& emu, uint32_t entry, HostRegisters* out) {
    constexpr uint32_t kWalkLimit = 1000000;
    constexpr uint32_t kStepsToFarJump = 32;

    uint32_t check = 0;
    if (!emu.Search(entry, 8191, kBiosCheck, sizeof kBiosCheck, &check, 1)) return false;
    const uint32_t notices[4] = {qe::EXEC_STOP_INTERRUPT_OR_FAR, 0, 0, 0};
    emu.SetStopCondition(notices);
    emu.SetStepLimit(kWalkLimit + kStepsToFarJump + 1);

    uint32_t ip = 0, segmentBase = 0;
    for (uint32_t steps = 0;; ++steps) {
        if (steps == kWalkLimit) return walkCapReached(false);
        emu.Step(1);
        // A notice (an interrupt, a far transfer) ends a step as asked; anything else ends the walk.
        const uint32_t status = emu.GetStopStatus();
        if (status != qe::EXEC_STATUS_NONE && status != qe::EXEC_STATUS_INTERRUPT && status != qe::EXEC_STATUS_EVENT)
            return endedShort(emu, false);
        if (status != 0) emu.ClearStopConditions();
        ip = emu.GetIP();
        if (ip == 0xFFFFFFFFu) return false;
        segmentBase = emu.GetSegment(qe::EXEC_SEG_CS) * 16;
        if (segmentBase + ip == check) break;
    }

    emu.SetIP(ip + 11);
    uint32_t farJump = 0;
    bool found = false;
    for (uint32_t i = 0; i < kStepsToFarJump && !found; ++i) {
        if (!emu.Step(1)) return endedShort(emu, false);
        farJump = emu.GetIP() + segmentBase;
        uint8_t opcode = 0;
        if (!readMemory(emu, farJump, &opcode, 1)) return false;
        found = opcode == 0xEA;
    }
    if (!found) return false;

    uint8_t target[4] = {};
    if (!readMemory(emu, farJump + 1, target, 2) || !readMemory(emu, farJump + 3, target + 2, 2)) return false;
    const uint16_t psp = uint16_t(emu.GetSegment(qe::EXEC_SEG_DS));
    out->ip = loadLe16(target);
    out->cs = uint16_t(loadLe16(target + 2) - psp - 16);
    out->ss = uint16_t(emu.GetSegment(qe::EXEC_SEG_SS) - psp - 16);
    out->sp = uint16_t(emu.GetRegister(qe::EXEC_REG_ESP));
    return true;
}
