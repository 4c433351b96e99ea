#include "module/toolkit/exec_file.h"

#include <algorithm>

namespace remedy {

bool readWasRefused(IExecExport& exec, uint32_t offset, uint32_t length, uint32_t got) {
    if (got >= length) return false;
    const uint32_t size = exec.GetFileSize();
    if (size == 0xFFFFFFFFu) return true;
    const uint32_t held = offset >= size ? 0 : std::min(length, size - offset);
    return got < held;
}

}  // namespace remedy
