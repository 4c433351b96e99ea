#include "module/units/dos/tequila.h"

#include <cstring>
#include <optional>

#include "module/toolkit/byte_reader.h"
#include "module/toolkit/run_checks.h"
#include "module/units/dos/dos_common.h"

using namespace remedy;
using namespace remedy::dos;

int Tequila5Volt2659Condition(const void* context) {
    const auto* run = static_cast<const Tequila5Volt2659Run*>(context);
    return (run->emulator->GetIP() & 0xFFFF) == run->target ? 0 : 1;
}

// The loop: MOV r8, [..] at its target t, a LOOP back to t at i, and between them CMP SI, imm16
// (81 FE) followed by MOV SI, imm16 (BE), or CMP BX, imm16 (81 FB) followed by MOV BX, imm16 (BB),
// whose immediates differ by exactly 64: the key pointer wraps round a 64-byte key. The first
// such loop in the order i, j, k is taken.
std::optional<uint32_t> findTequilaLoop(const uint8_t (&window)[80]) {
    const ByteReader b(window, sizeof window);
    for (int i = 0; i <= 78; ++i) {
        if (window[i] != 0xE2) continue;
        const int displacement = int8_t(window[i + 1]);
        if (displacement >= 0) continue;
        const int t = (i + displacement + 2) & 0xFF;
        if (t <= 0 || t > 79 || t >= i - 4 || window[t] != 0x8A) continue;
        for (int j = t + 2; j < i; ++j) {
            if (window[j] != 0x81) continue;
            int firstMov = 0;
            uint8_t movOpcode = 0;
            if (window[j + 1] == 0xFE) {
                firstMov = j + 4;
                movOpcode = 0xBE;
            } else if (window[j + 1] == 0xFB) {
                firstMov = j + 2;
                movOpcode = 0xBB;
            } else {
                continue;
            }
            const auto limit = b.u16(uint32_t(j + 2));
            if (!limit) continue;
            for (int k = firstMov; k < i; ++k) {
                if (window[k] != movOpcode) continue;
                const auto start = b.u16(uint32_t(k + 1));
                // Unsigned difference of the two immediates: a negative one never matches.
                if (start && int32_t(*limit) - int32_t(*start) == 64) return uint32_t(i);
            }
        }
    }
    return std::nullopt;
}

// Finds the decryption loop at the entry, lets it run to its end and checks the decrypted body
// for the virus's code 627 bytes past its start. The start (D) is where the emulator stands
// before anything runs; the kill reads the saved header there.
uint32_t CScanTequila5Volt2659::Scan(STScanInfo*, tagScanExParam* param) {
    static constexpr uint8_t kBodyCode[] = {0x63, 0x0A, 0xFC, 0xF3, 0xA4, 0x06, 0x1F, 0xBE,
                                            0xB5, 0x09, 0xBF, 0x63, 0x0A, 0xB9, 0x49};
    savedHeader_.reset();
    IExecExport* emu = emulatorOf(param);
    uint32_t entry = 0;
    uint8_t window[80] = {};
    if (!emu || !entryAddress(*emu, &entry) || !readMemory(*emu, entry, window, sizeof window)) return 0;
    const auto loopAt = findTequilaLoop(window);
    if (!loopAt) return 0;

    const uint32_t startIp = emu->GetIP();
    if (startIp == 0xFFFFFFFFu) return 0;
    if (!emu->RunTo(qe::EXEC_RUN_TO_BOUNDARY, 0)) return endedShort(*emu, 0);
    uint32_t bodyStart = 0;
    if (!currentAddress(*emu, &bodyStart)) return 0;
    savedHeader_ = bodyStart;

    Tequila5Volt2659Run run{emu, (*loopAt + startIp + 2) & 0xFFFF};
    // The decryptor runs under the emulator's default step limit (10,000,000 instructions; the
    // stand-ins need at most a few hundred thousand). RunWhile answers non-zero only when its
    // condition ended the run: anything else leaves the body undecrypted.
    if (!emu->RunWhile(Tequila5Volt2659Condition, &run) || Tequila5Volt2659Condition(&run) != 0)
        return endedShort(*emu, 0);
    uint8_t decrypted[80] = {};
    if (!readMemory(*emu, bodyStart + 627, decrypted, sizeof decrypted)) return 0;
    return std::memcmp(decrypted, kBodyCode, sizeof kBodyCode) == 0 ? 1 : 0;
}

// The body keeps the host's IP at 10 and CS, SS at 12, 14 as they stand relative to the PSP
// (header value + 16). SP is the host's own: the virus leaves it.
uint32_t CScanTequila5Volt2659::Kill(STScanInfo*, tagScanExParam* param) {
    IExecExport* emu = emulatorOf(param);
    if (!emu || !savedHeader_) return KILL_FAILED;
    uint8_t saved[32] = {};
    uint32_t virusOffset = 0;
    if (!readMemory(*emu, *savedHeader_, saved, sizeof saved)) return KILL_FAILED;
    if (!fileOffsetOf(*emu, *savedHeader_, &virusOffset) || virusOffset < kMzRegistersEnd) return KILL_FAILED;
    const uint16_t ss = uint16_t(loadLe16(saved + 14) - 16);
    const uint16_t cs = uint16_t(loadLe16(saved + 12) - 16);
    uint8_t csBytes[2];
    storeLe16(csBytes, cs);
    if (!writeWord(*emu, kMzSsOffset, ss) || !writeFile(*emu, saved + 10, kMzIpOffset, 2) ||
        !emu->WriteFileSeq(csBytes, 2))  // lands at 22, right after IP
        return KILL_FAILED;
    return truncateFile(*emu, virusOffset) ? KILL_REPAIRED : KILL_FAILED;
}
