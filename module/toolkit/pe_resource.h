// Readers of the PE resource tree (type / name / language directories):
// - CResFinder reads it from the file through the host's PE archive, lists every data entry
//   and names each by its path ("409@65@A": language, name, type);
// - CPEResource with FindRes and EnumRes reads it from the emulator's loaded image.
#pragma once

#include <cstdint>
#include <deque>
#include <unordered_map>

#include "module/toolkit/interface_ptr.h"
#include "module/toolkit/pe_header.h"
#include "sdk/exec_export.h"
#include "sdk/host_services.h"

// Resource records as the published PE format lays them out, in host order.
struct IMAGE_RESOURCE_DIRECTORY {
    uint32_t Characteristics;
    uint32_t TimeDateStamp;
    uint16_t MajorVersion;
    uint16_t MinorVersion;
    uint16_t NumberOfNamedEntries;
    uint16_t NumberOfIdEntries;
};
struct IMAGE_RESOURCE_DIRECTORY_ENTRY {
    uint32_t Name;          // high bit: offset of a name string, else the ID
    uint32_t OffsetToData;  // high bit: offset of a subdirectory, else of a data entry
};
struct IMAGE_RESOURCE_DATA_ENTRY {
    uint32_t OffsetToData;  // RVA of the resource's bytes
    uint32_t Size;
    uint32_t CodePage;
    uint32_t Reserved;
};
static_assert(sizeof(IMAGE_RESOURCE_DIRECTORY) == 16);
static_assert(sizeof(IMAGE_RESOURCE_DIRECTORY_ENTRY) == 8);
static_assert(sizeof(IMAGE_RESOURCE_DATA_ENTRY) == 16);

class CResFinder {
public:
    // A directory met during the walk.
    struct _RES_DIR {
        IMAGE_RESOURCE_DIRECTORY_ENTRY entry;  // the entry that leads to it (zero for the root)
        uint32_t parentRva;
        bool visited;
        uint16_t namedEntries;
        uint16_t idEntries;
    };
    // A data entry found by the walk.
    struct _RES_DATA {
        uint32_t directoryRva;                 // the directory that holds it
        IMAGE_RESOURCE_DIRECTORY_ENTRY entry;  // the entry that leads to it
        IMAGE_RESOURCE_DATA_ENTRY data;
    };

    CResFinder() = default;
    CResFinder(const CResFinder&) = delete;
    CResFinder& operator=(const CResFinder&) = delete;
    ~CResFinder() { Close(); }

    // 0; QE_E_INVALIDARG for a null archive or one without IQEPEArchive / IQEPERecordTable;
    // QE_E_UNEXPECTED when already open.
    QRESULT Open(IQEArchive* archive);
    void Close();
    // The resource directory's RVA (data directory 2); 0 when there is none or it cannot be read.
    uint32_t GetResourceRootRVA();
    // Walks the whole tree breadth-first (each directory once, so a tree that loops ends) and
    // lists its data entries. QE_E_FAIL when there is no resource directory or the tree is
    // larger than any real one; a failing fetch's host result otherwise.
    QRESULT GetDataEntriesList(uint32_t* count);
    // Entry `index` of the list GetDataEntriesList made.
    QRESULT GetResourceData(uint32_t index, _RES_DATA* out);
    // The data entry reached through the typeIndex-th, nameIndex-th and languageIndex-th
    // entries (1-based) of the three levels. QE_E_UNEXPECTED for an index of 0 or beyond a
    // directory's entries.
    QRESULT GetResourceDataByLayerIndex(uint32_t typeIndex, uint32_t nameIndex, uint32_t languageIndex,
                                        IMAGE_RESOURCE_DATA_ENTRY* out);
    // The entry's name (read from the file), or its ID in upper-case hexadecimal; cut to
    // capacity - 1 characters and terminated.
    QRESULT GetEntryName(const IMAGE_RESOURCE_DIRECTORY_ENTRY& entry, wchar_t* buffer, uint32_t capacity);
    // "language@name@type" for a listed data entry; cut to capacity - 1 and terminated.
    QRESULT GetResourceDataPath(const _RES_DATA& data, wchar_t* buffer, uint32_t capacity);

private:
    QRESULT rootRva(uint32_t* rva);
    QRESULT readDirectory(uint32_t rva, IMAGE_RESOURCE_DIRECTORY* out);
    QRESULT readEntry(uint32_t rva, IMAGE_RESOURCE_DIRECTORY_ENTRY* out);
    QRESULT readDataEntry(uint32_t rva, IMAGE_RESOURCE_DATA_ENTRY* out);

    remedy::InterfacePtr<IQEPEArchive> archive_;
    remedy::InterfacePtr<IQEPERecordTable> records_;
    remedy::InterfacePtr<IQEStream> stream_;
    std::unordered_map<uint32_t, _RES_DIR> directories_;
    std::deque<_RES_DATA> dataEntries_;
};

// The resource tree of the emulator's loaded image, read at virtual addresses.
class CPEResource {
public:
    // Selects entries of one directory level.
    struct _find_res {
        uint32_t kinds;         // bit 0: entries leading to a subdirectory; bit 1: to a data entry
        uint32_t byId;          // non-zero: match `id`; zero: match `name`
        uint16_t id;
        const void* name;       // UTF-16LE bytes, `nameLength` characters
        uint16_t nameLength;
    };

    CPEResource() = default;
    CPEResource(const CPEResource&) = delete;
    CPEResource& operator=(const CPEResource&) = delete;

    // Reads the headers through `exec`; 1 when that worked and the file has a resource
    // directory (its root then lies at image base + resource RVA), else 0.
    int Init(IExecExport* exec);
    uint32_t GetRootDirVA() const { return rootVa_; }
    // 1 when the 16, 8 or 16 bytes at `va` were read from emulated memory.
    int ReadResourceDirectory(uint32_t va, IMAGE_RESOURCE_DIRECTORY* out);
    int ReadResourceDirectoryEntry(uint32_t va, IMAGE_RESOURCE_DIRECTORY_ENTRY* out);
    int ReadResourceDataEntry(uint32_t va, IMAGE_RESOURCE_DATA_ENTRY* out);
    // The first entry of the directory at `directoryVa` (0: the root) that `selector` accepts:
    // 1 and its VA, or 0. Names compare with 'A'..'Z' folded on both sides.
    int FindResource(const _find_res& selector, uint32_t* entryVa, uint32_t directoryVa);

private:
    bool nameMatches(uint32_t nameField, const _find_res& selector);

    IExecExport* exec_ = nullptr;
    CPEHeander headers_;
    uint32_t rootVa_ = 0;
};

// Called by EnumRes for every resource; answers non-zero to go on, zero to stop.
class CResEnumCallback {
public:
    virtual int OnResource(uint32_t dataVa, uint32_t size, uint32_t* dataVaOut) = 0;

protected:
    ~CResEnumCallback() = default;
};

// Finds the resource by type, name and language: 1 with its data VA (image base + RVA) and
// size, or 0.
int FindRes(IExecExport* exec, const CPEResource::_find_res& type, const CPEResource::_find_res& name,
            const CPEResource::_find_res& language, uint32_t* dataVa, uint32_t* size);
// Visits every resource (all three levels followed as directories), storing each one's data VA
// and size in the out parameters before calling `callback`. 1 when the walk completed or the
// callback stopped it; 0 on a read failure, a null callback, or a tree larger than any real one.
int EnumRes(IExecExport* exec, uint32_t* dataVa, uint32_t* size, CResEnumCallback* callback);
