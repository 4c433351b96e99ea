#include "module/units/win32/vb_downloader.h"

#include <strings.h>

#include <array>
#include <cstring>
#include <string>

#include "module/toolkit/byte_reader.h"
#include "module/toolkit/emulated_file.h"
#include "module/toolkit/interface_ptr.h"
#include "module/toolkit/pe_header.h"
#include "sdk/identifiers.h"
#include "sdk/property.h"

using namespace remedy;

namespace {

constexpr uint32_t kMaxFileLength = 0x100000;

// A VB program's entry is `push <VB5! header>; call ThunRTMain`.
constexpr uint32_t kHeaderOperandAt = 1;
constexpr uint32_t kHeaderLength = 120;
constexpr char kHeaderMagic[] = "VB5!";
constexpr uint32_t kProjectRecordAt = 0x30;  // in the header

// The project record. Its declaration count is the record's last dword; the whole record is
// read so that the count is read whole.
constexpr uint32_t kProjectRecordLength = 0x23C;
constexpr uint32_t kDeclarationsAt = 0x234;
constexpr uint32_t kDeclarationCountAt = 0x238;
constexpr uint32_t kMaxDeclarations = 10;

// A declaration: {type, data}; type 7 is a Declare of a DLL function, its data
// {library name, function name}.
constexpr uint32_t kDeclarationSize = 8;
constexpr uint32_t kApiDeclaration = 7;
constexpr uint32_t kMaxNameLength = 64;

constexpr char kDownloader[] = "URLDownloadToFileA";

// The launchers that run the downloaded file. The library is compared without its ".dll"
// and an empty one accepts any library; the function name is a prefix, so that the A, W and
// Ex forms of ShellExecute and CreateProcess count as well.
struct Launcher {
    const char* library;
    const char* function;
    bool prefix;
};
constexpr Launcher kLaunchers[] = {
    {"kernel32", "WinExec", false},
    {"shell32", "ShellExecute", true},
    {"", "CreateProcess", true},
};

// A zero-terminated name of at most kMaxNameLength characters in the image, read in small
// pieces so that a name near the end of the image can still be read.
bool readName(IExecExport& emu, uint32_t address, std::string* name) {
    name->clear();
    constexpr uint32_t kPiece = 16;
    while (name->size() < kMaxNameLength) {
        char piece[kPiece];
        if (!readMemory(emu, address + uint32_t(name->size()), piece, kPiece)) return false;
        for (char c : piece) {
            if (c == 0) return true;
            name->push_back(c);
        }
    }
    return false;
}

bool sameLibrary(std::string library, const char* wanted) {
    if (!*wanted) return true;
    if (library.size() > 4 && strcasecmp(library.c_str() + library.size() - 4, ".dll") == 0)
        library.resize(library.size() - 4);
    return strcasecmp(library.c_str(), wanted) == 0;
}

bool isLauncher(const std::string& library, const std::string& function) {
    for (const Launcher& l : kLaunchers) {
        if (!sameLibrary(library, l.library)) continue;
        const size_t length = std::strlen(l.function);
        if (l.prefix ? strncasecmp(function.c_str(), l.function, length) == 0
                     : strcasecmp(function.c_str(), l.function) == 0)
            return true;
    }
    return false;
}

bool whiteListed(IQEStream* stream) {
    InterfacePtr<IQEProperty> properties = queryInterface<IQEProperty>(stream, qe::IID_IQEProperty);
    const QEPROPVALUE* value = nullptr;
    if (!properties || properties->GetProperty(qe::PID_TROJANLIB_WHITELIST, &value) < 0 || !value) return false;
    return value->vt == qe::VT_UI4 && value->uintVal == 1;
}

}  // namespace

uint32_t CScanUnknownVBDownLoader::Scan(STScanInfo* info, tagScanExParam* param) {
    IExecExport* emu = emulatorOf(param);
    const CPEHeander* headers = param ? param->peHeaders : nullptr;
    if (!emu || !headers) return 0;
    uint32_t fileLength = 0;
    if (!fileSize(*emu, &fileLength) || fileLength > kMaxFileLength) return 0;
    if (info && info->stream && whiteListed(info->stream)) return 0;

    const uint32_t imageBase = headers->optionalHeader.ImageBase;
    const uint32_t imageSize = headers->optionalHeader.SizeOfImage;
    uint8_t operand[4];
    if (!readMemory(*emu, imageBase + headers->optionalHeader.AddressOfEntryPoint + kHeaderOperandAt, operand, 4))
        return 0;
    const uint32_t header = loadLe32(operand);
    if (header < imageBase || imageSize < kHeaderLength || header - imageBase > imageSize - kHeaderLength) return 0;
    std::array<uint8_t, kHeaderLength> headerBytes{};
    if (!readMemory(*emu, header, headerBytes.data(), kHeaderLength)) return 0;
    if (std::memcmp(headerBytes.data(), kHeaderMagic, 4) != 0) return 0;

    std::array<uint8_t, kProjectRecordLength> project{};
    if (!readMemory(*emu, loadLe32(&headerBytes[kProjectRecordAt]), project.data(), kProjectRecordLength)) return 0;
    const uint32_t declarations = loadLe32(&project[kDeclarationsAt]);
    const uint32_t count = loadLe32(&project[kDeclarationCountAt]);
    if (count < 1 || count > kMaxDeclarations) return 0;
    std::array<uint8_t, kMaxDeclarations * kDeclarationSize> table{};
    if (!readMemory(*emu, declarations, table.data(), count * kDeclarationSize)) return 0;

    bool downloads = false, launches = false;
    for (uint32_t i = 0; i < count; ++i) {
        if (loadLe32(&table[i * kDeclarationSize]) != kApiDeclaration) continue;
        uint8_t names[8];
        std::string library, function;
        if (!readMemory(*emu, loadLe32(&table[i * kDeclarationSize + 4]), names, sizeof names) ||
            !readName(*emu, loadLe32(names), &library) || !readName(*emu, loadLe32(names + 4), &function))
            continue;
        if (strcasecmp(function.c_str(), kDownloader) == 0) downloads = true;
        else if (isLauncher(library, function)) launches = true;
    }
    return downloads && launches ? 1 : 0;
}

uint32_t CScanUnknownVBDownLoader::Kill(STScanInfo* info, tagScanExParam*) {
    if (!info || !info->stream) return KILL_REMOVE_FAILED;
    return info->stream->Remove() >= 0 ? KILL_REMOVED : KILL_REMOVE_FAILED;
}
