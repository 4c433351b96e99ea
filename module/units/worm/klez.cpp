#include "module/units/worm/klez.h"

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "module/toolkit/byte_reader.h"
#include "module/toolkit/emulated_file.h"
#include "module/toolkit/file_path.h"
#include "module/toolkit/host_stream.h"
#include "module/toolkit/interface_ptr.h"
#include "module/toolkit/pe_header.h"
#include "sdk/host_services.h"
#include "sdk/identifiers.h"

using namespace remedy;

namespace {

// ---------------------------------------------------------------- worm file layout

constexpr uint32_t kBareWormBelow = 0x10000;
constexpr uint32_t kInfoBlockLength = 0x2000;
constexpr uint32_t kKlezFInfoBlockAt = 0xE0D0;
constexpr uint32_t kKlezKInfoBlockAt = 0xF0D0;
constexpr uint32_t kStoredPathAt = 4100;  // in the information block
constexpr uint32_t kStoredPathLength = 260;
// The stored program is read whole into memory; a larger file is not one the worm wrote.
constexpr uint32_t kMaxStoredFileSize = 64u << 20;

// ---------------------------------------------------------------- dropped DLL marks

constexpr uint32_t kDllCodeAt = 1536;
constexpr uint8_t kDllCode[24] = {0x6A, 0x00, 0xE8, 0x0C, 0x00, 0x00, 0x00, 0xFF, 0x25, 0x50, 0x30, 0x40,
                                  0x00, 0xFF, 0x25, 0x58, 0x30, 0x40, 0x00, 0xFF, 0x25, 0x5C, 0x30, 0x40};
constexpr uint32_t kDllImportNameAt = 6256;
constexpr uint8_t kDllImportName[12] = {'E', 'R', 'N', 'E', 'L', '3', '2', '.', 'd', 'l', 'l', 0};
constexpr char kDllName[] = "Wqk.DLL";
constexpr wchar_t kDllWideName[] = L"Wqk.DLL";

// Deleting through a stream: the host removes the file behind it (deferred to its commit).
uint32_t removeThrough(IQEStream* stream) {
    return stream && stream->Remove() == QE_OK ? KILL_REMOVED : KILL_REMOVE_FAILED;
}

// ---------------------------------------------------------------- the stored file

// A file the host opens by path through its file system, held open while used.
struct OpenedFile {
    InterfacePtr<IQxHandleFile> handle;
    InterfacePtr<IQEStream> stream;
};

bool openByPath(IUnknown* rot, const std::string& path, OpenedFile* opened) {
    if (path.empty()) return false;
    InterfacePtr<IQERunningObjectTable> table = queryInterface<IQERunningObjectTable>(rot, qe::IID_IQERunningObjectTable);
    if (!table) return false;
    InterfacePtr<IUnknown> object;
    if (table->GetObject(qe::PID_ROT_FileSystem, object.put()) < 0 || !object) return false;
    InterfacePtr<IQXFileSystem> fileSystem = queryInterface<IQXFileSystem>(object.get(), qe::IID_IQXFileSystem);
    if (!fileSystem) return false;
    InterfacePtr<IQxHandleFile> handle;
    if (RoCreateInstance("HandleFile", nullptr, qe::IID_IQxHandleFile, handle.putVoid(), nullptr) < 0 || !handle)
        return false;
    const QEPATHRECORD record{0, 0, path.c_str()};
    if (handle->Open(fileSystem.get(), &record, QE_OPEN_READ | QE_OPEN_WRITE) < 0) return false;
    if (handle->GetStream(opened->stream.put()) < 0 || !opened->stream) {
        handle->Close();
        return false;
    }
    opened->handle = std::move(handle);
    return true;
}

// The scanned file's own path as narrow bytes. A wide path is converted with the C library's
// multibyte functions rather than searched as raw bytes.
bool ownPath(IQEStream* stream, std::string* path) {
    InterfacePtr<IQxHandleFile> handle = queryInterface<IQxHandleFile>(stream, qe::IID_IQxHandleFile);
    QEPATHRECORD record{};
    if (!handle || handle->GetPath(&record) < 0 || !record.path) return false;
    if (record.kind == 0) {
        *path = static_cast<const char*>(record.path);
        return true;
    }
    const wchar_t* wide = static_cast<const wchar_t*>(record.path);
    std::mbstate_t state{};
    const size_t length = std::wcsrtombs(nullptr, &wide, 0, &state);
    if (length == size_t(-1)) return false;
    path->assign(length, '\0');
    state = {};
    wide = static_cast<const wchar_t*>(record.path);
    std::wcsrtombs(path->data(), &wide, length, &state);
    return true;
}

enum class Found { Opened, NotFound, Failed };

// Opens the stored file: by its decoded path first, then by the decoded name in the scanned
// file's own directory. The host's paths separate directories with '/', the worm's with '\',
// so the directory is cut after the own path's last separator of either kind and the decoded
// name follows it without its backslash.
Found openStoredFile(STScanInfo* info, const std::string& decoded, OpenedFile* opened) {
    if (openByPath(info->rot, decoded, opened)) return Found::Opened;
    const size_t backslash = decoded.rfind('\\');
    if (backslash == std::string::npos) return Found::NotFound;
    std::string own;
    if (!ownPath(info->stream, &own)) return Found::Failed;
    const size_t separator = own.find_last_of("/\\");
    const std::string directory = separator == std::string::npos ? std::string() : own.substr(0, separator + 1);
    const std::string candidate = directory + decoded.substr(backslash + 1);
    if (candidate.size() >= kStoredPathLength) return Found::NotFound;
    return openByPath(info->rot, candidate, opened) ? Found::Opened : Found::NotFound;
}

uint32_t killKlezWorm(STScanInfo* info, tagScanExParam* param, uint32_t blockAt) {
    IExecExport* emu = emulatorOf(param);
    if (!info || !info->stream || !emu) return KILL_FAILED;
    const std::optional<uint64_t> size = streamSize(info->stream);
    if (!size) return KILL_FAILED;
    if (*size < kBareWormBelow) return removeThrough(info->stream);

    // The block is needed up to the end of the stored path.
    std::vector<uint8_t> block(kInfoBlockLength, 0);
    // A file too short for the block is the worm alone; a read the host failed tells nothing.
    const std::optional<uint32_t> got = readAtOrRefused(info->stream, blockAt, block.data(), kInfoBlockLength);
    if (!got) return KILL_FAILED;
    if (*got < kStoredPathAt + kStoredPathLength) return removeThrough(info->stream);
    uint8_t* name = block.data() + kStoredPathAt;
    FileExtNameDecode(name, int32_t(kStoredPathLength), block.data());
    const std::string decoded(reinterpret_cast<const char*>(name),
                              std::find(name, name + kStoredPathLength, 0) - name);

    OpenedFile stored;
    switch (openStoredFile(info, decoded, &stored)) {
        case Found::Opened: break;
        case Found::NotFound: return removeThrough(info->stream);
        case Found::Failed: return KILL_FAILED;
    }

    const uint64_t storedSize = streamSize(stored.stream.get()).value_or(0);
    if (storedSize == 0 || storedSize > kMaxStoredFileSize) return KILL_FAILED;
    std::vector<uint8_t> content;
    try {
        content.resize(size_t(storedSize));
    } catch (const std::bad_alloc&) {
        return KILL_FAILED;
    }
    if (!readExactAt(stored.stream.get(), 0, content.data(), uint32_t(storedSize))) return KILL_FAILED;

    uint32_t programLength = 0;
    std::unique_ptr<uint8_t[]> program(Decodefile(content.data(), uint32_t(storedSize), &programLength));
    if (!program || programLength == 0) return KILL_FAILED;
    emu->SetFilePos(0, 0);
    if (!emu->WriteFileSeq(program.get(), programLength)) return KILL_FAILED;
    // The worm is longer than most programs it replaced: what is left of it behind the program
    // goes, so that the file is the program again.
    if (!emu->SetFileSize(programLength)) return KILL_FAILED;
    stored.stream->Remove();
    return KILL_REPAIRED;
}

}  // namespace

