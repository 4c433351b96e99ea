#include "module/toolkit/import_reader.h"

#include <cstdio>
#include <cstring>

#include "module/toolkit/byte_reader.h"
#include "module/toolkit/host_stream.h"
#include "sdk/identifiers.h"

using remedy::InterfacePtr;
using remedy::loadLe32;
using remedy::queryInterface;

namespace {

constexpr uint32_t kImportDirectoryIndex = 1;
constexpr uint32_t kDescriptorSize = 20;
constexpr uint32_t kNameCapacity = 256;
constexpr uint32_t kOrdinalFlag = 0x80000000u;
// Real import tables hold a few hundred modules with a few thousand imports each. A table
// beyond these bounds is damaged or built to keep a caller listing forever: it ends there.
constexpr uint32_t kMaxDescriptors = 1u << 16;
constexpr uint32_t kMaxThunksPerModule = 1u << 16;

}  // namespace

QRESULT CImportedApis::Open(IUnknown* archive) {
    if (!archive) return QE_E_INVALIDARG;
    if (records_) return QE_E_UNEXPECTED;
    InterfacePtr<IQEPEArchive> pe = queryInterface<IQEPEArchive>(archive, qe::IID_IQEPEArchive);
    InterfacePtr<IQEPERecordTable> records = queryInterface<IQEPERecordTable>(archive, qe::IID_IQEPERecordTable);
    if (!pe || !records) return QE_E_NOINTERFACE;
    uint8_t directories[16 * 8] = {};
    uint32_t count = 0;
    if (records->GetRecord(qe::PE_RECORD_DATA_DIRECTORY, 0, directories, sizeof directories, &count) < 0 ||
        count <= kImportDirectoryIndex)
        return QE_E_FAIL;
    const uint32_t rva = loadLe32(directories + 8 * kImportDirectoryIndex);
    if (rva == 0) return QE_E_FAIL;
    importRva_ = rva;
    importSize_ = loadLe32(directories + 8 * kImportDirectoryIndex + 4);
    archive_ = std::move(pe);
    records_ = std::move(records);
    descriptorIndex_ = thunkIndex_ = 0;
    return QE_OK;
}

void CImportedApis::Close() {
    records_.reset();
    archive_.reset();
    importRva_ = importSize_ = 0;
    descriptorIndex_ = thunkIndex_ = 0;
}

QRESULT CImportedApis::FetchImportsApi(_IMPORT_ITEM* item, int restart) {
    if (restart) descriptorIndex_ = thunkIndex_ = 0;
    if (!records_) return QE_E_UNEXPECTED;
    if (!item) return QE_E_INVALIDARG;
    InterfacePtr<IQEStream> stream;
    if (archive_->GetStream(stream.put()) < 0 || !stream) return QE_E_FAIL;
    InterfacePtr<IQEPESectionTable> sections = queryInterface<IQEPESectionTable>(archive_.get(), qe::IID_IQEPESectionTable);
    if (!sections) return QE_E_FAIL;

    // The position moves only when an item is delivered or a module's list ended.
    uint32_t descriptor = descriptorIndex_, thunkIndex = thunkIndex_;
    for (;;) {
        if (descriptor >= kMaxDescriptors) return QE_E_IMPORTS_EXHAUSTED;
        uint32_t offset = 0;
        QRESULT r = sections->rva2raw(importRva_ + kDescriptorSize * descriptor, &offset);
        if (r < 0) return r;
        uint8_t raw[kDescriptorSize];
        if (!remedy::readExactAt(stream.get(), offset, raw, sizeof raw)) return QE_E_FAIL;
        const uint32_t originalFirstThunk = loadLe32(raw), nameRva = loadLe32(raw + 12), firstThunk = loadLe32(raw + 16);
        if (firstThunk == 0) return QE_E_IMPORTS_EXHAUSTED;

        char module[kNameCapacity];
        if ((r = sections->rva2raw(nameRva, &offset)) < 0) return r;
        if ((r = ReadString(stream.get(), offset, module, sizeof module)) < 0) return r;
        TrimModName_right(module, kNameCapacity - 1);  // a damaged name is still reported

        // The import name table when it lies inside a section, else the address table.
        const uint32_t thunks = sections->IsValidRva(originalFirstThunk + 4) >= 0 ? originalFirstThunk : firstThunk;
        if ((r = sections->IsValidRva(thunks)) < 0) return r;
        if ((r = sections->rva2raw(thunks, &offset)) < 0) return r;
        uint8_t thunkBytes[4];
        const uint64_t thunkAt = uint64_t(offset) + 4ull * thunkIndex;
        if (thunkAt > 0xFFFFFFFFull || !remedy::readExactAt(stream.get(), thunkAt, thunkBytes, 4)) return QE_E_FAIL;
        const uint32_t thunk = loadLe32(thunkBytes);
        if (thunk == 0 || thunkIndex >= kMaxThunksPerModule) {
            ++descriptor;
            thunkIndex = 0;
            descriptorIndex_ = descriptor;
            thunkIndex_ = 0;
            continue;
        }

        char function[kNameCapacity];
        if (thunk & kOrdinalFlag) {
            std::snprintf(function, sizeof function, "%08x", thunk & ~kOrdinalFlag);
        } else {
            if ((r = sections->rva2raw(thunk + 2, &offset)) < 0) return r;  // past the hint
            if ((r = ReadString(stream.get(), offset, function, sizeof function)) < 0) return r;
        }
        item->iatSlot = firstThunk + 4 * thunkIndex;
        std::memcpy(item->module, module, sizeof module);
        std::memcpy(item->function, function, sizeof function);
        descriptorIndex_ = descriptor;
        thunkIndex_ = thunkIndex + 1;
        return QE_OK;
    }
}

QRESULT CImportedApis::ReadString(IQEStream* stream, uint32_t offset, char* buffer, uint32_t capacity) {
    if (!stream || !buffer || capacity == 0) return QE_E_INVALIDARG;
    buffer[0] = '\0';
    QRESULT r = stream->Seek(offset, QE_SEEK_SET, nullptr);
    if (r < 0) return r;
    uint32_t n = 0;
    while (n + 1 < capacity) {
        char c = 0;
        uint32_t done = 0;
        if (stream->Read(&c, 1, &done) < 0 || done != 1 || c == '\0') break;
        buffer[n++] = c;
    }
    buffer[n] = '\0';
    return QE_OK;
}

int CImportedApis::TrimModName_right(char* name, uint32_t maximum) {
    if (!name || name[0] == '\0') return 0;
    const size_t length = strnlen(name, size_t(maximum) + 1);
    if (length > maximum || length == 1) return 0;
    if (name[length - 1] == '.') return 1;
    bool dotInside = false;
    for (size_t i = 1; i + 1 < length; ++i) dotInside |= name[i] == '.';
    if (!dotInside) return 0;
    size_t end = length;
    while (end > 1 && name[end - 1] == ' ') --end;
    name[end] = '\0';
    return 1;
}
