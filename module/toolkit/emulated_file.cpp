#include "module/toolkit/emulated_file.h"

#include <algorithm>

#include "module/toolkit/byte_reader.h"

namespace remedy {

bool fileSize(IExecExport& emu, uint32_t* size) {
    *size = emu.GetFileSize();
    return *size != 0xFFFFFFFFu;
}

bool readFile(IExecExport& emu, void* buffer, uint64_t offset, uint32_t length) {
    return length != 0 && offset <= UINT32_MAX && emu.ReadFile(buffer, uint32_t(offset), length) == length;
}

bool writeFile(IExecExport& emu, const void* buffer, uint64_t offset, uint32_t length) {
    return length != 0 && offset <= UINT32_MAX && emu.WriteFile(buffer, uint32_t(offset), length) == length;
}

bool readWord(IExecExport& emu, uint32_t offset, uint16_t* value) {
    uint8_t bytes[2];
    if (!readFile(emu, bytes, offset, 2)) return false;
    *value = loadLe16(bytes);
    return true;
}

bool writeWord(IExecExport& emu, uint32_t offset, uint16_t value) {
    uint8_t bytes[2];
    storeLe16(bytes, value);
    return writeFile(emu, bytes, offset, 2);
}

bool readDword(IExecExport& emu, uint32_t offset, uint32_t* value) {
    uint8_t bytes[4];
    if (!readFile(emu, bytes, offset, 4)) return false;
    *value = loadLe32(bytes);
    return true;
}

bool truncateFile(IExecExport& emu, uint32_t size) { return emu.SetFileSize(size) != 0; }

bool readMemory(IExecExport& emu, uint32_t address, void* buffer, uint32_t length) {
    return emu.ReadMemory(address, buffer, length) != 0;
}

bool fileOffsetOf(IExecExport& emu, uint32_t address, uint32_t* offset) {
    return emu.AddressToFileOffset(address, offset) != 0;
}

bool readWasRefused(IExecExport& exec, uint32_t offset, uint32_t length, uint32_t got) {
    if (got >= length) return false;
    const uint32_t size = exec.GetFileSize();
    if (size == 0xFFFFFFFFu) return true;
    const uint32_t held = offset >= size ? 0 : std::min(length, size - offset);
    return got < held;
}

}  // namespace remedy