int FileExtNameDecode(uint8_t* buffer, int32_t length, uint8_t* key) {
    if (!buffer || !key) return 1;
    const uint32_t turns = key[0] % 8u;  // eight turns of a byte bring it back
    for (int32_t i = 0; i < length; ++i) {
        uint8_t v = uint8_t(buffer[i] ^ key[1]);
        if (turns) v = uint8_t((v >> turns) | (v << (8 - turns)));
        key[3] = v;
        buffer[i] = v;
    }
    return 1;
}

uint8_t* Decodefile(const uint8_t* input, uint32_t inputLength, uint32_t* outLength) {
    if (!input || !outLength) return nullptr;
    const ByteReader in(input, inputLength);
    const std::optional<uint32_t> count = in.u32(0);
    if (!count || 8ull * *count + 4 > inputLength) return nullptr;
    const uint32_t runs = *count;
    const uint32_t literalsAt = 4 + 8 * runs;
    const uint64_t literals = inputLength - literalsAt;

    // Size pass: the literal bytes fill the gaps before each run's position.
    uint64_t size = 0, gaps = 0;
    for (uint32_t r = 0; r < runs; ++r) {
        const uint32_t position = *in.u32(4 + 8ull * r);
        const uint32_t length = *in.u32(8 + 8ull * r);
        if (position > size) {
            gaps += position - size;
            size = position;
        }
        size += length;
        if (size > kKlezMaxProgramSize) return nullptr;
    }
    if (literals > gaps) size += literals - gaps;
    if (size > kKlezMaxProgramSize) return nullptr;

    // Fill pass over a zeroed buffer: a run only advances the output; literal bytes go where no
    // run lies. Runs still pending after the last literal are zeros already.
    uint8_t* out = new (std::nothrow) uint8_t[size_t(size) + (size == 0 ? 1 : 0)]();
    if (!out) return nullptr;
    uint64_t k = 0;
    uint32_t next = 0;
    for (uint64_t l = 0; l < literals; ++l) {
        while (next < runs && *in.u32(4 + 8ull * next) <= k) {
            k += *in.u32(8 + 8ull * next);
            ++next;
        }
        if (k >= size) break;
        out[k++] = input[literalsAt + l];
    }
    *outLength = uint32_t(size);
    return out;
}

