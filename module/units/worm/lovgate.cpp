#include "module/units/worm/lovgate.h"

#include "module/toolkit/byte_reader.h"
#include "module/toolkit/emulated_file.h"
#include "module/toolkit/host_stream.h"

using namespace remedy;

namespace {

enum class TailCheck { MzAfterHost, None };

// One prefix layout: the worm is `prefix` bytes long and keeps the host's length in the dword
// 8 bytes before its end.
struct Layout {
    uint32_t prefix;
    TailCheck tail;
};

constexpr Layout kLovGateAx = {57352, TailCheck::MzAfterHost};
constexpr Layout kLovGateAy = {49160, TailCheck::MzAfterHost};
constexpr Layout kLovGateBo = {73736, TailCheck::None};

// LovGateSub: the host behind the first prefix, else behind the second.
constexpr uint32_t kSubPrefixes[] = {49160, 51208};
constexpr uint32_t kHostLengthBeforeEnd = 8;

uint32_t deleteFile(IExecExport& emu) { return emu.DeleteFile() ? KILL_REMOVED : KILL_REMOVE_FAILED; }

bool startsMz(IExecExport& emu, uint64_t offset) {
    uint8_t bytes[2];
    return readFile(emu, bytes, offset, 2) && bytes[0] == 'M' && bytes[1] == 'Z';
}

// The size the stream reports (its 64-bit view preferred); a size that cannot be read counts
// as large.
uint64_t streamSizeOrLarge(STScanInfo* info) {
    return streamSize(info ? info->stream : nullptr).value_or(UINT64_MAX);
}

uint32_t cutPrefix(const Layout& layout, STScanInfo* info, tagScanExParam* param) {
    IExecExport* emu = emulatorOf(param);
    if (!emu) return KILL_FAILED;
    if (streamSizeOrLarge(info) <= layout.prefix - 1) return deleteFile(*emu);
    uint32_t hostLength = 0;
    if (!readDword(*emu, layout.prefix - kHostLengthBeforeEnd, &hostLength)) return KILL_FAILED;
    const uint64_t hostEnd = uint64_t(layout.prefix) + hostLength;
    if (layout.tail == TailCheck::MzAfterHost) {
        if (startsMz(*emu, hostEnd) && !emu->SetFileSize(uint32_t(hostEnd))) return KILL_FAILED;
    } else {
        // The size is only ever cut: a host length beyond the file's end would pad it with zeros.
        const uint32_t size = emu->GetFileSize();
        if (size == 0xFFFFFFFFu || hostEnd > size || !emu->SetFileSize(uint32_t(hostEnd))) return KILL_FAILED;
    }
    return emu->CutFile(0, layout.prefix) ? KILL_REPAIRED : KILL_FAILED;
}

}  // namespace

uint32_t CScanWin32LovGate_ax::Kill(STScanInfo* info, tagScanExParam* param) { return cutPrefix(kLovGateAx, info, param); }
uint32_t CScanWin32LovGate_ay::Kill(STScanInfo* info, tagScanExParam* param) { return cutPrefix(kLovGateAy, info, param); }
uint32_t CScanWin32LovGate_bo::Kill(STScanInfo* info, tagScanExParam* param) { return cutPrefix(kLovGateBo, info, param); }

uint32_t CScanWin32LovGateSub::Kill(STScanInfo*, tagScanExParam* param) {
    IExecExport* emu = emulatorOf(param);
    if (!emu) return KILL_FAILED;
    const uint32_t size = emu->GetFileSize();
    if (size == 0xFFFFFFFFu) return KILL_FAILED;
    if (size <= kSubPrefixes[0]) return deleteFile(*emu);
    for (uint32_t prefix : kSubPrefixes) {
        if (!startsMz(*emu, prefix)) continue;
        uint32_t hostLength = 0;
        if (!readDword(*emu, prefix - kHostLengthBeforeEnd, &hostLength)) return KILL_FAILED;
        if (!emu->CutFile(0, prefix)) return KILL_FAILED;
        // What follows the host goes; a host length beyond the end would only pad with zeros.
        const uint32_t left = emu->GetFileSize();
        if (left != 0xFFFFFFFFu && hostLength != 0 && hostLength <= left && !emu->SetFileSize(hostLength))
            return KILL_FAILED;
        return KILL_REPAIRED;
    }
    return KILL_FAILED;
}

uint32_t CScanLovGateGeneric::Scan(STScanInfo*, tagScanExParam*) { return 0; }

uint32_t CScanLovGateGeneric::Kill(STScanInfo*, tagScanExParam* param) {
    IExecExport* emu = emulatorOf(param);
    return emu ? deleteFile(*emu) : KILL_FAILED;
}
