#include "module/toolkit/pe_resource.h"

#include <cwchar>
#include <new>
#include <string>

#include "module/toolkit/byte_reader.h"
#include "sdk/identifiers.h"

using remedy::InterfacePtr;
using remedy::loadLe16;
using remedy::loadLe32;
using remedy::queryInterface;

namespace {

constexpr uint32_t kHighBit = 0x80000000u;
constexpr uint32_t kResourceDirectoryIndex = 2;
// No real resource tree comes near this many directory entries; a tree that does is damaged
// or built to make the walk take forever.
constexpr uint32_t kMaxEntriesWalked = 1u << 18;
constexpr uint32_t kMaxNameLength = 0xFFFF;

}  // namespace

QRESULT CResFinder::Open(IQEArchive* archive) {
    if (!archive) return QE_E_INVALIDARG;
    if (archive_) return QE_E_UNEXPECTED;
    InterfacePtr<IQEPEArchive> pe = queryInterface<IQEPEArchive>(archive, qe::IID_IQEPEArchive);
    InterfacePtr<IQEPERecordTable> records = queryInterface<IQEPERecordTable>(archive, qe::IID_IQEPERecordTable);
    if (!pe || !records) return QE_E_INVALIDARG;
    InterfacePtr<IQEStream> stream;
    QRESULT r = pe->GetStream(stream.put());
    if (r < 0) return r;
    archive_ = std::move(pe);
    records_ = std::move(records);
    stream_ = std::move(stream);
    return QE_OK;
}

void CResFinder::Close() {
    directories_.clear();
    dataEntries_.clear();
    stream_.reset();
    records_.reset();
    archive_.reset();
}

QRESULT CResFinder::rootRva(uint32_t* rva) {
    uint8_t directories[16 * 8] = {};
    uint32_t count = 0;
    QRESULT r = records_->GetRecord(qe::PE_RECORD_DATA_DIRECTORY, 0, directories, sizeof directories, &count);
    if (r < 0) return r;
    if (count <= kResourceDirectoryIndex) return QE_E_FAIL;
    *rva = loadLe32(directories + 8 * kResourceDirectoryIndex);
    const uint32_t size = loadLe32(directories + 8 * kResourceDirectoryIndex + 4);
    return (*rva == 0 || size == 0) ? QE_E_FAIL : QE_OK;
}

uint32_t CResFinder::GetResourceRootRVA() {
    uint32_t rva = 0;
    if (!records_ || rootRva(&rva) < 0) return 0;
    return rva;
}

QRESULT CResFinder::readDirectory(uint32_t rva, IMAGE_RESOURCE_DIRECTORY* out) {
    uint8_t raw[16];
    QRESULT r = records_->GetRecord(qe::PE_RECORD_RESOURCE_DIRECTORY, rva, raw, sizeof raw, nullptr);
    if (r < 0) return r;
    *out = {loadLe32(raw), loadLe32(raw + 4), loadLe16(raw + 8), loadLe16(raw + 10), loadLe16(raw + 12),
            loadLe16(raw + 14)};
    return QE_OK;
}

QRESULT CResFinder::readEntry(uint32_t rva, IMAGE_RESOURCE_DIRECTORY_ENTRY* out) {
    uint8_t raw[8];
    QRESULT r = records_->GetRecord(qe::PE_RECORD_RESOURCE_ENTRY, rva, raw, sizeof raw, nullptr);
    if (r < 0) return r;
    *out = {loadLe32(raw), loadLe32(raw + 4)};
    return QE_OK;
}

QRESULT CResFinder::readDataEntry(uint32_t rva, IMAGE_RESOURCE_DATA_ENTRY* out) {
    uint8_t raw[16];
    QRESULT r = records_->GetRecord(qe::PE_RECORD_RESOURCE_DATA_ENTRY, rva, raw, sizeof raw, nullptr);
    if (r < 0) return r;
    *out = {loadLe32(raw), loadLe32(raw + 4), loadLe32(raw + 8), loadLe32(raw + 12)};
    return QE_OK;
}

