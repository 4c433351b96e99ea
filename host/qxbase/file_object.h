// The host's file object: one node of the object tree handed to the module for each file.
// It answers the archive, stream, property and path interfaces over one byte store, so the
// module may ask any of them from either the archive or the stream it got (both are this object).
//
// The bytes live in memory. A file object loaded from a path is a private copy of the file: it
// remembers the path and what the file looked like on disk, and never writes the file itself; the
// host commits a repaired copy atomically (see host/repair.h). A large file is mapped read-only
// instead of copied (host/qxbase/mapped_file.h); its first change copies it into memory.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "host/qxbase/mapped_file.h"
#include "sdk/file_interfaces.h"

struct stat;

namespace host {

// The kinds of stream operation a fault plan can make fail (see FileObject::failNth).
enum class StreamOp : uint8_t { Read, Write, Seek, SetSize, Remove };
constexpr size_t kStreamOpKinds = 5;

// What a file on disk looked like when it was read, so that a later commit can tell whether
// someone changed it in between and can give the replacement the same permissions.

struct DiskIdentity {
    uint64_t device = 0;
    uint64_t inode = 0;
    uint64_t size = 0;
    int64_t modifiedNs = 0;
    int64_t changedNs = 0;  // ctime: no one can set it back, so an edit with its mtime restored still shows
    uint32_t mode = 0;  // permission bits and file type
    uint32_t owner = 0;
    uint32_t group = 0;

