// Fuzz targets for the PE readers of module/toolkit.
#include <cstring>

#include "fuzz/file_input.h"
#include "fuzz/fuzz_targets.h"
#include "host/emulator/emulator.h"
#include "host/pe/pe_archive.h"
#include "module/toolkit/import_reader.h"
#include "module/toolkit/interface_ptr.h"
#include "module/toolkit/pe_header.h"
#include "module/toolkit/pe_resource.h"
#include "sdk/identifiers.h"

namespace fuzz {
namespace {

// Touches every record the reader filled so that a short allocation shows up under ASan.
template <class Reader>
void readAll(Reader& reader) {
    if (!reader.Initialize()) return;
    volatile uint32_t sum = reader.peOffset + reader.fileHeader.NumberOfSections +
                            reader.optionalHeader.AddressOfEntryPoint;
    if (reader.sections)
        for (uint32_t i = 0; i < reader.sectionCount; ++i) sum = sum + reader.sections[i].PointerToRawData;
    if (reader.dataDirectories)
        for (uint32_t i = 0; i < pe::kDataDirectoryCount; ++i) sum = sum + reader.dataDirectories[i].Size;
    (void)sum;
    reader.Dump();
}

// The host PE archive opened over the input, or null when the host refuses the file.
remedy::InterfacePtr<IQEArchive> openPeArchive(const FileInput& input) {
    remedy::InterfacePtr<IQEArchive> archive;
    if (host::createPeArchive(nullptr, qe::IID_IQEArchive, archive.putVoid()) != QE_OK) return {};
    if (archive->Open(input.archive()) != QE_OK) return {};
    return archive;
}

class CountingCallback : public CResEnumCallback {
public:
    int OnResource(uint32_t, uint32_t, uint32_t*) override { return ++calls < 64 ? 0 : 1; }
    int calls = 0;
};

}  // namespace

int peHeaderExec(const uint8_t* data, size_t size) {
    FileInput input(data, size);
    std::unique_ptr<host::Emulator> emulator = host::Emulator::create(input.file());
    if (!emulator) return 0;
    CPEHeander reader(emulator.get());
    readAll(reader);
    return 0;
}

int peHeaderStream(const uint8_t* data, size_t size) {
    FileInput input(data, size);
    CPEHeander2 reader(input.unknown());
    readAll(reader);
    return 0;
}

int peResources(const uint8_t* data, size_t size) {
    FileInput input(data, size);
    remedy::InterfacePtr<IQEArchive> archive = openPeArchive(input);
    if (!archive) return 0;
    CResFinder finder;
    if (finder.Open(archive.get()) != QE_OK) return 0;
    finder.GetResourceRootRVA();
    uint32_t count = 0;
    if (finder.GetDataEntriesList(&count) != QE_OK) return 0;
    wchar_t text[128];
    for (uint32_t i = 0; i < count && i < 256; ++i) {
        CResFinder::_RES_DATA entry{};
        if (finder.GetResourceData(i, &entry) != QE_OK) continue;
        finder.GetEntryName(entry.entry, text, 128);
        finder.GetResourceDataPath(entry, text, 128);
        finder.GetResourceDataPath(entry, text, 4);  // a buffer too short for most paths
    }
    IMAGE_RESOURCE_DATA_ENTRY found{};
    for (uint32_t t = 0; t < 3; ++t) finder.GetResourceDataByLayerIndex(t, 0, 0, &found);
    return 0;
}

int peResourcesExec(const uint8_t* data, size_t size) {
    FileInput input(data, size);
    std::unique_ptr<host::Emulator> emulator = host::Emulator::create(input.file());
    if (!emulator) return 0;
    static const char16_t kName[] = u"DATA";
    const CPEResource::_find_res anyKind{3, 0, 0, kName, 4};
    const CPEResource::_find_res byId10{3, 1, 10, nullptr, 0};
    const CPEResource::_find_res byId1{3, 1, 1, nullptr, 0};
    uint32_t va = 0, length = 0;
    FindRes(emulator.get(), byId10, anyKind, byId1, &va, &length);
    FindRes(emulator.get(), anyKind, byId1, byId1, &va, &length);
    CountingCallback callback;
    EnumRes(emulator.get(), &va, &length, &callback);
    return 0;
}

int peImports(const uint8_t* data, size_t size) {
    FileInput input(data, size);
    remedy::InterfacePtr<IQEArchive> archive = openPeArchive(input);
    if (!archive) return 0;
    CImportedApis imports;
    if (imports.Open(archive.get()) != QE_OK) return 0;
    CImportedApis::_IMPORT_ITEM item{};
    // A bound on the walk of its own: the reader must end by itself long before.
    for (int i = 0; i < 100000; ++i) {
        if (imports.FetchImportsApi(&item, i == 0) != QE_OK) break;
        // Names must come back terminated inside their buffers.
        if (!std::memchr(item.module, 0, sizeof item.module) || !std::memchr(item.function, 0, sizeof item.function))
            __builtin_trap();
    }
    return 0;
}

}  // namespace fuzz
