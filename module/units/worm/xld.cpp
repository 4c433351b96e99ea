#include "module/units/worm/xld.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "module/toolkit/byte_reader.h"
#include "module/toolkit/host_stream.h"
#include "module/toolkit/interface_ptr.h"
#include "sdk/identifiers.h"
#include "module/toolkit/emulated_file.h"
#include "module/toolkit/pe_resource.h"

using namespace remedy;
using remedy::readAt;

namespace {

constexpr uint16_t kRawDataType = 10;
constexpr char16_t kSizeResourceName[] = u"UKURAN_EKSTRAKTOR";
constexpr uint32_t kSizeResourceNameLength = 17;
constexpr uint8_t kDocSuffix[4] = {'.', 'd', 'o', 'c'};
constexpr uint8_t kCompoundSignature[4] = {0xD0, 0xCF, 0x11, 0xE0};
constexpr uint32_t kRenamePending = 8;

bool readExact(IQEStream* s, uint64_t offset, void* buffer, uint32_t length) {
    return readAt(s, offset, buffer, length) == length;
}

// `path` with everything from the last "." of its final component replaced by `suffix`, or
// `suffix` appended when the final component has none. A "." in a directory name is never
// taken: the new name stays in the file's own directory.
template <class Char>
std::basic_string<Char> withSuffix(std::basic_string<Char> path, const Char* suffix) {
    const size_t slash = path.find_last_of(std::basic_string<Char>{Char('/'), Char('\\')});
    const size_t dot = path.rfind(Char('.'));
    if (dot != std::basic_string<Char>::npos && (slash == std::basic_string<Char>::npos || dot > slash))
        path.erase(dot);
    return path + suffix;
}

}  // namespace

uint32_t CScanXLD::Scan(STScanInfo* info, tagScanExParam* param) {
    IExecExport* exec = emulatorOf(param);
    if (!exec || !info || !info->stream) return 0;
    CPEResource::_find_res type{1, 1, kRawDataType, nullptr, 0};
    CPEResource::_find_res name{1, 0, 0, kSizeResourceName, kSizeResourceNameLength};
    CPEResource::_find_res language{2, 1, 0, nullptr, 0};
    uint32_t dataVa = 0, size = 0;
    if (!FindRes(exec, type, name, language, &dataVa, &size)) return 0;
    // Data larger than the file cannot all arrive: refused before allocating for it.
    const std::optional<uint64_t> fileSize = streamSize(info->stream);
    if (!fileSize || size > *fileSize) return 0;
    uint32_t dataOffset = 0;
    if (exec->AddressToFileOffset(dataVa, &dataOffset) != 1) return 0;
    // A resource shorter than 4 bytes is still read into a 4-byte (zeroed) buffer.
    std::vector<uint8_t> data(std::max<uint32_t>(size, 4), 0);
    if (size > 0 && !readExact(info->stream, dataOffset, data.data(), size)) return 0;

    const uint64_t extractorSize = loadLe32(data.data());
    uint8_t field[4];
    if (!readExact(info->stream, extractorSize + 0x210, field, 4)) return 0;
    const uint64_t z = extractorSize + loadLe32(field);
    if (!readExact(info->stream, z + 0x214, field, 4) || std::memcmp(field, kDocSuffix, 4) != 0) return 0;
    uint8_t head[8];  // the stored length field and the signature's first four bytes
    if (!readExact(info->stream, z + 0x41F, head, 8) || std::memcmp(head + 4, kCompoundSignature, 4) != 0) return 0;
    if (z + 0x423 > 0xFFFFFFFFu) return 0;
    documentOffset_ = uint32_t(z + 0x423);
    storedLength_ = loadLe32(head);
    return 1;
}

uint32_t CScanXLD::Kill(STScanInfo* info, tagScanExParam* param) {
    IExecExport* exec = emulatorOf(param);
    if (!exec || documentOffset_ == 0 || exec->CutFile(0, documentOffset_) != 1) return KILL_FAILED;
    ChangeSuffix(info, ".doc", L".doc");  // the cut document is repaired even under its old name
    return KILL_REPAIRED;
}

int CScanXLD::ChangeSuffix(STScanInfo* info, const char* suffix, const wchar_t* wideSuffix) {
    if (!info || !info->stream || !suffix || !wideSuffix) return 0;
    InterfacePtr<IQxHandleFile> handle = queryInterface<IQxHandleFile>(info->stream, qe::IID_IQxHandleFile);
    QEPATHRECORD path{};
    if (!handle || handle->GetPath(&path) < 0 || !path.path) return 0;
    std::string narrow;
    std::wstring wide;
    QEPROPVALUE value{};
    if (path.kind == 0) {
        narrow = withSuffix<char>(static_cast<const char*>(path.path), suffix);
        value.vt = qe::VT_LPSTR;
        value.narrowVal = narrow.c_str();
    } else {
        wide = withSuffix<wchar_t>(static_cast<const wchar_t*>(path.path), wideSuffix);
        value.vt = qe::VT_LPWSTR;
        value.wideVal = wide.c_str();
    }
    // Tells the host a rename is about to be asked for.
    if (info->stream->SetAccess(kRenamePending, 0) < 0) return 0;
    InterfacePtr<IQEProperty> properties = queryInterface<IQEProperty>(info->stream, qe::IID_IQEProperty);
    return properties && properties->SetProperty(qe::PID_File_RenameName, &value) >= 0 ? 1 : 0;
}
