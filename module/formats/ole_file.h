// scanex::COleFile: an in-place editor for OLE compound files with 512-byte sectors. It follows
// the real allocation chains, looks entries up in the directory tree, reads and overwrites
// stream contents, shortens streams and unlinks directory entries.
//
// It never allocates sectors and never grows the file: every write lands on bytes that already
// belong to the stream and lie inside the file. Failures are reported by results only
// (0, 0xFFFFFFFF or a short count); nothing is repaired.
//
// Only the low 32 bits of an entry's size (entry offset 120) are read or written; streams of
// 4 GiB or more are outside this editor's range.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "sdk/file_interfaces.h"

namespace scanex {

class COleFile {
public:
    static constexpr uint32_t kNoSid = 0xFFFFFFFF;

    COleFile();
    virtual ~COleFile();
    COleFile(const COleFile&) = delete;
    COleFile& operator=(const COleFile&) = delete;

    // Opens the compound file behind `stream` (anything answering IQEStream). 1 when opened,
    // 0 otherwise; a failed open leaves the object empty and reusable.
    uint32_t OpenOleFile(IUnknown* stream);
    // Frees the tables and the directory, zeroes the lengths and the entry count.
    void clear();

    uint32_t GetDirEntryNum() const { return m_entryCount; }
    // The held 128-byte directory entry (changes are stored by WriteDirEntry); null when out
    // of range.
    uint8_t* GetDirEntry(uint32_t sid);
    uint32_t GetStreamLen(uint32_t sid) const;
    // The entry's name in the C library's multibyte encoding, as a new array (delete[]);
    // null when out of range.
    char* GetStreamName(uint32_t sid) const;
    uint32_t GetChildSID(uint32_t sid) const;
    uint32_t GetParantSID(uint32_t sid) const;
    // The next SID in the parent's child tree, breadth first.
    uint32_t GetSiblingSID(uint32_t sid) const;
    // The child of `parent` whose UTF-16LE name is exactly the `length` characters at `name`.
    uint32_t GetSID(uint32_t parent, const uint8_t* name, uint32_t length) const;
    // The child of `parent` whose name's code units have the low bytes of `name` (exact case).
    uint32_t GetSID(uint32_t parent, const char* name) const;

    // Bytes read from the stream's chain (not clipped at its size field).
    uint32_t ReadStream(void* destination, uint32_t sid, uint32_t offset, uint32_t length);
    // Bytes written; nothing when offset + length passes the stream's size.
    uint32_t WriteStream(const void* source, uint32_t sid, uint32_t offset, uint32_t length);
    // Shortens a stream without moving it across the 4096-byte boundary. 1 or 0.
    uint32_t SetStreamLen(uint32_t sid, uint32_t length);
    // Zeroes a stream's content and unlinks its entry from the directory tree. 1 or 0.
    uint32_t Remove(uint32_t sid);

    uint32_t ReadSect(void* buffer, uint32_t sector);
    uint32_t WriteSect(const void* buffer, uint32_t sector);
    uint32_t ReadMinSect(void* buffer, uint32_t miniSector);
    uint32_t WriteMinSect(const void* buffer, uint32_t miniSector);
    // Stores the held entry back into its directory sector. 1 or 0.
    uint32_t WriteDirEntry(uint32_t sid);

private:
    bool validSid(uint32_t sid) const { return sid < m_entryCount; }
    uint32_t entry32(uint32_t sid, uint32_t field) const;
    void setEntry32(uint32_t sid, uint32_t field, uint32_t value);
    bool readFatSector(uint32_t sector, uint32_t& fatSectorsRead, uint32_t fatSectorsWanted);
    bool loadMiniFat(const uint8_t* header);
    bool loadDirectory(const uint8_t* header);
    bool miniStreamSector(uint32_t miniSector, uint64_t* fileOffset) const;
    uint32_t transfer(uint8_t* data, uint32_t sid, uint32_t offset, uint32_t length, bool write);
    std::vector<uint32_t> childTreeOrder(uint32_t parent) const;
    uint32_t findSid(uint32_t parent, const uint8_t* name, uint32_t length, bool lowBytesOnly) const;
    bool currentSize(uint64_t* size) const;

    std::unique_ptr<uint32_t[]> m_fat;
    std::unique_ptr<uint32_t[]> m_miniFat;
    uint32_t m_fatLength = 0;
    uint32_t m_miniFatLength = 0;
    std::unique_ptr<uint8_t[]> m_directory;
    uint32_t m_entryCount = 0;
    uint32_t m_firstDirectorySector = 0;
    uint64_t m_fileSize = 0;
    IQEStream* m_stream = nullptr;
    uint32_t m_writable = 1;
    // Sectors of the mini stream (the root entry's chain), found once when the file opens.
    std::vector<uint32_t> m_miniStreamSectors;
};

}  // namespace scanex