QRESULT CResFinder::GetDataEntriesList(uint32_t* count) {
    if (!records_) return QE_E_UNEXPECTED;
    if (!count) return QE_E_INVALIDARG;
    uint32_t root = 0;
    QRESULT r = rootRva(&root);
    if (r < 0) return r;
    directories_.clear();
    dataEntries_.clear();
    try {
        std::deque<uint32_t> work{root};
        directories_[root] = _RES_DIR{{0, 0}, 0, false, 0, 0};
        uint32_t walked = 0;
        while (!work.empty()) {
            const uint32_t rva = work.front();
            work.pop_front();
            _RES_DIR& dir = directories_[rva];
            if (dir.visited) continue;
            dir.visited = true;
            IMAGE_RESOURCE_DIRECTORY header;
            if ((r = readDirectory(rva, &header)) < 0) return r;
            directories_[rva].namedEntries = header.NumberOfNamedEntries;
            directories_[rva].idEntries = header.NumberOfIdEntries;
            const uint32_t entries = uint32_t(header.NumberOfNamedEntries) + header.NumberOfIdEntries;
            for (uint32_t i = 0; i < entries; ++i) {
                if (++walked > kMaxEntriesWalked) return QE_E_FAIL;
                IMAGE_RESOURCE_DIRECTORY_ENTRY entry;
                if ((r = readEntry(rva + 16 + 8 * i, &entry)) < 0) return r;
                const uint32_t target = root + (entry.OffsetToData & ~kHighBit);
                if (entry.OffsetToData & kHighBit) {
                    // A directory met before (a loop, or two entries sharing one) is not queued again.
                    if (directories_.emplace(target, _RES_DIR{entry, rva, false, 0, 0}).second) work.push_back(target);
                } else {
                    IMAGE_RESOURCE_DATA_ENTRY data;
                    if ((r = readDataEntry(target, &data)) < 0) return r;
                    dataEntries_.push_back({rva, entry, data});
                }
            }
        }
    } catch (const std::bad_alloc&) {
        return QE_E_OUTOFMEMORY;
    }
    *count = uint32_t(dataEntries_.size());
    return QE_OK;
}

QRESULT CResFinder::GetResourceData(uint32_t index, _RES_DATA* out) {
    if (!records_) return QE_E_UNEXPECTED;
    if (!out || index >= dataEntries_.size()) return QE_E_INVALIDARG;
    *out = dataEntries_[index];
    return QE_OK;
}

QRESULT CResFinder::GetResourceDataByLayerIndex(uint32_t typeIndex, uint32_t nameIndex, uint32_t languageIndex,
                                                IMAGE_RESOURCE_DATA_ENTRY* out) {
    if (!records_) return QE_E_UNEXPECTED;
    if (!out) return QE_E_INVALIDARG;
    uint32_t root = 0;
    QRESULT r = rootRva(&root);
    if (r < 0) return r;
    uint32_t at = root;
    for (uint32_t index : {typeIndex, nameIndex, languageIndex}) {
        IMAGE_RESOURCE_DIRECTORY header;
        if ((r = readDirectory(at, &header)) < 0) return r;
        if (index == 0 || index > uint32_t(header.NumberOfNamedEntries) + header.NumberOfIdEntries)
            return QE_E_UNEXPECTED;
        IMAGE_RESOURCE_DIRECTORY_ENTRY entry;
        if ((r = readEntry(at + 8 + 8 * index, &entry)) < 0) return r;
        at = root + (entry.OffsetToData & ~kHighBit);
    }
    return readDataEntry(at, out);
}

namespace {

// Copies text into the caller's buffer, cut to capacity - 1 characters and terminated.
void copyOut(const std::wstring& text, wchar_t* buffer, uint32_t capacity) {
    const size_t n = text.size() < capacity - 1 ? text.size() : capacity - 1;
    std::wmemcpy(buffer, text.data(), n);
    buffer[n] = L'\0';
}

}  // namespace

QRESULT CResFinder::GetEntryName(const IMAGE_RESOURCE_DIRECTORY_ENTRY& entry, wchar_t* buffer, uint32_t capacity) {
    if (!records_) return QE_E_UNEXPECTED;
    if (!buffer || capacity == 0) return QE_E_INVALIDARG;
    if (!(entry.Name & kHighBit)) {
        wchar_t text[16];
        std::swprintf(text, 16, L"%X", entry.Name);
        copyOut(text, buffer, capacity);
        return QE_OK;
    }
    uint32_t root = 0;
    QRESULT r = rootRva(&root);
    if (r < 0) return r;
    InterfacePtr<IQEPESectionTable> sections = queryInterface<IQEPESectionTable>(archive_.get(), qe::IID_IQEPESectionTable);
    if (!sections) return QE_E_FAIL;
    uint32_t offset = 0;
    if ((r = sections->rva2raw(root + (entry.Name & ~kHighBit), &offset)) < 0) return r;
    if ((r = stream_->Seek(offset, QE_SEEK_SET, nullptr)) < 0) return r;
    uint8_t lengthBytes[2];
    uint32_t done = 0;
    if (stream_->Read(lengthBytes, 2, &done) < 0 || done != 2) return QE_E_FAIL;
    // Only the characters that fit are read.
    uint32_t length = loadLe16(lengthBytes);
    if (length > capacity - 1) length = capacity - 1;
    if (length > kMaxNameLength) length = kMaxNameLength;
    try {
        std::basic_string<uint8_t> raw(size_t(length) * 2, 0);
        if (length && (stream_->Read(raw.data(), length * 2, &done) < 0 || done != length * 2)) return QE_E_FAIL;
        std::wstring name(length, L'\0');
        for (uint32_t i = 0; i < length; ++i) name[i] = wchar_t(loadLe16(raw.data() + 2 * i));
        copyOut(name, buffer, capacity);
    } catch (const std::bad_alloc&) {
        return QE_E_OUTOFMEMORY;
    }
    return QE_OK;
}

