#include "module/units/dos/sentinel.h"

#include "module/toolkit/byte_reader.h"
#include "module/toolkit/run_checks.h"
#include "module/units/dos/dos_common.h"

using namespace remedy;
using namespace remedy::dos;

namespace {

// The known variants. The kill cannot tell them apart and always uses the first record.
struct SentinelInfo {
    char name[512];
    uint32_t size;
};
static_assert(sizeof(SentinelInfo) == 516);

const SentinelInfo stSentinelInfo[] = {
    {"Sentinel.4571", 4571}, {"Sentinel.4625", 4625}, {"Sentinel.4636", 4636},
    {"Sentinel.5115", 5115}, {"Sentinel.5173", 5173}, {"Sentinel.5402", 5402},
};

// The virus is back at the entry after a few thousand instructions; stand-ins with a
// 65,535-pass delay loop in front of the hand-over take about 200,000. A program that is not
// this virus is not run for longer than this.
constexpr uint32_t kRunBudget = 1'000'000;

// Where the restored bytes go back in the file. A COM program's entry is file offset 0. In an MZ
// program the entry lies in the load module after the header: writing at offset 0 would destroy
// the header, so the bytes go back where the entry's code lies in the file, never into the header.
bool restoreOffset(IExecExport& emu, uint32_t restoredAddress, uint32_t* offset) {
    // A file whose first bytes cannot be read is neither: guessing COM would write over an MZ header.
    uint8_t signature[2];
    if (!readFile(emu, signature, 0, 2)) return false;
    const bool mz = (signature[0] == 'M' && signature[1] == 'Z') || (signature[0] == 'Z' && signature[1] == 'M');
    if (!mz) {
        *offset = 0;
        return true;
    }
    uint16_t headerParagraphs = 0;
    if (!readWord(emu, 8, &headerParagraphs) || !fileOffsetOf(emu, restoredAddress, offset)) return false;
    return *offset >= uint32_t(headerParagraphs) * 16;
}

}  // namespace

// The virus replaced the host's first three bytes with a jump to itself (or five, with
// MOV AX, imm16; PUSH AX; RET, whose RET makes the byte at entry + 4 0xC3). When it is done it
// puts them back and returns to the entry; the run stops there and the bytes are read back.
uint32_t CScanSentinelCOM::Kill(STScanInfo*, tagScanExParam* param) {
    IExecExport* emu = emulatorOf(param);
    if (!emu) return KILL_FAILED;
    uint32_t entry = 0;
    if (!entryAddress(*emu, &entry)) return KILL_FAILED;
    uint8_t fifth = 0;
    emu->ReadMemory(entry + 4, &fifth, 1);  // a failed read leaves 0: three bytes
    const uint32_t restoredLength = fifth == 0xC3 ? 5 : 3;

    const uint32_t stopAtEntry[4] = {qe::EXEC_STOP_RETURN_TO_ENTRY, 0, 0, 0};
    if (emu->SetStopCondition(stopAtEntry) != 1) return KILL_FAILED;
    emu->SetStepLimit(kRunBudget);
    // The saved bytes are back only where the virus hands control to the entry; a run that
    // ended any other way (the budget, a fault, the program's end) left them unrestored.
    if (!emu->RunTo(qe::EXEC_RUN_TO_BOUNDARY, 0) || !stoppedByCondition(*emu, qe::EXEC_STOP_RETURN_TO_ENTRY))
        return endedShort(*emu, KILL_FAILED);
    uint32_t restoredAddress = 0, offset = 0, size = 0;
    uint8_t restored[5] = {};
    if (!currentAddress(*emu, &restoredAddress) || !readMemory(*emu, restoredAddress, restored, restoredLength))
        return KILL_FAILED;
    if (!restoreOffset(*emu, restoredAddress, &offset)) return KILL_FAILED;

    const uint32_t virusLength = stSentinelInfo[0].size;
    if (!fileSize(*emu, &size) || size < virusLength) return KILL_FAILED;
    return restoreAndTruncate(*emu, std::span<const uint8_t>(restored, restoredLength), offset, size - virusLength)
               ? KILL_REPAIRED
               : KILL_FAILED;
}
