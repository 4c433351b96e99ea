#include "module/units/win32/neshta.h"

#include <vector>

#include "module/toolkit/byte_reader.h"
#include "module/toolkit/emulated_file.h"
#include "module/toolkit/file_properties.h"
#include "module/toolkit/host_stream.h"
#include "module/toolkit/interface_ptr.h"

using namespace remedy;

namespace {

constexpr uint32_t kVirusLength = 41472;  // also the length of the host head moved to the end
constexpr uint32_t kEncryptedLength = 1000;
constexpr uint32_t kSeedAt = 1234;
constexpr uint32_t kTopArchiveFlags = 0x300;

}  // namespace

uint32_t CScanNeshtaA::GetXorSeed(uint32_t range) {
    state_ = state_ * 0x08088405u + 1;
    return uint32_t((uint64_t(range) * state_) >> 32);
}

void CScanNeshtaA::XorData(uint8_t* buffer, uint32_t seed, uint32_t count) {
    state_ = seed;
    for (uint32_t i = 0; i < count; ++i) buffer[i] ^= uint8_t(GetXorSeed(255));
}

uint32_t CScanNeshtaA::Kill(STScanInfo* info, tagScanExParam* param) {
    IExecExport* emu = emulatorOf(param);
    if (!param || !param->peHeaders || !info || !info->archive || !emu) return KILL_FAILED;
    IQEArchive* topRaw = nullptr;
    const uint32_t found = GetTopArchive_Packer(info->archive, &topRaw, kTopArchiveFlags);
    InterfacePtr<IQEArchive> top(topRaw);
    if (found == 0xFFFFFFFFu || !top) return KILL_FAILED;
    InterfacePtr<IQEStream> stream;
    if (top->GetStream(stream.put()) != 0 || !stream) return KILL_FAILED;
    const uint32_t size = streamSize32(stream.get()).value_or(0xFFFFFFFFu);
    if (size == 0xFFFFFFFFu) return KILL_FAILED;

    if (size <= kVirusLength) return emu->DeleteFile() ? KILL_REMOVED : KILL_FAILED;
    const uint32_t hostLength = size - kVirusLength;
    std::vector<uint8_t> head(kVirusLength);
    if (!readExactAt(stream.get(), hostLength, head.data(), kVirusLength)) return KILL_FAILED;
    XorData(head.data(), loadLe32(head.data() + kSeedAt), kEncryptedLength);
    if (loadLe16(head.data()) != 0x5A4D) return KILL_FAILED;
    if (!writeFile(*emu, head.data(), 0, kVirusLength) || !truncateFile(*emu, hostLength)) return KILL_FAILED;
    return KILL_REPAIRED;
}