QRESULT CResFinder::GetResourceDataPath(const _RES_DATA& data, wchar_t* buffer, uint32_t capacity) {
    if (!records_) return QE_E_UNEXPECTED;
    if (!buffer || capacity == 0) return QE_E_INVALIDARG;
    uint32_t root = 0;
    QRESULT r = rootRva(&root);
    if (r < 0) return r;
    try {
        std::wstring name(size_t(kMaxNameLength) + 1, L'\0');
        if ((r = GetEntryName(data.entry, name.data(), uint32_t(name.size()))) < 0) return r;
        std::wstring path(name.c_str());
        uint32_t dir = data.directoryRva;
        // Parents were recorded by a breadth-first walk, so the chain reaches the root; the
        // bound only guards against a map that is not the walk's.
        for (size_t step = 0; dir != root; ++step) {
            auto it = directories_.find(dir);
            if (it == directories_.end() || step > directories_.size()) return QE_E_FAIL;
            if ((r = GetEntryName(it->second.entry, name.data(), uint32_t(name.size()))) < 0) return r;
            path += L'@';
            path += name.c_str();
            dir = it->second.parentRva;
        }
        copyOut(path, buffer, capacity);
    } catch (const std::bad_alloc&) {
        return QE_E_OUTOFMEMORY;
    }
    return QE_OK;
}

// ---------------------------------------------------------------- CPEResource

namespace {

constexpr uint32_t kSubdirectory = 1, kDataEntry = 2;

uint8_t foldLetter(uint8_t b) { return (b >= 'A' && b <= 'Z') ? uint8_t(b + 0x20) : b; }

}  // namespace

int CPEResource::Init(IExecExport* exec) {
    exec_ = exec;
    rootVa_ = 0;
    if (!exec) return 0;
    headers_.source = exec;
    if (!headers_.Initialize() || !headers_.dataDirectories) return 0;
    const uint32_t rva = headers_.dataDirectories[pe::IMAGE_DIRECTORY_ENTRY_RESOURCE].VirtualAddress;
    if (rva == 0) return 0;
    rootVa_ = rva + exec->GetImageBase();
    return 1;
}

int CPEResource::ReadResourceDirectory(uint32_t va, IMAGE_RESOURCE_DIRECTORY* out) {
    uint8_t raw[16];
    if (!exec_ || !out || !exec_->ReadMemory(va, raw, sizeof raw)) return 0;
    *out = {loadLe32(raw), loadLe32(raw + 4), loadLe16(raw + 8), loadLe16(raw + 10), loadLe16(raw + 12),
            loadLe16(raw + 14)};
    return 1;
}

int CPEResource::ReadResourceDirectoryEntry(uint32_t va, IMAGE_RESOURCE_DIRECTORY_ENTRY* out) {
    uint8_t raw[8];
    if (!exec_ || !out || !exec_->ReadMemory(va, raw, sizeof raw)) return 0;
    *out = {loadLe32(raw), loadLe32(raw + 4)};
    return 1;
}

int CPEResource::ReadResourceDataEntry(uint32_t va, IMAGE_RESOURCE_DATA_ENTRY* out) {
    uint8_t raw[16];
    if (!exec_ || !out || !exec_->ReadMemory(va, raw, sizeof raw)) return 0;
    *out = {loadLe32(raw), loadLe32(raw + 4), loadLe32(raw + 8), loadLe32(raw + 12)};
    return 1;
}

bool CPEResource::nameMatches(uint32_t nameField, const _find_res& selector) {
    const uint32_t at = rootVa_ + (nameField & ~kHighBit);
    uint8_t lengthBytes[2];
    if (!exec_->ReadMemory(at, lengthBytes, 2) || loadLe16(lengthBytes) != selector.nameLength) return false;
    if (selector.nameLength == 0) return true;
    if (!selector.name) return false;
    const auto* wanted = static_cast<const uint8_t*>(selector.name);
    // Compared a slice at a time, so a long name needs no large buffer.
    uint8_t slice[256];
    const uint32_t total = 2u * selector.nameLength;
    for (uint32_t done = 0; done < total;) {
        const uint32_t n = total - done < sizeof slice ? total - done : uint32_t(sizeof slice);
        if (!exec_->ReadMemory(at + 2 + done, slice, n)) return false;
        for (uint32_t i = 0; i < n; ++i)
            if (foldLetter(slice[i]) != foldLetter(wanted[done + i])) return false;
        done += n;
    }
    return true;
}

