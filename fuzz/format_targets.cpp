// Fuzz targets for the document and media readers of module/formats.
#include <algorithm>
#include <vector>

#include "fuzz/file_input.h"
#include "fuzz/fuzz_targets.h"
#include "module/formats/lzh_unpacker.h"
#include "module/formats/media_objects.h"
#include "module/formats/ole_file.h"
#include "module/formats/ole_storage.h"
#include "module/formats/string_dump.h"

namespace fuzz {
namespace {

constexpr uint32_t kMaxStreamsVisited = 64;
constexpr uint32_t kMaxStreamRead = 1u << 16;

}  // namespace

int oleReader(const uint8_t* data, size_t size) {
    FileInput input(data, size);
    {
        scanex::COleFile ole;
        if (ole.OpenOleFile(input.unknown())) {
            std::vector<uint8_t> buffer(kMaxStreamRead);
            const uint32_t count = std::min(ole.GetDirEntryNum(), kMaxStreamsVisited);
            for (uint32_t sid = 0; sid < count; ++sid) {
                ole.GetDirEntry(sid);
                delete[] ole.GetStreamName(sid);  // the caller owns the name
                ole.GetChildSID(sid);
                ole.GetParantSID(sid);
                ole.GetSiblingSID(sid);
                const uint32_t length = std::min(ole.GetStreamLen(sid), kMaxStreamRead);
                ole.ReadStream(buffer.data(), sid, 0, length);
                ole.ReadStream(buffer.data(), sid, length / 2, 100);
            }
            ole.GetSID(0, "WordDocument");
            ole.GetSID(0, "\x01" "CompObj");
            ole.ReadSect(buffer.data(), 0);
            ole.ReadMinSect(buffer.data(), 0);
        }
    }
    OLESSDataFile storage(input.stream());
    if (storage.valid) {
        for (const OLESS_DIRECTORY_ENTRY_EX& entry : storage.entries) {
            storage.GetSectorOffset(entry.startSector);
            storage.GetMiniSectorOffset(entry.startSector, storage.entries.empty() ? 0 : storage.entries[0].startSector);
        }
    }
    return 0;
}

int oleEditor(const uint8_t* data, size_t size) {
    FileInput input(data, size);
    scanex::COleFile ole;
    if (!ole.OpenOleFile(input.unknown())) return 0;
    static const uint8_t kPatch[600] = {0x41};
    const uint32_t count = std::min(ole.GetDirEntryNum(), kMaxStreamsVisited);
    for (uint32_t sid = 1; sid < count; ++sid) {
        const uint32_t length = ole.GetStreamLen(sid);
        ole.WriteStream(kPatch, sid, 0, std::min<uint32_t>(length, sizeof kPatch));
        ole.WriteStream(kPatch, sid, length > 10 ? length - 10 : 0, 20);  // across the end
        ole.SetStreamLen(sid, length / 2);
        ole.WriteDirEntry(sid);
    }
    if (count > 1) ole.Remove(count - 1);
    std::vector<uint8_t> sector(4096);
    ole.ReadSect(sector.data(), 1);
    ole.WriteSect(sector.data(), 1);
    ole.WriteMinSect(sector.data(), 0);
    // The edited file must still open or be refused cleanly.
    scanex::COleFile again;
    again.OpenOleFile(input.unknown());
    return 0;
}

int lzhUnpacker(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    // The declared size is kept below 1 MiB so one input stays quick; the unpacker must stop
    // at the end of the packed bytes whatever it is told.
    const int declared = int(data[0] | data[1] << 8 | (data[2] & 0x0F) << 16);
    FileInput source(data + 3, size - 3);
    FileInput destination(nullptr, 0);
    CLZHUnpacker unpacker;
    unpacker.LZHUnpack(declared, source.unknown(), destination.unknown());
    return 0;
}

int stringDump(const uint8_t* data, size_t size) {
    CScanStrDump scanner;
    scanner.ScanChunk(data, size);
    std::vector<tagStrScanMethod> definitions(CScanStrDump::g_VirusStr.begin(), CScanStrDump::g_VirusStr.end());
    scanner.SerachCrcInDef_crc(definitions);
    // A second chunk after the first, as a stream scan delivers them.
    scanner.ScanChunk(data + size / 2, size - size / 2);
    return 0;
}

int mediaReaders(const uint8_t* data, size_t size) {
    FileInput input(data, size);
    ASF_HEADER_OBJ header{};
    if (ReadHeaderObj(input.unknown(), &header)) {
        uint64_t offset = sizeof header;
        for (uint32_t i = 0; i < 256 && offset < size; ++i) {
            ASF_OBJ_GUID_AND_SIZE object{};
            if (!ReadObjGuidAndSize(input.unknown(), int(offset), &object) || object.objectSize < sizeof object) break;
            offset += object.objectSize;
        }
    }
    uint64_t offset = 0;
    for (uint32_t i = 0; i < 256 && offset < size; ++i) {
        QUICKTIME_ATOM atom{};
        if (!QuickTimeReadAtom(input.unknown(), int(offset), &atom) || atom.size < sizeof atom) break;
        offset += atom.size;
    }
    ASF_OBJ_GUID_AND_SIZE object{};
    QUICKTIME_ATOM atom{};
    ReadObjGuidAndSize(input.unknown(), -1, &object);  // offsets the caller got wrong
    QuickTimeReadAtom(input.unknown(), int(size) - 4, &atom);
    return 0;
}

}  // namespace fuzz
