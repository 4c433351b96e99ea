#include "module/units/generic/numbered_repairs.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <memory>
#include <string>
#include <vector>

#include "module/formats/string_dump.h"
#include "module/toolkit/file_path.h"
#include "module/toolkit/file_properties.h"
#include "module/toolkit/host_stream.h"
#include "module/toolkit/interface_ptr.h"
#include "module/toolkit/pe_address.h"
#include "module/toolkit/pe_header.h"
#include "module/toolkit/pe_resource.h"
#include "module/toolkit/run_checks.h"
#include "module/toolkit/stream_copy.h"
#include "sdk/host_services.h"
#include "sdk/identifiers.h"

using remedy::InterfacePtr;
using remedy::queryInterface;

namespace {

constexpr uint32_t kNone = 0xFFFFFFFFu;

// The stream's size, or kNone when it cannot be told or does not fit below kNone.
uint32_t streamSize(IQEStream* stream) { return remedy::streamSize32(stream).value_or(kNone); }

uint32_t removeFile(IQEStream* stream) {
    return stream && stream->Remove() >= 0 ? KILL_REMOVED : KILL_REMOVE_FAILED;
}

bool hasEmulatorAndHeaders(const tagScanExParam* param) {
    return param && param->emulator && param->peHeaders;
}

uint32_t bits(uint32_t value, unsigned low, unsigned count) {
    return (value >> low) & ((1u << count) - 1u);
}

// --- Resources: the data entry whose upper-cased path has CRC `crc`, and its file offset. ---

struct FoundResource {
    uint32_t offset = 0;
    uint32_t size = 0;
};

// CRC-32 over the path's characters, two bytes each (low byte first), 'a'-'z' upper-cased.
uint32_t resourcePathCrc(const wchar_t* path) {
    std::vector<uint8_t> bytes;
    for (size_t i = 0; path[i] != 0; ++i) {
        uint32_t c = uint32_t(path[i]);
        if (c >= 'a' && c <= 'z') c -= 'a' - 'A';
        bytes.push_back(uint8_t(c));
        bytes.push_back(uint8_t(c >> 8));
    }
    return std_crc32(bytes.data(), bytes.size());
}

// Opens a PE archive on `stream` through the host's object loader and finds the resource.
// The resource must lie wholly inside the stream and be shorter than `limit`.
bool findResourceByCrc(IUnknown* rot, IQEStream* stream, uint32_t crc, uint32_t limit, FoundResource* out) {
    InterfacePtr<IQEArchive> archive = remedy::openHostPeArchive(rot, stream);
    if (!archive) return false;
    CResFinder finder;
    uint32_t count = 0;
    if (finder.Open(archive.get()) < 0 || finder.GetDataEntriesList(&count) < 0 || count == 0) return false;
    constexpr uint32_t kPathCapacity = 512;
    for (uint32_t i = 0; i < count; ++i) {
        CResFinder::_RES_DATA data{};
        wchar_t path[kPathCapacity] = {};
        if (finder.GetResourceData(i, &data) < 0 || finder.GetResourceDataPath(data, path, kPathCapacity) < 0)
            continue;
        if (resourcePathCrc(path) != crc) continue;
        // The first entry with that CRC is the one asked for.
        // A resource of no bytes would leave an empty file: that is no repair.
        if (data.data.Size == 0 || data.data.Size >= limit) return false;
        InterfacePtr<IQEPESectionTable> sections =
            queryInterface<IQEPESectionTable>(archive.get(), qe::IID_IQEPESectionTable);
        uint32_t offset = 0;
        if (!sections || sections->rva2raw(data.data.OffsetToData, &offset) < 0) return false;
        if (uint64_t(offset) + data.data.Size > limit) return false;
        out->offset = offset;
        out->size = data.data.Size;
        return true;
    }
    return false;
}

constexpr uint32_t kResourceCopyBlock = 16384;

}  // namespace

// --- 1 ---