int CPEResource::FindResource(const _find_res& selector, uint32_t* entryVa, uint32_t directoryVa) {
    if (rootVa_ == 0 || !entryVa) return 0;
    const uint32_t dir = directoryVa ? directoryVa : rootVa_;
    IMAGE_RESOURCE_DIRECTORY header;
    if (!ReadResourceDirectory(dir, &header)) return 0;
    const uint32_t entries = uint32_t(header.NumberOfNamedEntries) + header.NumberOfIdEntries;
    for (uint32_t i = 0; i < entries; ++i) {
        const uint32_t va = dir + 16 + 8 * i;
        IMAGE_RESOURCE_DIRECTORY_ENTRY entry;
        if (!ReadResourceDirectoryEntry(va, &entry)) continue;
        const bool leadsToDirectory = entry.OffsetToData & kHighBit;
        if (!(selector.kinds & (leadsToDirectory ? kSubdirectory : kDataEntry))) continue;
        bool match;
        if (!(entry.Name & kHighBit)) match = selector.byId && (entry.Name & 0xFFFF) == selector.id;
        else match = !selector.byId && nameMatches(entry.Name, selector);
        if (match) {
            *entryVa = va;
            return 1;
        }
    }
    return 0;
}

int FindRes(IExecExport* exec, const CPEResource::_find_res& type, const CPEResource::_find_res& name,
            const CPEResource::_find_res& language, uint32_t* dataVa, uint32_t* size) {
    if (!dataVa || !size) return 0;
    CPEResource resources;
    if (!resources.Init(exec)) return 0;
    const uint32_t root = resources.GetRootDirVA();
    uint32_t directory = 0, entryVa = 0;
    IMAGE_RESOURCE_DIRECTORY_ENTRY entry;
    for (const CPEResource::_find_res* level : {&type, &name, &language}) {
        if (!resources.FindResource(*level, &entryVa, directory)) return 0;
        if (!resources.ReadResourceDirectoryEntry(entryVa, &entry)) return 0;
        directory = root + (entry.OffsetToData & ~kHighBit);
    }
    IMAGE_RESOURCE_DATA_ENTRY data;
    if (!resources.ReadResourceDataEntry(directory, &data)) return 0;
    *dataVa = exec->GetImageBase() + data.OffsetToData;
    *size = data.Size;
    return 1;
}

namespace {

// Walks one directory's entries; `visit` answers 1 to go on, 0 to stop (completed), -1 on failure.
template <class Visit>
int forEachEntry(CPEResource& resources, uint32_t directory, uint32_t& budget, Visit visit) {
    IMAGE_RESOURCE_DIRECTORY header;
    if (!resources.ReadResourceDirectory(directory, &header)) return -1;
    const uint32_t entries = uint32_t(header.NumberOfNamedEntries) + header.NumberOfIdEntries;
    for (uint32_t i = 0; i < entries; ++i) {
        if (budget == 0) return -1;
        --budget;
        IMAGE_RESOURCE_DIRECTORY_ENTRY entry;
        if (!resources.ReadResourceDirectoryEntry(directory + 16 + 8 * i, &entry)) return -1;
        const int r = visit(entry);
        if (r <= 0) return r;
    }
    return 1;
}

}  // namespace

int EnumRes(IExecExport* exec, uint32_t* dataVa, uint32_t* size, CResEnumCallback* callback) {
    if (!callback || !dataVa || !size) return 0;
    CPEResource resources;
    if (!resources.Init(exec) || resources.GetRootDirVA() == 0) return 0;
    const uint32_t root = resources.GetRootDirVA();
    const uint32_t imageBase = exec->GetImageBase();
    // Every level is followed as a directory, so a damaged tree can make each entry count
    // many times over; the budget bounds the whole walk.
    uint32_t budget = kMaxEntriesWalked;
    const int r = forEachEntry(resources, root, budget, [&](const IMAGE_RESOURCE_DIRECTORY_ENTRY& type) {
        return forEachEntry(resources, root + (type.OffsetToData & ~kHighBit), budget,
                            [&](const IMAGE_RESOURCE_DIRECTORY_ENTRY& name) {
            return forEachEntry(resources, root + (name.OffsetToData & ~kHighBit), budget,
                                [&](const IMAGE_RESOURCE_DIRECTORY_ENTRY& language) {
                IMAGE_RESOURCE_DATA_ENTRY data;
                if (!resources.ReadResourceDataEntry(root + (language.OffsetToData & ~kHighBit), &data)) return -1;
                *dataVa = imageBase + data.OffsetToData;
                *size = data.Size;
                return callback->OnResource(*dataVa, *size, dataVa) ? 1 : 0;
            });
        });
    });
    return r < 0 ? 0 : 1;
}
