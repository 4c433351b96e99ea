#include "host/qxbase/file_object.h"

#include <algorithm>
#include <climits>
#include <clocale>
#include <cstdlib>
#include <cerrno>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "sdk/format_codes.h"
#include "sdk/identifiers.h"

namespace host {

namespace {

std::wstring widen(const std::string& s) {
    std::wstring out(s.size() + 1, L'\0');
    size_t n = std::mbstowcs(out.data(), s.c_str(), out.size());
    if (n == size_t(-1)) {  // not valid in the current locale: keep the bytes one to one
        out.clear();
        for (char c : s) out.push_back(wchar_t(static_cast<unsigned char>(c)));
        return out;
    }
    out.resize(n);
    return out;
}

std::string narrow(const wchar_t* s) {
    std::string out;
    char buf[MB_LEN_MAX];
    std::mbstate_t state{};
    for (; *s; ++s) {
        size_t n = std::wcrtomb(buf, *s, &state);
        if (n == size_t(-1)) {
            out.push_back('?');
            state = {};
        } else {
            out.append(buf, n);
        }
    }
    return out;
}

}  // namespace

bool FileObject::GuidLess::operator()(const GUID& a, const GUID& b) const {
    return std::memcmp(&a, &b, sizeof(GUID)) < 0;
}

FileObject* FileObject::fromBytes(std::vector<uint8_t> bytes, std::string path) {
    return new FileObject(std::move(bytes), std::move(path));
}

namespace {
// The byte store of the last file object this thread released, kept for the next file the
// thread reads: a scanner reads one file after another, and reading into memory that is
// already faulted in (and, up to its old length, not zero-filled again) costs a fraction of
// reading into fresh pages. A store is made with room for kMaxSpareBytes at once, so that a
// larger file than any before grows into the same pages instead of fresh ones (only the pages
// a file touches become resident). Larger files get stores of their own, freed as usual.
// A file object ended after the thread's own objects (one held by a static object) frees
// its store: the flag, trivially destructible, stays readable to the end.
constexpr size_t kMaxSpareBytes = 64u << 20;
thread_local bool spareGone = false;
struct SpareBytes {
    std::vector<uint8_t> bytes;
    ~SpareBytes() { spareGone = true; }
};
thread_local SpareBytes spare;
}  // namespace

void FileObject::releaseSpareBytes() {
    if (!spareGone) spare.bytes = {};
}

std::vector<uint8_t> FileObject::takeSpareBytes() {
    return spareGone ? std::vector<uint8_t>{} : std::exchange(spare.bytes, {});
}

void FileObject::keepSpareBytes(std::vector<uint8_t> bytes) {
    if (!spareGone) spare.bytes = std::move(bytes);
}

FileObject* FileObject::fromFile(const std::string& path, std::string* error, bool followLinks, uint64_t maxBytes) {
    // By default a symlink is followed: scanning through it reads its target, and the commit
    // refuses to replace anything that is not the file read here.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | (followLinks ? 0 : O_NOFOLLOW));
    if (fd < 0) {
        if (error) *error = !followLinks && errno == ELOOP ? "symbolic link not followed" : std::strerror(errno);
        return nullptr;
    }
    FileObject* file = fromDescriptor(fd, path, error, maxBytes);
    ::close(fd);
    return file;
}

DiskIdentity DiskIdentity::of(const struct stat& st) {
    const auto nanoseconds = [](const timespec& t) { return int64_t(t.tv_sec) * 1000000000 + t.tv_nsec; };
    return {uint64_t(st.st_dev),      uint64_t(st.st_ino),     uint64_t(st.st_size),
            nanoseconds(st.st_mtim), nanoseconds(st.st_ctim), uint32_t(st.st_mode),
            uint32_t(st.st_uid),      uint32_t(st.st_gid)};
}

FileObject* FileObject::fromDescriptor(int fd, const std::string& path, std::string* error, uint64_t maxBytes,
                                       const struct stat* status) {
    auto fail = [&](const std::string& why) -> FileObject* {
        if (error) *error = why;
        return nullptr;
    };
    struct stat st {};
    if (status) st = *status;
    else if (::fstat(fd, &st) != 0) return fail(std::strerror(errno));
    if (!S_ISREG(st.st_mode)) return fail("not a regular file");
    if (uint64_t(st.st_size) > kMaxSize) return fail("file larger than 4 GiB - 1 bytes");
    if (uint64_t(st.st_size) > maxBytes) return fail("file larger than the " + std::to_string(maxBytes) + " bytes allowed");
    // A large file is mapped: its pages are the page cache's, not a copy of them.
    MappedFile mapping;
    if (uint64_t(st.st_size) >= kMinMappedSize) mapping = MappedFile::map(fd, size_t(st.st_size));
    if (mapping.mapped()) {
        struct stat now {};
        if (::fstat(fd, &now) != 0) return fail(std::strerror(errno));
        if (now.st_size < st.st_size) return fail("file shrank while it was read");
        if (now.st_size > st.st_size) return fail("file grew while it was read");
        FileObject* file = new FileObject({}, path);
        file->mapped_ = std::move(mapping);
        file->diskIdentity_ = DiskIdentity::of(st);
        file->hasDiskIdentity_ = true;
        return file;
    }
    std::vector<uint8_t> bytes;
    if (!spareGone) bytes = std::exchange(spare.bytes, {});
    try {
        if (bytes.capacity() < uint64_t(st.st_size)) {
            bytes = {};  // too small: growing it would copy its old bytes
            if (uint64_t(st.st_size) <= kMaxSpareBytes) bytes.reserve(kMaxSpareBytes);
        }
        bytes.resize(size_t(st.st_size));
    } catch (const std::bad_alloc&) {
        return fail("out of memory");
    }
    size_t have = 0;
    while (have < bytes.size()) {
        ssize_t n = ::pread(fd, bytes.data() + have, bytes.size() - have, off_t(have));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return fail(std::strerror(errno));
        if (n == 0) return fail("file shrank while it was read");
        have += size_t(n);
    }
    uint8_t extra = 0;
    ssize_t more = ::pread(fd, &extra, 1, off_t(have));
    if (more > 0) return fail("file grew while it was read");
    FileObject* file = new FileObject(std::move(bytes), path);
    file->diskIdentity_ = DiskIdentity::of(st);
    file->hasDiskIdentity_ = true;
    return file;
}

FileObject::FileObject(std::vector<uint8_t> bytes, std::string path) : bytes_(std::move(bytes)) {
    setPath(std::move(path));
}

FileObject::~FileObject() {
    if (parent_) parent_->Release();
    if (!spareGone && bytes_.capacity() <= kMaxSpareBytes && bytes_.capacity() > spare.bytes.capacity())
        spare.bytes = std::move(bytes_);
}

std::vector<uint8_t>& FileObject::mutableBytes() {
    std::vector<uint8_t>* bytes = writableBytes();
    if (!bytes) throw std::bad_alloc();
    return *bytes;
}

std::vector<uint8_t>* FileObject::writableBytes() {
    beforeBytesChange();
    if (ownBytes()) return &bytes_;
    ++storageFailures_;
    return nullptr;
}

bool FileObject::ownBytes() {
    if (!mapped_.mapped()) return true;
    try {
        std::vector<uint8_t> copy;
        copy.reserve(mapped_.bytes().size());  // the only allocation: the pieces below fit
        mapped_.copyOutAndUnmap(copy);
        bytes_ = std::move(copy);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

void FileObject::watchBytes(BytesWatcher* watcher) {
    if (watcher && std::find(watchers_.begin(), watchers_.end(), watcher) == watchers_.end()) watchers_.push_back(watcher);
}

void FileObject::unwatchBytes(BytesWatcher* watcher) { std::erase(watchers_, watcher); }

void FileObject::beforeBytesChange() {
    for (BytesWatcher* watcher : watchers_) watcher->beforeBytesChange();
}

void FileObject::setPath(std::string path) {
    path_ = std::move(path);
    widePath_ = widen(path_);
}

void FileObject::setWidePath(std::wstring path) {
    path_ = narrow(path.c_str());
    widePath_ = std::move(path);
}

bool FileObject::setParent(FileObject* parent) {
    // A loop of parent links would keep every object in it alive forever.
    for (FileObject* p = parent; p; p = p->parent_)
        if (p == this) return false;
    if (parent) parent->AddRef();
    if (parent_) parent_->Release();
    parent_ = parent;
    return true;
}

void FileObject::setFormat(uint32_t format) { setIntProperty(qe::PID_File_CurrentFormat, qe::VT_INT, int32_t(format)); }

uint32_t FileObject::format() const {
    int32_t v = 0;
    return getIntProperty(qe::PID_File_CurrentFormat, &v) ? uint32_t(v) : qe::FORMAT_UNKNOWN;
}

void FileObject::setIntProperty(const GUID& id, uint16_t tag, int32_t value) {
    QEPROPVALUE v{};
    v.vt = tag;
    v.intVal = value;
    SetProperty(id, &v);
}

bool FileObject::getIntProperty(const GUID& id, int32_t* value, uint16_t* tag) const {
    auto it = properties_.find(id);
    if (it == properties_.end()) return false;
    const QEPROPVALUE& v = it->second.value;
    if (v.vt == qe::VT_LPSTR || v.vt == qe::VT_LPWSTR) return false;
    if (value) *value = v.intVal;
    if (tag) *tag = v.vt;
    return true;
}

bool FileObject::getStringProperty(const GUID& id, std::string* value) const {
    auto it = properties_.find(id);
    if (it == properties_.end()) return false;
    if (it->second.value.vt == qe::VT_LPSTR) {
        *value = it->second.narrow;
        return true;
    }
    if (it->second.value.vt == qe::VT_LPWSTR) {
        *value = narrow(it->second.wide.c_str());
        return true;
    }
    return false;
}

// ---------------------------------------------------------------- IUnknown

namespace {
std::atomic<FileObject::PeViewCreator> peViewCreator{nullptr};
}  // namespace

void FileObject::setPeViewCreator(PeViewCreator creator) { peViewCreator.store(creator); }

QRESULT FileObject::QueryInterface(const GUID& iid, void** out) {
    if (!out) return QE_E_INVALIDARG;
    if (iid == qe::IID_IQEPEArchive || iid == qe::IID_IQEPERecordTable || iid == qe::IID_IQEPESectionTable) {
        *out = nullptr;
        PeViewCreator creator = peViewCreator.load();
        return creator ? creator(static_cast<IQEArchive*>(this), iid, out) : QE_E_NOINTERFACE;
    }
    void* found = nullptr;
    if (iid == qe::IID_IUnknown || iid == qe::IID_IQEArchive) found = static_cast<IQEArchive*>(this);
    else if (iid == qe::IID_IQXArchive) found = static_cast<IQXArchive*>(this);
    else if (iid == qe::IID_IQEStream) found = static_cast<IQEStream*>(this);
    else if (iid == qe::IID_IQXStream) found = static_cast<IQXStream*>(this);
    else if (iid == qe::IID_IQEProperty) found = static_cast<IQEProperty*>(this);
    else if (iid == qe::IID_IQEPropertyEx) found = static_cast<IQEPropertyEx*>(this);
    else if (iid == qe::IID_IQxHandleFile) found = static_cast<IQxHandleFile*>(this);
    if (!found) return QE_E_NOINTERFACE;
    AddRef();
    *out = found;
    return QE_OK;
}

uint32_t FileObject::AddRef() { return refs_.fetch_add(1) + 1; }

uint32_t FileObject::Release() {
    uint32_t left = refs_.fetch_sub(1) - 1;
    if (left == 0) delete this;
    return left;
}

// ---------------------------------------------------------------- archive

QRESULT FileObject::Open(IUnknown*) { return QE_E_NOTIMPL; }  // only PE archives open on a stream
QRESULT FileObject::Close() { return QE_OK; }

QRESULT FileObject::GetStream(IQEStream** out) {
    if (!out) return QE_E_INVALIDARG;
    AddRef();
    *out = static_cast<IQEStream*>(this);
    return QE_OK;
}

QRESULT FileObject::GetParent(IQXArchive** out) {
    if (!out) return QE_E_INVALIDARG;
    *out = nullptr;
    if (!parent_) return QE_E_FAIL;
    parent_->AddRef();
    *out = static_cast<IQXArchive*>(parent_);
    return QE_OK;
}

QRESULT FileObject::SetFormat(uint32_t format) {
    setFormat(format);
    return QE_OK;
}

QRESULT FileObject::GetName(QEPATHRECORD* out) {
    if (!out) return QE_E_INVALIDARG;
    if (path_.empty()) return QE_E_FAIL;
    return GetPath(out);
}

QRESULT FileObject::GetFormat(uint32_t* format) {
    if (!format) return QE_E_INVALIDARG;
    int32_t v = 0;
    if (!getIntProperty(qe::PID_File_CurrentFormat, &v)) return QE_E_FAIL;
    *format = uint32_t(v);
    return QE_OK;
}

// ---------------------------------------------------------------- stream

void FileObject::failNth(StreamOp op, uint64_t nth) {
    for (uint64_t& count : calls_) count = 0;
    failingOp_ = op;
    failingCall_ = nth;
}

bool FileObject::streamCallFails(StreamOp op) {
    const uint64_t call = ++calls_[size_t(op)];
    const bool fails = failingCall_ != 0 && op == failingOp_ && call == failingCall_;
    storageFailures_ += fails;
    return fails;
}

QRESULT FileObject::Read(void* buffer, uint32_t length, uint32_t* done) {
    if (done) *done = 0;
    if (!buffer && length) return QE_E_INVALIDARG;
    if (streamCallFails(StreamOp::Read)) return QE_E_FAIL;
    const ByteView bytes = this->bytes();
    uint64_t avail = position_ < bytes.size() ? bytes.size() - position_ : 0;
    uint32_t n = uint32_t(std::min<uint64_t>(avail, length));
    if (n) std::memcpy(buffer, bytes.data() + position_, n);
    position_ += n;
    if (done) *done = n;
    return QE_OK;
}

QRESULT FileObject::Write(const void* buffer, uint32_t length, uint32_t* done) {
    if (done) *done = 0;
    if (!buffer && length) return QE_E_INVALIDARG;
    if (streamCallFails(StreamOp::Write)) return QE_E_FAIL;
    if (position_ + length > kMaxSize) return QE_E_INVALIDARG;
    if (position_ + length > bytes().size()) {
        QRESULT r = resize(position_ + length);  // tells the watchers
        if (r != QE_OK) return r;
    } else {
        beforeBytesChange();
        if (!ownBytes()) {
            ++storageFailures_;
            return QE_E_OUTOFMEMORY;
        }
    }
    if (length) std::memcpy(bytes_.data() + position_, buffer, length);
    position_ += length;
    if (done) *done = length;
    return QE_OK;
}

QRESULT FileObject::Flush() { return QE_OK; }

QRESULT FileObject::Seek(int64_t offset, uint32_t origin, uint64_t* newPosition) {
    if (streamCallFails(StreamOp::Seek)) return QE_E_FAIL;
    int64_t base = 0;
    switch (origin) {
        case QE_SEEK_SET: base = 0; break;
        case QE_SEEK_CUR: base = int64_t(position_); break;
        case QE_SEEK_END: base = int64_t(bytes().size()); break;
        default: return QE_E_INVALIDARG;
    }
    // Overflow-safe: both operands are below 2^63 in magnitude only when checked.
    if ((offset > 0 && base > INT64_MAX - offset) || base + offset < 0) return QE_E_INVALIDARG;
    int64_t target = base + offset;
    if (uint64_t(target) > kMaxSize) return QE_E_INVALIDARG;
    position_ = uint64_t(target);
    if (newPosition) *newPosition = position_;
    return QE_OK;
}

QRESULT FileObject::Seek(int64_t offset, uint32_t origin) { return Seek(offset, origin, nullptr); }

QRESULT FileObject::Tell(uint64_t* position) {
    if (!position) return QE_E_INVALIDARG;
    *position = position_;
    return QE_OK;
}

QRESULT FileObject::GetSize(uint32_t* low, uint32_t* high) {
    if (!low) return QE_E_INVALIDARG;
    *low = uint32_t(bytes().size());
    if (high) *high = uint32_t(uint64_t(bytes().size()) >> 32);
    return QE_OK;
}

QRESULT FileObject::GetSize(uint64_t* size) {
    if (!size) return QE_E_INVALIDARG;
    *size = bytes().size();
    return QE_OK;
}

QRESULT FileObject::resize(uint64_t size) {
    if (size > kMaxSize) return QE_E_INVALIDARG;
    beforeBytesChange();
    try {
        if (!ownBytes()) throw std::bad_alloc();
        bytes_.resize(size_t(size), 0);
    } catch (const std::bad_alloc&) {
        ++storageFailures_;
        return QE_E_OUTOFMEMORY;
    }
    return QE_OK;
}

QRESULT FileObject::SetSize(uint32_t low, uint32_t high) { return SetSize((uint64_t(high) << 32) | low); }

QRESULT FileObject::SetSize(uint64_t size) {
    if (streamCallFails(StreamOp::SetSize)) return QE_E_FAIL;
    return resize(size);
}

QRESULT FileObject::SetAccess(uint32_t flags, uint32_t) {
    accessFlags_ = flags;
    return QE_OK;
}

// Deletion is only marked: the stream stays readable and writable, and the host applies
// the removal when it commits the repair.
QRESULT FileObject::Remove() {
    if (streamCallFails(StreamOp::Remove)) return QE_E_FAIL;
    removed_ = true;
    return QE_OK;
}

QRESULT FileObject::GetParentArchive(IQEArchive** out) {
    if (!out) return QE_E_INVALIDARG;
    *out = nullptr;
    if (!parent_) return QE_E_FAIL;
    parent_->AddRef();
    *out = static_cast<IQEArchive*>(parent_);
    return QE_OK;
}

QRESULT FileObject::Prepare(uint32_t) { return prepareFails_ ? QE_E_FAIL : QE_OK; }

// ---------------------------------------------------------------- properties

QRESULT FileObject::SetProperty(const GUID& id, const QEPROPVALUE* value) {
    if (!value) return QE_E_INVALIDARG;
    StoredProperty stored;
    stored.value = *value;
    if (value->vt == qe::VT_LPSTR) {
        if (!value->narrowVal) return QE_E_INVALIDARG;
        stored.narrow = value->narrowVal;
    } else if (value->vt == qe::VT_LPWSTR) {
        if (!value->wideVal) return QE_E_INVALIDARG;
        stored.wide = value->wideVal;
    }
    StoredProperty& slot = properties_[id];
    slot = std::move(stored);
    // Point string values at the copies the object owns.
    if (slot.value.vt == qe::VT_LPSTR) slot.value.narrowVal = slot.narrow.c_str();
    if (slot.value.vt == qe::VT_LPWSTR) slot.value.wideVal = slot.wide.c_str();
    return QE_OK;
}

QRESULT FileObject::GetProperty(const GUID& id, const QEPROPVALUE** value) {
    if (!value) return QE_E_INVALIDARG;
    auto it = properties_.find(id);
    if (it == properties_.end()) return QE_E_FAIL;
    *value = &it->second.value;
    return QE_OK;
}

QRESULT FileObject::DeleteProperty(const GUID& id) {
    return properties_.erase(id) ? QE_OK : QE_E_FAIL;
}

QRESULT FileObject::HasProperty(const GUID& id) {
    return properties_.count(id) ? QE_OK : QE_E_FAIL;
}

// ---------------------------------------------------------------- handle file

QRESULT FileObject::Open(IQXFileSystem*, const QEPATHRECORD*, uint32_t) { return QE_E_UNEXPECTED; }  // already open

QRESULT FileObject::Rename(const QEPATHRECORD* newName) {
    if (!newName || !newName->path) return QE_E_INVALIDARG;
    QEPROPVALUE v{};
    v.vt = newName->kind == 0 ? qe::VT_LPSTR : qe::VT_LPWSTR;
    v.ptrVal = newName->path;
    return SetProperty(qe::PID_File_RenameName, &v);
}

QRESULT FileObject::GetPath(QEPATHRECORD* out) {
    if (!out) return QE_E_INVALIDARG;
    out->kind = widePaths_ ? 1 : 0;
    out->reserved = 0;
    out->path = widePaths_ ? static_cast<const void*>(widePath_.c_str()) : path_.c_str();
    return QE_OK;
}

}  // namespace host