uint32_t CKillMiser::Kill(STScanInfo*, tagScanExParam* param) {
    if (!hasEmulatorAndHeaders(param)) return KILL_FAILED;
    IExecExport* exec = param->emulator;
    const uint32_t base = exec->GetImageBase();
    const uint32_t P = param->methodParameter;
    uint32_t bodyLength = 0;
    if (!exec->ReadMemory(base + P, &bodyLength, 4)) return KILL_FAILED;
    const uint64_t cut = uint64_t(bodyLength) + 4;
    const uint32_t size = exec->GetFileSize();
    if (size == kNone) return KILL_FAILED;
    if (uint64_t(size) > cut + 4096) {
        uint32_t mark = 0;
        if (!exec->ReadMemory(base + P - 4, &mark, 4) || mark != 0x12345678u) return KILL_FAILED;
        return exec->CutFile(0, uint32_t(cut)) ? KILL_REPAIRED : KILL_FAILED;
    }
    // Nothing but the body and a little more: there is no program to keep.
    return exec->DeleteFile() ? KILL_REMOVED : KILL_FAILED;
}

// --- 2 ---

uint32_t CKillRestorePeHeader::Kill(STScanInfo* info, tagScanExParam* param) {
    if (!hasEmulatorAndHeaders(param) || !info || !info->stream) return KILL_FAILED;
    const uint32_t P = param->methodParameter;
    // The parameter's fields: where the value comes from, how many reads, relative to what, its
    // width, and the header offset it goes to.
    const uint32_t source = bits(P, 28, 4);
    const uint32_t readCount = bits(P, 24, 4);
    const uint32_t relative = bits(P, 20, 4);
    const uint32_t widthCode = bits(P, 12, 8);
    const uint32_t headerOffset = bits(P, 0, 12);
    if (source > 8 || readCount > 2 || relative > 2 || widthCode > 2 || headerOffset < 4) return KILL_FAILED;
    static constexpr uint32_t kWidths[3] = {4, 2, 1};
    const uint32_t width = kWidths[widthCode];

    uint16_t peOffset = 0;
    if (!remedy::readExactAt(info->stream, pe::kPeOffsetField, &peOffset, 2)) return KILL_FAILED;

    IExecExport* exec = param->emulator;
    const uint32_t base = exec->GetImageBase();
    uint32_t value = source == 8 ? exec->GetIP() : exec->GetRegister(source);
    // A read count of 2 reads the same address twice, so it gives what a count of 1 gives.
    const uint32_t address = value;
    for (uint32_t i = 0; i < readCount; ++i)
        if (!exec->ReadMemory(address, &value, 4)) return KILL_FAILED;
    if (relative) {
        if (value < base) return KILL_FAILED;
        value -= base;
    }
    // The field must lie inside the file: a header write never grows it.
    const uint64_t at = uint64_t(peOffset) + headerOffset;
    const uint32_t size = streamSize(info->stream);
    if (size == kNone || at + width > size) return KILL_FAILED;
    const uint8_t bytes[4] = {uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16), uint8_t(value >> 24)};
    return remedy::writeExactAt(info->stream, at, bytes, width) ? KILL_REPAIRED : KILL_FAILED;
}

// --- 3 ---

uint32_t CVMControlerStub::Kill(STScanInfo*, tagScanExParam* param) {
    if (!hasEmulatorAndHeaders(param)) return KILL_FAILED;
    IExecExport* exec = param->emulator;
    const uint32_t P = param->methodParameter;
    // The command: its opcode in the top byte, its operands below.
    switch (bits(P, 24, 8)) {
        case 0:
            return exec->RunTo(bits(P, 12, 12), bits(P, 0, 12)) ? KILL_REPAIRED
                                                                : remedy::endedShort(*exec, KILL_FAILED);
        case 1:
            return exec->Step(bits(P, 0, 24)) ? KILL_REPAIRED : remedy::endedShort(*exec, KILL_FAILED);
        case 2: {
            const uint32_t from = bits(P, 16, 8);
            const int32_t delta = int16_t(uint16_t(bits(P, 0, 16)));
            uint32_t start = 0;
            if (from == 8)
                start = exec->GetIP();
            else if (from == 9)
                start = exec->GetImageBase() + param->peHeaders->optionalHeader.AddressOfEntryPoint;
            else
                return KILL_FAILED;
            exec->SetIP(start + uint32_t(delta));
            return KILL_REPAIRED;
        }
        case 3:
            return exec->Restart() ? KILL_REPAIRED : KILL_FAILED;
        case 4: {
            const uint32_t record[4] = {qe::EXEC_STOP_EVENT_MASK, bits(P, 0, 4) != 0, bits(P, 4, 4) != 0,
                                        bits(P, 8, 4) != 0};
            exec->SetStopCondition(record);
            return KILL_REPAIRED;
        }
        default:
            return KILL_FAILED;
    }
}

