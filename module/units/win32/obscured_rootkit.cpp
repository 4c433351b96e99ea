#include "module/units/win32/obscured_rootkit.h"

#include <strings.h>

#include <cstring>
#include <iterator>
#include <memory>
#include <string>

#include "module/toolkit/byte_reader.h"
#include "module/toolkit/host_stream.h"
#include "module/toolkit/import_reader.h"
#include "module/toolkit/interface_ptr.h"
#include "module/toolkit/pe_address.h"
#include "sdk/identifiers.h"

using namespace remedy;

namespace {

constexpr uint32_t kMaxDriverLength = 0x40000;
constexpr uint16_t kNativeSubsystem = 1;
constexpr uint32_t kSubsystemInOptionalHeader = 68;

constexpr char kKernelModule[] = "ntoskrnl.exe";
constexpr const char* kDeviceImports[] = {"KeServiceDescriptorTable", "IoCreateDevice", "IoCreateSymbolicLink"};
// Bounded by the import reader's own limits too; a driver imports far fewer.
constexpr uint32_t kMaxImportsListed = 4096;

constexpr uint32_t kMinWideString = 4;
constexpr const char* kDeviceNamePrefixes[] = {"\\Device\\", "\\DosDevices\\", "\\??\\"};

bool isNativePe(const ByteReader& file) {
    const auto pe = file.u32(0x3C);
    if (file.u16(0) != 0x5A4D || !pe || file.u32(*pe) != 0x00004550) return false;
    return file.u16(uint64_t(*pe) + 24 + kSubsystemInOptionalHeader) == kNativeSubsystem;
}

bool importsDeviceFunctions(STScanInfo& info) {
    InterfacePtr<IQEArchive> archive = openHostPeArchive(info.rot, info.stream);
    CImportedApis imports;
    if (!archive || imports.Open(archive.get()) < 0) return false;
    bool found[std::size(kDeviceImports)] = {};
    CImportedApis::_IMPORT_ITEM item{};
    for (uint32_t i = 0; i < kMaxImportsListed && imports.FetchImportsApi(&item, i == 0) == 0; ++i) {
        if (strcasecmp(item.module, kKernelModule) != 0) continue;
        for (size_t f = 0; f < std::size(kDeviceImports); ++f)
            if (std::strcmp(item.function, kDeviceImports[f]) == 0) found[f] = true;
    }
    for (bool f : found)
        if (!f) return false;
    return true;
}

// True when a UTF-16LE run of printable ASCII characters (at least kMinWideString long)
// starts with a device name prefix.
bool namesADevice(const ByteReader& file) {
    auto isDeviceName = [](const std::string& run) {
        if (run.size() < kMinWideString) return false;
        for (const char* prefix : kDeviceNamePrefixes)
            if (strncasecmp(run.c_str(), prefix, std::strlen(prefix)) == 0) return true;
        return false;
    };
    for (uint32_t alignment = 0; alignment < 2; ++alignment) {
        std::string run;
        for (uint64_t at = alignment; at + 1 < file.size(); at += 2) {
            const uint16_t c = *file.u16(at);
            if (c >= 0x20 && c < 0x7F) {
                run.push_back(char(c));
                continue;
            }
            if (isDeviceName(run)) return true;
            run.clear();
        }
        if (isDeviceName(run)) return true;
    }
    return false;
}

}  // namespace

uint32_t CScanObscuredRootkit::Scan(STScanInfo* info, tagScanExParam*) {
    if (!info || !info->stream) return 0;
    const uint32_t size = streamSize32(info->stream).value_or(0);
    if (size == 0 || size >= kMaxDriverLength) return 0;
    auto buffer = std::make_unique<uint8_t[]>(kMaxDriverLength);
    if (!readExactAt(info->stream, 0, buffer.get(), size)) return 0;
    const ByteReader file(buffer.get(), size);
    if (!isNativePe(file) || !importsDeviceFunctions(*info)) return 0;
    return namesADevice(file) ? 0 : 1;
}
