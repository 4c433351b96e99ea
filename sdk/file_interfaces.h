// Interfaces of the host's file objects: archive node, byte stream, properties, path.
// Slot numbers are the ABI; every operation returns a host result (0 success, negative failure)
// unless it says otherwise.
#pragma once

#include "sdk/property.h"
#include "sdk/unknown.h"

struct IQEStream;

// Seek origins of IQEStream::Seek and IQXStream::Seek.
enum : uint32_t { QE_SEEK_SET = 0, QE_SEEK_CUR = 1, QE_SEEK_END = 2 };

// The archive node handed to every Scan and Kill. A PE archive created through the
// object loader is opened on a stream with Open.
struct IQEArchive : IUnknown {
    virtual QRESULT Open(IUnknown* stream) = 0;          // 3: (PE archive) parse the stream's current bytes
    virtual QRESULT Close() = 0;                          // 4
    virtual QRESULT GetStream(IQEStream** out) = 0;       // 5: AddRef'd stream
};

struct IQXArchive : IUnknown {
    virtual QRESULT GetStream(IQEStream** out) = 0;       // 3
    virtual QRESULT GetParent(IQXArchive** out) = 0;      // 4: containing archive; fails at the top
    virtual QRESULT SetFormat(uint32_t format) = 0;       // 5
    virtual QRESULT GetName(QEPATHRECORD* out) = 0;       // 6
    virtual QRESULT GetFormat(uint32_t* format) = 0;      // 7: format code in the low 16 bits
};

struct IQEStream : IUnknown {
    virtual QRESULT Read(void* buffer, uint32_t length, uint32_t* done) = 0;         // 3: short at end
    virtual QRESULT Write(const void* buffer, uint32_t length, uint32_t* done) = 0;  // 4: extends
    virtual QRESULT Flush() = 0;                                                     // 5
    virtual QRESULT Seek(int64_t offset, uint32_t origin, uint64_t* newPosition) = 0;  // 6
    virtual QRESULT Tell(uint64_t* position) = 0;                                    // 7
    virtual QRESULT GetSize(uint32_t* low, uint32_t* high) = 0;                      // 8
    virtual QRESULT SetSize(uint32_t low, uint32_t high) = 0;                        // 9: truncates or extends
    virtual QRESULT SetAccess(uint32_t flags, uint32_t reserved) = 0;                // 10: 8 = rename pending
    QE_RESERVED_SLOT(11)
    QE_RESERVED_SLOT(12)
    QE_RESERVED_SLOT(13)
    virtual QRESULT Remove() = 0;  // 14: deletes the file behind the stream (deferred); 0 on success
};

// The 64-bit view of a stream, optional. Its Seek and GetSize are preferred when offered.
struct IQXStream : IUnknown {
    virtual QRESULT Read(void* buffer, uint32_t length, uint32_t* done) = 0;         // 3
    virtual QRESULT Write(const void* buffer, uint32_t length, uint32_t* done) = 0;  // 4
    virtual QRESULT GetParentArchive(IQEArchive** out) = 0;  // 5: containing archive; fails at the top
    virtual QRESULT Prepare(uint32_t flags) = 0;             // 6: make ready for writing (flags 0x300)
    virtual QRESULT GetName(QEPATHRECORD* out) = 0;          // 7: the file's name, if it has one
    virtual QRESULT Close() = 0;                             // 8
    QE_RESERVED_SLOT(9)
    QE_RESERVED_SLOT(10)
    QE_RESERVED_SLOT(11)
    QE_RESERVED_SLOT(12)
    QE_RESERVED_SLOT(13)
    QE_RESERVED_SLOT(14)
    QE_RESERVED_SLOT(15)
    QE_RESERVED_SLOT(16)
    QE_RESERVED_SLOT(17)
    QE_RESERVED_SLOT(18)
    QE_RESERVED_SLOT(19)
    virtual QRESULT Seek(int64_t offset, uint32_t origin) = 0;  // 20
    virtual QRESULT Tell(uint64_t* position) = 0;               // 21
    virtual QRESULT GetSize(uint64_t* size) = 0;                // 22
    virtual QRESULT SetSize(uint64_t size) = 0;                 // 23
};

struct IQXFileSystem;

// A file reached by path. GetPath's record stays valid until the interface is released.
struct IQxHandleFile : IUnknown {
    virtual QRESULT Open(IQXFileSystem* fileSystem, const QEPATHRECORD* path, uint32_t flags) = 0;  // 3
    virtual QRESULT Close() = 0;                                      // 4
    virtual QRESULT Rename(const QEPATHRECORD* newName) = 0;          // 5
    virtual QRESULT GetStream(IQEStream** out) = 0;                   // 6: the opened file's stream
    QE_RESERVED_SLOT(7)
    virtual QRESULT GetPath(QEPATHRECORD* out) = 0;                   // 8
};

// Flags of IQxHandleFile::Open.
enum : uint32_t { QE_OPEN_READ = 0x100, QE_OPEN_WRITE = 0x200 };

struct IQXFileSystem : IUnknown {
    // 3: opens a file by path; out answers IQEArchive and IQxHandleFile.
    virtual QRESULT OpenFile(const QEPATHRECORD* path, uint32_t flags, IUnknown** out) = 0;
};

// Properties keyed by 16-byte id. A value from GetProperty stays readable until the
// interface is released; SetProperty copies strings.
struct IQEProperty : IUnknown {
    virtual QRESULT SetProperty(const GUID& id, const QEPROPVALUE* value) = 0;   // 3
    virtual QRESULT GetProperty(const GUID& id, const QEPROPVALUE** value) = 0;  // 4: negative when absent
    virtual QRESULT DeleteProperty(const GUID& id) = 0;                          // 5
};

// Settings keyed by number (the engine configuration).
struct IQEProperty2 : IUnknown {
    virtual QRESULT SetProperty(uint32_t key, const QEPROPVALUE* value) = 0;   // 3
    virtual QRESULT GetProperty(uint32_t key, const QEPROPVALUE** value) = 0;  // 4
};

struct IQEPropertyEx : IUnknown {
    virtual QRESULT HasProperty(const GUID& id) = 0;  // 3: 0 when present, negative when absent
};

// The formats a file also is ("FormatList").
struct IQEFormatList : IUnknown {
    virtual QRESULT Find(uint32_t formatCode) = 0;  // 3: 0 when listed, negative otherwise
    virtual QRESULT Add(uint32_t formatCode) = 0;   // 4
};

// Engine configuration keys.
namespace qe {
constexpr uint32_t CONFIG_HEURISTICS = 131;  // non-zero switches the unknown-virus units on
}