// --- 4 ---

uint32_t CCutFileHead::Kill(STScanInfo* info, tagScanExParam* param) {
    if (!info || !info->archive || !info->stream || !param) return KILL_FAILED;
    const uint32_t P = param->methodParameter;
    // The packed file when this one is a packer layer, else the file itself.
    InterfacePtr<IQEArchive> top;
    if (GetTopArchive_Packer(info->archive, top.put(), 0x300) == kNone || !top) return KILL_FAILED;
    InterfacePtr<IQEStream> source;
    if (top->GetStream(source.put()) < 0 || !source) return KILL_FAILED;
    const uint32_t size = streamSize(source.get());
    if (size == kNone) return KILL_FAILED;
    if (size < P) return removeFile(info->stream);

    constexpr uint32_t kBlock = 4096;
    auto block = std::make_unique<uint8_t[]>(kBlock);
    const uint32_t kept = size - P;
    const uint32_t blocks = uint32_t((uint64_t(kept) + kBlock - 1) / kBlock);
    for (uint32_t k = 0; k < blocks; ++k) {
        const uint64_t at = uint64_t(k) * kBlock;
        const uint32_t got = remedy::readAt(source.get(), P + at, block.get(), kBlock);
        if (got == 0) return KILL_FAILED;
        // Only the bytes read are written; the final size cuts everything after them anyway.
        if (!remedy::writeExactAt(info->stream, at, block.get(), got)) return KILL_FAILED;
        if (source.get() != info->stream && !remedy::writeExactAt(source.get(), at, block.get(), got))
            return KILL_FAILED;
    }
    if (info->stream->SetSize(kept, 0) < 0) return KILL_FAILED;
    if (source.get() != info->stream && source->SetSize(kept, 0) < 0) return KILL_FAILED;
    return KILL_REPAIRED;
}

// --- 5 ---

uint32_t CKillSubRest::Kill(STScanInfo* info, tagScanExParam* param) {
    if (!info || !info->stream || !param) return KILL_FAILED;
    const uint8_t k = uint8_t(param->methodParameter);
    constexpr uint32_t kBlock = 4096;
    uint8_t block[kBlock];
    // Each block comes after the last; the loop ends at the end of the file (at most 2^32 bytes).
    for (uint64_t at = 0; at < (uint64_t(1) << 32); at += kBlock) {
        const std::optional<uint32_t> got = remedy::readAtOrRefused(info->stream, at, block, kBlock);
        if (!got) return KILL_FAILED;  // the stream refused: the rest would stay unrepaired
        if (*got == 0) return KILL_REPAIRED;
        for (uint32_t i = 0; i < *got; ++i) block[i] = uint8_t(block[i] - k);
        if (!remedy::writeExactAt(info->stream, at, block, *got)) return KILL_FAILED;
        if (*got < kBlock) return KILL_REPAIRED;
    }
    return KILL_REPAIRED;
}

// --- 6 ---