uint32_t CScanWormKlezF::Kill(STScanInfo* info, tagScanExParam* param) {
    return killKlezWorm(info, param, kKlezFInfoBlockAt);
}

uint32_t CScanWormKlezK::Kill(STScanInfo* info, tagScanExParam* param) {
    return killKlezWorm(info, param, kKlezKInfoBlockAt);
}

uint32_t CScanWin32Klez::Kill(STScanInfo* info, tagScanExParam* param) {
    IExecExport* emu = emulatorOf(param);
    const CPEHeander* headers = param ? param->peHeaders : nullptr;
    if (!emu || !headers) return KILL_FAILED;
    uint32_t body = 0, unused = 0, R = 0;
    if (!emu->GetImageAddress(0, 0, &body, &unused, 0) || !emu->AddressToFileOffset(body, &R)) return KILL_FAILED;

    uint32_t M = 0, T = 0;
    const uint32_t count = headers->sections ? std::min<uint32_t>(headers->sectionCount, headers->fileHeader.NumberOfSections) : 0;
    for (uint32_t i = 0; i < count; ++i) {
        const IMAGE_SECTION_HEADER& s = headers->sections[i];
        M = std::max(M, s.PointerToRawData);
        const uint64_t end = uint64_t(s.PointerToRawData) + s.SizeOfRawData;
        if (s.PointerToRawData <= R && end > R) T = uint32_t(end - R);
    }
    uint32_t result = KILL_FAILED;
    if (M > R)
        result = emu->FillFile(R, 0, T & 0xFFFF) ? KILL_REPAIRED : KILL_FAILED;  // the length is a 16-bit value
    else
        result = emu->SetFileSize(R) ? KILL_REPAIRED : KILL_FAILED;

    uint8_t code[sizeof kDllCode], importName[sizeof kDllImportName];
    if (!readFile(*emu, code, kDllCodeAt, sizeof code) ||
        !readFile(*emu, importName, kDllImportNameAt, sizeof importName) ||
        std::memcmp(code, kDllCode, sizeof code) != 0 || std::memcmp(importName, kDllImportName, sizeof importName) != 0)
        return result;
    CFilePath path;
    if (!GetFileName(path, info ? info->archive : nullptr) || !path.buffer) return KILL_FAILED;
    const bool dropped = path.wide ? std::wcsstr(path.wideString(), kDllWideName) != nullptr
                                   : std::strstr(path.narrow(), kDllName) != nullptr;
    if (!dropped) return result;
    return emu->DeleteFile() ? KILL_REMOVED : KILL_REMOVE_FAILED;
}
