#include "module/units/dos/bomber.h"

#include <cstring>
#include <memory>
#include <new>

#include "module/toolkit/byte_reader.h"
#include "module/toolkit/mem_search.h"
#include "module/units/dos/dos_common.h"

using namespace remedy;
using namespace remedy::dos;

namespace {
// The virus wrote 4096 bytes over the host 294 bytes before its recognisable code, kept the
// host's length 22 bytes before that code, moved the overwritten host block to the end of the
// file (at the host's length) and listed the other bytes it changed in a patch list 2714 bytes
// after the code: records {u16 n, u16 image offset, n bytes}, ended by n = 0.
constexpr uint8_t kCode[] = {0xE8, 0x0B, 0x00, 0xC3, 0x3D, 0x00, 0x4B, 0x74,
                             0x0E, 0x3D, 0x4F, 0x42, 0x74, 0x05, 0xEA};
constexpr uint32_t kBlockLength = 4096;
constexpr uint32_t kBlockBeforeCode = 294;
constexpr uint32_t kHostLengthBeforeCode = 22;
constexpr uint32_t kPatchListAfterCode = 2714;
// A COM program is at most 64 KiB; anything much larger is not a file this virus infected.
constexpr uint32_t kMaxFileSize = 1u << 20;

// Applies the patch list and moves the block back inside the file image. False when a record,
// the list itself or the block would leave the image.
bool rebuildHost(uint8_t* image, uint32_t size, uint32_t code, uint32_t hostLength) {
    uint64_t pos = uint64_t(code) + kPatchListAfterCode;
    const ByteReader reader(image, size);
    for (;;) {  // each record advances pos by at least 4 bytes within the image
        const auto length = reader.u16(pos);
        const auto target = reader.u16(pos + 2);
        if (!length || !target) return false;
        if (*length == 0) break;
        if (!rangeInside(pos + 4, *length, size) || !rangeInside(*target, *length, size)) return false;
        std::memmove(image + *target, image + pos + 4, *length);
        pos += 4 + uint64_t(*length);
    }
    if (!rangeInside(hostLength, kBlockLength, size) || !rangeInside(code - kBlockBeforeCode, kBlockLength, size))
        return false;
    std::memmove(image + code - kBlockBeforeCode, image + hostLength, kBlockLength);
    return true;
}
}  // namespace

uint32_t CScanBomberCOM::Kill(STScanInfo*, tagScanExParam* param) {
    IExecExport* emu = emulatorOf(param);
    uint32_t size = 0;
    if (!emu || !fileSize(*emu, &size) || size == 0 || size > kMaxFileSize) return KILL_FAILED;
    std::unique_ptr<uint8_t[]> image(new (std::nothrow) uint8_t[size]);
    if (!image || !readFile(*emu, image.get(), 0, size)) return KILL_FAILED;

    const auto code = findBytes(std::span<const uint8_t>(image.get(), size), kCode);
    if (!code || *code < kBlockBeforeCode) return KILL_FAILED;
    const uint32_t hostLength = loadLe16(image.get() + *code - kHostLengthBeforeCode);
    if (hostLength == 0 || !rebuildHost(image.get(), size, *code, hostLength)) return KILL_FAILED;

    if (!writeFile(*emu, image.get(), 0, hostLength)) return KILL_FAILED;
    image.reset();
    return truncateFile(*emu, hostLength) ? KILL_REPAIRED : KILL_FAILED;
}