uint32_t CscanRag::Kill(STScanInfo*, tagScanExParam* param) {
    if (!hasEmulatorAndHeaders(param)) return KILL_FAILED;
    const int32_t P = int32_t(param->methodParameter);
    if (P < 0) return KILL_FAILED;
    IExecExport* exec = param->emulator;
    if (!exec->Restart()) return KILL_FAILED;

    // Instruction by instruction until the program stands on E8 00 00 00 00 5B (call $+5;
    // pop ebx). A program that never gets there ends by the emulator's step limit; this bound
    // keeps the walk short even when the host allows a longer run. The virus reaches the mark
    // within a few instructions of its entry; each step here is a run of its own (up to
    // half a millisecond on a damaged image), so 2^12 steps keep the kill to about
    // two seconds at worst where 2^20 took minutes.
    static constexpr uint8_t kMark[6] = {0xE8, 0x00, 0x00, 0x00, 0x00, 0x5B};
    constexpr uint32_t kMaxInstructions = 1u << 12;
    uint32_t found = kNone;
    for (uint32_t n = 1; n <= kMaxInstructions && found == kNone; ++n) {
        if (!exec->RunTo(qe::EXEC_RUN_TO_ABSOLUTE, n)) return remedy::endedShort(*exec, KILL_FAILED);
        const uint32_t ip = exec->GetIP();
        if (ip == kNone) return KILL_FAILED;
        uint8_t code[6];
        if (exec->ReadMemory(ip, code, 6) && std::memcmp(code, kMark, 6) == 0) found = ip;
    }
    if (found == kNone) return remedy::walkCapReached(KILL_FAILED);

    const uint32_t saved = found + uint32_t(P);
    if (saved == kNone) return KILL_FAILED;
    uint8_t entryBytes[5];
    if (!exec->ReadMemory(saved, entryBytes, 5)) return KILL_FAILED;

    // The list of ranges to zero: {address, length} records until one cannot be read or has no
    // place in the file. Bounded by the address space the records can lie in.
    constexpr uint32_t kMaxRanges = 1u << 16;
    for (uint32_t k = 0; k < kMaxRanges; ++k) {
        uint32_t record[2];
        if (!exec->ReadMemory(saved + 5 + 8 * k, record, 8)) break;
        uint32_t offset = 0;
        if (!exec->AddressToFileOffset(record[0], &offset)) break;
        // A range that cannot be zeroed leaves part of the body in the file: not a repair.
        if (!exec->FillFile(offset, 0, record[1])) return KILL_FAILED;
    }

    const uint32_t entry = exec->GetImageBase() + param->peHeaders->optionalHeader.AddressOfEntryPoint;
    uint32_t entryOffset = 0;
    if (!exec->AddressToFileOffset(entry, &entryOffset)) return KILL_FAILED;
    return exec->PatchFile(entryOffset, entryBytes, 5) ? KILL_REPAIRED : KILL_FAILED;
}

// --- 7 and 8 ---

uint32_t CExtractResource::Kill(STScanInfo* info, tagScanExParam* param) {
    if (!info || !info->stream || !param) return KILL_FAILED;
    const uint32_t size = streamSize(info->stream);
    if (size == kNone) return KILL_FAILED;
    FoundResource found;
    if (!findResourceByCrc(info->rot, info->stream, param->methodParameter, size, &found)) return KILL_FAILED;
    return streamncpy(info->stream, info->stream, 0, found.offset, found.size, kResourceCopyBlock) >= 0 ? KILL_REPAIRED
                                                                                                        : KILL_FAILED;
}

uint32_t CExtractResource2::Kill(STScanInfo* info, tagScanExParam* param) {
    if (!info || !info->archive || !info->stream || !param) return KILL_FAILED;
    InterfacePtr<IQEArchive> top;
    GetTopArchive_Packer(info->archive, top.put(), 0x100);
    InterfacePtr<IQEStream> source;
    if (!top || top->GetStream(source.put()) < 0 || !source) return KILL_FAILED;
    const uint32_t size = streamSize(source.get());
    if (size == kNone) return KILL_FAILED;
    FoundResource found;
    if (!findResourceByCrc(info->rot, source.get(), param->methodParameter, size, &found)) return KILL_FAILED;
    return streamncpy(info->stream, source.get(), 0, found.offset, found.size, kResourceCopyBlock) >= 0
               ? KILL_REPAIRED
               : KILL_FAILED;
}

