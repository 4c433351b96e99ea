#include "host/scan/scan_result.h"

#include <cstdio>

namespace host {

FoundVirus limitsExceededFinding() { return {"", "Limits.Exceeded", "limits", ""}; }

std::string hexId(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

bool ScanResult::foundAnywhere() const {
    if (found() || foundInside) return true;
    for (const ScanResult& member : inside)
        if (member.foundAnywhere()) return true;
    return false;
}

}  // namespace host