    // What fstat says of a file.
    static DiskIdentity of(const struct stat& st);
    // The same file with the same contents, as far as its size and times tell.
    bool sameContentsAs(const DiskIdentity& other) const {
        return device == other.device && inode == other.inode && size == other.size &&
               modifiedNs == other.modifiedNs && changedNs == other.changedNs;
    }
};

// Why a file cut short while its bytes were mapped has no verdict and no repair.
inline constexpr const char* kShrankWhileScanned = "the file shrank while it was scanned";
// Why a mapped file written to by another process while it was scanned has no verdict.
inline constexpr const char* kChangedWhileScanned = "the file changed while it was scanned";

// A file object's bytes, read-only: valid until they next change (or the object ends).
struct ByteView : std::span<const uint8_t> {
    using const_iterator = iterator;  // read as a container by test printers
    using std::span<const uint8_t>::span;
    ByteView(std::span<const uint8_t> bytes) : std::span<const uint8_t>(bytes) {}
    friend bool operator==(ByteView a, ByteView b) { return std::ranges::equal(a, b); }
};

class FileObject final : public IQEArchive,
                         public IQXArchive,
                         public IQEStream,
                         public IQXStream,
                         public IQEProperty,
                         public IQEPropertyEx,
                         public IQxHandleFile {
public:
    // New objects start with one reference, owned by the caller.
    static FileObject* fromBytes(std::vector<uint8_t> bytes, std::string path = {});
    // Reads a regular file into a new object. Null with *error set when the file cannot be
    // opened or read, is not a regular file, or is larger than maxBytes (at most kMaxSize);
    // with followLinks false, also when the path itself is a symbolic link.
    static FileObject* fromFile(const std::string& path, std::string* error, bool followLinks = true,
                                uint64_t maxBytes = kMaxSize);
    // Reads the regular file open on `fd` (from offset 0; the descriptor stays the caller's) into a
    // new object named `path`, recording what the descriptor's file looked like. Fails as fromFile.
    // From kMinMappedSize bytes on, the file is mapped instead of copied (copied after all when it
    // cannot be mapped). `status`: the descriptor's fstat, when the caller has just taken it.
    static FileObject* fromDescriptor(int fd, const std::string& path, std::string* error,
                                      uint64_t maxBytes = kMaxSize, const struct stat* status = nullptr);
    // Frees the store this thread keeps for the next file it reads (see fromFile), so a
    // thread that waits or stops holds no file-sized memory.
    static void releaseSpareBytes();
    // Takes this thread's store, and gives a thread one (its own is freed first): a scan slot
    // that threads take in turn carries the store from one to the next.
    static std::vector<uint8_t> takeSpareBytes();
    static void keepSpareBytes(std::vector<uint8_t> bytes);

    // --- host side ---
    ByteView bytes() const { return mapped_.mapped() ? ByteView(mapped_.bytes()) : ByteView(bytes_); }
    // For changing the bytes: the watchers hear of it first, then mapped bytes are copied into
    // memory (std::bad_alloc when they do not fit).
    std::vector<uint8_t>& mutableBytes();
    // The same for code that must not throw (the emulator's file services, called from the
    // module): null when mapped bytes do not fit in memory, counted as a storage failure.
    std::vector<uint8_t>* writableBytes();
    // True while the bytes are the file's pages mapped read-only.
    bool mapped() const { return mapped_.mapped(); }
    // Makes mapped bytes a private copy in memory (the mapping ends), so that no other
    // process's write reaches them; watchers are not told (the bytes stay the same). False when
    // memory runs out.
    bool copyIntoMemory() { return ownBytes(); }
    // True when the bytes were mapped and another process cut the file short while they were:
    // what lay past its new end read as zeros, so the bytes are not the file's and give no
    // verdict and no repair. Stays true after the bytes are copied into memory.
    bool shrankWhileMapped() const { return mapped_.truncated(); }
    // Something that reads the bytes lazily (an emulator filling its image from them) and must
    // take what it still needs before they change: told before every change, through the
    // stream or mutableBytes. A watcher unwatches before it ends.
    class BytesWatcher {
    public:
        virtual void beforeBytesChange() = 0;

    protected:
        ~BytesWatcher() = default;
    };
    void watchBytes(BytesWatcher* watcher);
    void unwatchBytes(BytesWatcher* watcher);
    const std::string& path() const { return path_; }
    void setPath(std::string path);
    // A wide path; the narrow path becomes its multibyte form in the current locale.
    void setWidePath(std::wstring path);
    const std::wstring& widePath() const { return widePath_; }
    // Set for objects read with fromFile.
    const DiskIdentity* diskIdentity() const { return hasDiskIdentity_ ? &diskIdentity_ : nullptr; }
    bool removed() const { return removed_; }
    void clearRemoved() { removed_ = false; }
    // A packer layer: this object is the unpacked image of `parent` (reference kept). False, and
    // nothing changed, when the link would make a loop.
    bool setParent(FileObject* parent);
    FileObject* parent() const { return parent_; }
    void setFormat(uint32_t format);
    uint32_t format() const;  // PID_File_CurrentFormat, or FORMAT_UNKNOWN when absent
    // Typed property helpers for the host (the module uses IQEProperty).
    void setIntProperty(const GUID& id, uint16_t tag, int32_t value);
    bool getIntProperty(const GUID& id, int32_t* value, uint16_t* tag = nullptr) const;
    bool getStringProperty(const GUID& id, std::string* value) const;  // tag 30 or 31, as UTF-8/locale bytes
    // Makes IQXStream::Prepare fail (the failing preparation path of packer parents).
    void setPrepareFails(bool fails) { prepareFails_ = fails; }
    // GetPath hands out the narrow path (kind 0) unless wide paths are asked for.
    void setWidePaths(bool wide) { widePaths_ = wide; }
    uint32_t refCount() const { return refs_.load(); }

    // Fault injection, for tests of what a repair does when the storage under it fails: the
    // nth call (from 1) of one kind of operation, counted from this call on, fails as a disk
    // would refuse it, and only that call. 0 ends the plan. The kinds are counted over the
    // stream interfaces and the emulator's file operations alike; a reader that only looks
    // at the bytes (the program loader) is not counted.
    void failNth(StreamOp op, uint64_t nth);
    // Calls of `op` since the last failNth (or since the object was made).
    uint64_t streamCalls(StreamOp op) const { return calls_[size_t(op)]; }
    // Counts one call of `op`; true when the plan makes this one fail. For the host's own
    // file operations that work on the bytes directly.
    bool streamCallFails(StreamOp op);
    // Storage failures so far: calls the plan made fail and sizes the memory could not hold.
    // The host compares it around a kill: a kill that met one and still reports success is
    // not believed (see Engines::kill).
    uint64_t storageFailures() const { return storageFailures_; }

    // --- IUnknown ---
    QRESULT QueryInterface(const GUID& iid, void** out) override;
    uint32_t AddRef() override;
    uint32_t Release() override;

    // --- IQEArchive / IQXArchive ---
    QRESULT Open(IUnknown* stream) override;
    QRESULT Close() override;
    QRESULT GetStream(IQEStream** out) override;
    QRESULT GetParent(IQXArchive** out) override;
    QRESULT SetFormat(uint32_t format) override;
    QRESULT GetName(QEPATHRECORD* out) override;
    QRESULT GetFormat(uint32_t* format) override;

    // --- IQEStream / IQXStream ---
    QRESULT Read(void* buffer, uint32_t length, uint32_t* done) override;
    QRESULT Write(const void* buffer, uint32_t length, uint32_t* done) override;
    QRESULT Flush() override;
    QRESULT Seek(int64_t offset, uint32_t origin, uint64_t* newPosition) override;
    QRESULT Tell(uint64_t* position) override;
    QRESULT GetSize(uint32_t* low, uint32_t* high) override;
    QRESULT SetSize(uint32_t low, uint32_t high) override;
    QRESULT SetAccess(uint32_t flags, uint32_t reserved) override;
    QRESULT Remove() override;
    QRESULT GetParentArchive(IQEArchive** out) override;
    QRESULT Prepare(uint32_t flags) override;
    QRESULT Seek(int64_t offset, uint32_t origin) override;
    QRESULT GetSize(uint64_t* size) override;
    QRESULT SetSize(uint64_t size) override;

    // --- IQEProperty / IQEPropertyEx ---
    QRESULT SetProperty(const GUID& id, const QEPROPVALUE* value) override;
    QRESULT GetProperty(const GUID& id, const QEPROPVALUE** value) override;
    QRESULT DeleteProperty(const GUID& id) override;
    QRESULT HasProperty(const GUID& id) override;

    // --- IQxHandleFile ---
    QRESULT Open(IQXFileSystem* fileSystem, const QEPATHRECORD* path, uint32_t flags) override;
    QRESULT Rename(const QEPATHRECORD* newName) override;
    QRESULT GetPath(QEPATHRECORD* out) override;

    // Largest size a stream may take (the 32-bit view of the module cannot address more).
    static constexpr uint64_t kMaxSize = 0xFFFFFFFFull;
    // Files from this size on are mapped rather than copied. Measured with bench/run_bench.py:
    // smaller files are read faster than mapped, and every mapping ended with two workers
    // interrupts the other core to flush its address translations; 256 KiB did best over both
    // corpora with one and two workers.
    static constexpr uint64_t kMinMappedSize = 256u << 10;

    // The PE model's interfaces (IQEPEArchive, IQEPERecordTable, IQEPESectionTable) asked of a
    // file object come from a PE archive the host opens on the file's current bytes; the host
    // installs the creator (host::installPeModel). Without one, or for a file that is no PE,
    // the query fails.
    using PeViewCreator = QRESULT (*)(IUnknown* file, const GUID& iid, void** out);
    static void setPeViewCreator(PeViewCreator creator);

private:
    FileObject(std::vector<uint8_t> bytes, std::string path);
    ~FileObject();

    struct StoredProperty {
        QEPROPVALUE value{};
        std::string narrow;
        std::wstring wide;
    };
    struct GuidLess {
        bool operator()(const GUID& a, const GUID& b) const;
    };

    QRESULT resize(uint64_t size);
    // Copies mapped bytes into bytes_ and ends the mapping; false when memory runs out.
    bool ownBytes();

    std::atomic<uint32_t> refs_{1};
    std::vector<uint8_t> bytes_;  // the bytes, unless they are mapped
    MappedFile mapped_;
    std::vector<BytesWatcher*> watchers_;
    void beforeBytesChange();
    uint64_t position_ = 0;
    std::string path_;
    std::wstring widePath_;
    DiskIdentity diskIdentity_;
    bool hasDiskIdentity_ = false;
    bool removed_ = false;
    bool prepareFails_ = false;
    bool widePaths_ = false;
    uint32_t accessFlags_ = 0;
    FileObject* parent_ = nullptr;
    std::map<GUID, StoredProperty, GuidLess> properties_;
    uint64_t calls_[kStreamOpKinds] = {};
    StreamOp failingOp_ = StreamOp::Read;
    uint64_t failingCall_ = 0;  // 0: nothing fails
    uint64_t storageFailures_ = 0;
};

}  // namespace host