// --- 9 ---

namespace {

constexpr size_t kMaxPathLength = 511;
constexpr uint32_t kMaxCompanionSize = 64u << 20;  // larger than any program this repairs

// The scanned file's path as multibyte text, or empty.
std::string scannedFilePath(IQEArchive* archive) {
    CFilePath path;
    if (!GetFileName(path, archive) || !path.buffer) return {};
    std::string text;
    if (const char* narrow = path.narrow()) {
        text = narrow;
    } else if (const wchar_t* wide = path.wideString()) {
        const size_t length = std::wcstombs(nullptr, wide, 0);
        if (length == size_t(-1)) return {};
        text.resize(length);
        std::wcstombs(text.data(), wide, length);
    }
    return text.size() <= kMaxPathLength ? text : std::string{};
}

// The companion's path: the four characters after the last '.' become P's bytes, most
// significant first. The name changes only after that dot, so the companion lies in the same
// directory: a dot inside a directory name, or a separator among P's bytes, is refused.
bool companionPath(std::string path, uint32_t P, std::string* out) {
    const size_t dot = path.rfind('.');
    if (dot == std::string::npos || dot == 0 || dot > 507) return false;
    const size_t slash = path.find_last_of("/\\");
    if (slash != std::string::npos && slash > dot) return false;
    if (dot < path.size() && path.size() < dot + 5) path.resize(dot + 5, '\0');
    for (int i = 0; i < 4; ++i) {
        const char c = char(P >> (24 - 8 * i));
        if (c == '/' || c == '\\') return false;
        path[dot + 1 + i] = c;
    }
    *out = path.c_str();  // a zero byte in P ends the name there
    return out->size() > dot + 1;
}

}  // namespace

uint32_t CGetExtraFileData::Kill(STScanInfo* info, tagScanExParam* param) {
    if (!info || !info->archive || !info->stream || !param) return KILL_FAILED;
    std::string companion;
    if (!companionPath(scannedFilePath(info->archive), param->methodParameter, &companion)) return KILL_FAILED;

    InterfacePtr<IQERunningObjectTable> table =
        queryInterface<IQERunningObjectTable>(info->rot, qe::IID_IQERunningObjectTable);
    if (!table) return KILL_FAILED;
    InterfacePtr<IUnknown> fileSystemObject;
    if (table->GetObject(qe::PID_ROT_FileSystem, fileSystemObject.put()) < 0) return KILL_FAILED;
    InterfacePtr<IQXFileSystem> fileSystem =
        queryInterface<IQXFileSystem>(fileSystemObject.get(), qe::IID_IQXFileSystem);
    if (!fileSystem) return KILL_FAILED;
    InterfacePtr<IQxHandleFile> handle;
    if (RoCreateInstance("HandleFile", nullptr, qe::IID_IQxHandleFile, handle.putVoid(), nullptr) < 0 || !handle)
        return KILL_FAILED;
    const QEPATHRECORD record{0, 0, companion.c_str()};
    if (handle->Open(fileSystem.get(), &record, QE_OPEN_READ) < 0) return KILL_FAILED;
    InterfacePtr<IQEStream> stream;
    uint32_t result = KILL_FAILED;
    if (handle->GetStream(stream.put()) >= 0 && stream) {
        const uint32_t size = streamSize(stream.get());
        if (size != kNone && size >= 2 && size <= kMaxCompanionSize) {
            std::vector<uint8_t> content(size);
            if (remedy::readExactAt(stream.get(), 0, content.data(), size) && content[0] == 'M' &&
                content[1] == 'Z' && remedy::writeExactAt(info->stream, 0, content.data(), size) &&
                info->stream->SetSize(size, 0) >= 0)
                result = KILL_REPAIRED;
        }
    }
    stream.reset();
    handle->Close();
    return result;
}
