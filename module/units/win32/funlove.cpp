#include "module/units/win32/funlove.h"

#include <strings.h>

#include <array>
#include <cstring>
#include <memory>
#include <optional>

#include "module/toolkit/byte_reader.h"
#include "module/toolkit/emulated_file.h"
#include "module/toolkit/host_stream.h"
#include "module/toolkit/pe_header.h"
#include "module/toolkit/run_checks.h"

using namespace remedy;

namespace {

// Files that start with this are the worm's own kernel drop, not an infected host.
constexpr char kKernelDrop[] = "MZKERNEL32";
constexpr uint32_t kHeadLength = 14;

// Three instructions from the load the infected entry code stands in the body, with the
// fragment below and the host's saved bytes at fixed distances ahead.
constexpr uint32_t kEntrySteps = 3;
constexpr uint32_t kFragmentBAhead = 228;
constexpr uint32_t kSavedEntryAhead = 2466;

constexpr uint8_t kFragmentA[16] = {0x8B, 0x3C, 0x24, 0x83, 0xEF, 0x08, 0x89, 0x3C,
                                    0x24, 0xA5, 0xA5, 0xFF, 0x74, 0x24, 0x04, 0xE8};
constexpr uint8_t kFragmentB[16] = {0xC8, 0x08, 0x00, 0x00, 0x56, 0x57, 0x8D, 0xBB,
                                    0x00, 0x10, 0x00, 0x00, 0x57, 0x68, 0x04, 0x01};
constexpr uint8_t kFragmentC[16] = {0x6A, 0x00, 0x56, 0x68, 0x00, 0x10, 0x00, 0x00,
                                    0x90, 0x53, 0xFF, 0x75, 0xF8, 0xE8, 0x2F, 0x0B};

constexpr uint32_t kMinFileLength = 5123;
constexpr uint32_t kTailLength = 4099;
constexpr uint32_t kLastCompare = kTailLength - 16;  // 4083

// Distances back from fragment C.
constexpr uint32_t kBBeforeC = 96;
constexpr uint32_t kABeforeC = 318;
constexpr uint32_t kHeaderBeforeC = 841;  // a body that starts with its own program header
constexpr uint32_t kNtOffsetBeforeC = 781;
constexpr uint32_t kEntryFieldBeforeC = 673;
constexpr uint32_t kBodyHeaderMagic = 0x00905A4D;  // "MZ", 0x90, 0x00
constexpr uint32_t kBodyNtOffset = 0x80;
constexpr uint32_t kBodyEntryPoint = 0x1368;

// Quick Search for fragment C in the tail; the shifts and the stop rules keep every compare
// and every shift byte inside the tail.
std::optional<uint32_t> findFragmentC(const std::array<uint8_t, kTailLength>& tail) {
    uint32_t shift[256];
    for (uint32_t& s : shift) s = 17;
    for (uint32_t i = 0; i < 16; ++i) shift[kFragmentC[i]] = 16 - i;
    uint32_t p = 0;
    for (;;) {
        if (std::memcmp(&tail[p], kFragmentC, 16) == 0) return p;
        if (p + 16 > kTailLength - 1) return std::nullopt;
        p += shift[tail[p + 16]];
        if (p > kLastCompare) return std::nullopt;
    }
}

}  // namespace

void CScanFunLoveInt::Reset() { m_bodyOffset = 0; }

uint32_t CScanFunLoveInt::Scan(STScanInfo*, tagScanExParam* param) {
    IExecExport* emu = emulatorOf(param);
    const CPEHeander* headers = param ? param->peHeaders : nullptr;
    if (!emu || !headers) return 0;

    char head[kHeadLength];
    if (!readFile(*emu, head, 0, kHeadLength)) return 0;
    if (strncasecmp(head, kKernelDrop, sizeof kKernelDrop - 1) == 0) return 0;

    // The body's fragments in the file's tail are read first: without them no run can find the
    // virus, and most programs end here without an emulator engine being started.
    uint32_t fileLength = 0;
    if (!fileSize(*emu, &fileLength) || fileLength < kMinFileLength) return 0;
    const uint32_t tailStart = fileLength - kTailLength;
    auto tail = std::make_unique<std::array<uint8_t, kTailLength>>();
    if (!readFile(*emu, tail->data(), tailStart, kTailLength)) return 0;
    const auto c = findFragmentC(*tail);
    if (!c || *c < kABeforeC) return 0;
    const ByteReader read(tail->data(), kTailLength);
    if (!read.equals(*c - kBBeforeC, kFragmentB, 16) || !read.equals(*c - kABeforeC, kFragmentA, 16)) return 0;
    uint32_t bodyOffset = tailStart + *c - kABeforeC;
    if (*c >= kHeaderBeforeC) {
        if (read.u32(*c - kHeaderBeforeC) != kBodyHeaderMagic || read.u32(*c - kNtOffsetBeforeC) != kBodyNtOffset ||
            read.u32(*c - kEntryFieldBeforeC) != kBodyEntryPoint)
            return 0;
        bodyOffset = tailStart + *c - kHeaderBeforeC;
    }

    if (!emu->RunTo(qe::EXEC_RUN_TO_ABSOLUTE, kEntrySteps)) return endedShort(*emu, 0);
    const uint32_t inBody = emu->GetIP();
    if (inBody == 0xFFFFFFFFu) return 0;
    uint8_t fragment[16];
    if (!readMemory(*emu, inBody + kFragmentBAhead, fragment, sizeof fragment) ||
        std::memcmp(fragment, kFragmentB, sizeof fragment) != 0)
        return 0;
    if (!readMemory(*emu, inBody + kSavedEntryAhead, m_savedEntry, sizeof m_savedEntry)) return 0;
    if (!fileOffsetOf(*emu, emu->GetImageBase() + headers->optionalHeader.AddressOfEntryPoint, &m_entryOffset))
        return 0;
    m_bodyOffset = bodyOffset;
    return 1;
}

uint32_t CScanFunLoveInt::Kill(STScanInfo* info, tagScanExParam* param) {
    IExecExport* emu = emulatorOf(param);
    if (m_entryOffset == 0xFFFFFFFFu || !info || !info->stream || !emu) return KILL_FAILED;
    // A host whose entry bytes could not be put back is not cut: without them it would run
    // into the missing body.
    if (!writeExactAt(info->stream, m_entryOffset, m_savedEntry, sizeof m_savedEntry)) return KILL_FAILED;
    return truncateFile(*emu, m_bodyOffset) ? KILL_REPAIRED : KILL_FAILED;
}
