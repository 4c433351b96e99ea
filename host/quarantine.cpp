#include "host/quarantine.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <limits>
#include <map>
#include <type_traits>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include "host/base64.h"
#include "host/host_version.h"
#include "host/new_file.h"
#include "host/sha256.h"

namespace host {

namespace {

constexpr size_t kMaxRecordBytes = 4 << 20;  // a record holds a path and attributes: far less

std::string systemError(const std::string& what) { return what + ": " + std::strerror(errno); }

// ---- the record as JSON: written here, read back by the small reader below

// Length of the valid UTF-8 sequence at `p` (up to `end`), or 0.
size_t utf8Length(const unsigned char* p, const unsigned char* end) {
    const unsigned char c = *p;
    size_t length = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
    if (length == 0 || size_t(end - p) < length) return 0;
    uint32_t code = length == 1 ? c : c & (0x7F >> length);
    for (size_t k = 1; k < length; ++k) {
        if ((p[k] & 0xC0) != 0x80) return 0;
        code = code << 6 | (p[k] & 0x3F);
    }
    static const uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < kSmallest[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
    return length;
}

// `bytes` as a JSON string for people to read: valid UTF-8 as it is, control bytes escaped, a
// byte that is not UTF-8 as U+FFFD. The exact bytes are stored beside it in base64.
std::string quoted(const std::string& bytes) {
    std::string text = "\"";
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const auto* end = p + bytes.size();
    while (p < end) {
        const size_t length = utf8Length(p, end);
        if (length == 0) {
            text += "\\ufffd";
            ++p;
        } else if (*p == '"' || *p == '\\') {
            text += '\\';
            text += char(*p++);
        } else if (*p < 0x20 || *p == 0x7F) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", *p++);
            text += escape;
        } else {
            text.append(reinterpret_cast<const char*>(p), length);
            p += length;
        }
    }
    return text + "\"";
}

std::string recordTextOf(const QuarantineRecord& r) {
    std::string attributes;
    for (const auto& [name, value] : r.attributes)
        attributes += (attributes.empty() ? "" : ",") + quoted(base64Encode(name)) + ":" + quoted(base64Encode(value));
    const auto number = [](auto v) { return std::to_string(v); };
    return "{\"id\":" + quoted(r.id) + ",\"path\":" + quoted(r.originalPath) +
           ",\"path_base64\":" + quoted(base64Encode(r.originalPath)) + ",\"device\":" + number(r.device) +
           ",\"inode\":" + number(r.inode) + ",\"size\":" + number(r.size) + ",\"owner\":" + number(r.owner) +
           ",\"group\":" + number(r.group) + ",\"mode\":" + number(r.mode) +
           ",\"inode_flags\":" + number(r.inodeFlags) + ",\"accessed_ns\":" + number(r.accessedNs) +
           ",\"modified_ns\":" + number(r.modifiedNs) + ",\"changed_ns\":" + number(r.changedNs) +
           ",\"attributes_base64\":{" + attributes + "},\"sha256\":" + quoted(r.originalSha256) +
           ",\"replacement_sha256\":" + (r.replacementSha256.empty() ? "null" : quoted(r.replacementSha256)) +
           ",\"verdict\":{\"name\":" + quoted(r.verdict.name) + ",\"id\":" + quoted(r.verdict.id) +
           ",\"phase\":" + quoted(r.verdict.phase) + "},\"action\":" + quoted(r.action) +
           ",\"quarantined_at\":" + number(r.quarantinedAt) + ",\"version\":" + quoted(r.version) + "}\n";
}

// Reads the records this file writes: objects of strings, integers, null and objects of strings.
class RecordReader {
public:
    explicit RecordReader(const std::string& text) : text_(text) {}

    // Objects nest one level at most (the verdict, the attributes).
    bool object(std::map<std::string, std::string>* values, const std::string& prefix = "", int depth = 0) {
        if (depth > 1 || !take('{')) return false;
        if (take('}')) return true;
        do {
            std::string key, value;
            if (!string(&key) || !take(':')) return false;
            skipSpace();
            if (peek() == '{') {
                if (!object(values, prefix + key + ".", depth + 1)) return false;
                (*values)[prefix + key] = "{}";
                continue;
            }
            if (!scalar(&value)) return false;
            (*values)[prefix + key] = value;
        } while (take(','));
        return take('}');
    }

private:
    // Readable fields only: every exact value is stored in base64.
    static void appendUtf8(unsigned code, std::string* out) {
        if (code < 0x80) {
            out->push_back(char(code));
        } else if (code < 0x800) {
            out->push_back(char(0xC0 | code >> 6));
            out->push_back(char(0x80 | (code & 0x3F)));
        } else {
            out->push_back(char(0xE0 | code >> 12));
            out->push_back(char(0x80 | ((code >> 6) & 0x3F)));
            out->push_back(char(0x80 | (code & 0x3F)));
        }
    }

    char peek() const { return at_ < text_.size() ? text_[at_] : '\0'; }
    void skipSpace() {
        while (at_ < text_.size() && std::strchr(" \t\r\n", text_[at_])) ++at_;
    }
    bool take(char c) {
        skipSpace();
        if (peek() != c) return false;
        ++at_;
        return true;
    }
    bool string(std::string* out) {
        if (!take('"')) return false;
        while (at_ < text_.size() && text_[at_] != '"') {
            char c = text_[at_++];
            if (c == '\\') {
                if (at_ >= text_.size()) return false;
                c = text_[at_++];
                if (c == 'u') {
                    unsigned value = 0;
                    if (at_ + 4 > text_.size() || std::sscanf(text_.c_str() + at_, "%4x", &value) != 1) return false;
                    at_ += 4;
                    appendUtf8(value, out);
                    continue;
                } else if (c != '"' && c != '\\' && c != '/') {
                    return false;
                }
            }
            out->push_back(c);
        }
        return take('"');
    }
    bool scalar(std::string* out) {
        skipSpace();
        if (peek() == '"') return string(out);
        const size_t start = at_;
        while (at_ < text_.size() && (std::isalnum(static_cast<unsigned char>(text_[at_])) || text_[at_] == '-')) ++at_;
        *out = text_.substr(start, at_ - start);
        if (*out == "null") out->clear();
        return at_ > start;
    }

    const std::string& text_;
    size_t at_ = 0;
};

bool parseRecordText(const std::string& text, QuarantineRecord* r) {
    std::map<std::string, std::string> v;
    RecordReader reader(text);
    if (!reader.object(&v)) return false;
    // A whole decimal number that fits the field (no sign for an unsigned one).
    const auto integer = [&](const char* key, auto* out) {
        using Field = std::remove_pointer_t<decltype(out)>;
        const std::string& s = v[key];
        if (s.empty() || (std::is_unsigned_v<Field> && s[0] == '-')) return false;
        char* end = nullptr;
        errno = 0;
        if constexpr (std::is_unsigned_v<Field>) {
            const unsigned long long n = std::strtoull(s.c_str(), &end, 10);
            if (errno || *end || n > std::numeric_limits<Field>::max()) return false;
            *out = Field(n);
        } else {
            const long long n = std::strtoll(s.c_str(), &end, 10);
            if (errno || *end) return false;
            *out = Field(n);
        }
        return true;
    };
    const auto digest = [](const std::string& hex) {
        return hex.size() == 64 && std::all_of(hex.begin(), hex.end(), [](char c) {
                   return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
               });
    };
    bool ok = base64Decode(v["path_base64"], &r->originalPath);
    ok = ok && integer("device", &r->device) && integer("inode", &r->inode) && integer("size", &r->size);
    ok = ok && integer("owner", &r->owner) && integer("group", &r->group) && integer("mode", &r->mode);
    ok = ok && integer("inode_flags", &r->inodeFlags) && integer("accessed_ns", &r->accessedNs);
    ok = ok && integer("modified_ns", &r->modifiedNs) && integer("changed_ns", &r->changedNs);
    ok = ok && integer("quarantined_at", &r->quarantinedAt);
    r->attributes.clear();
    const std::string attributePrefix = "attributes_base64.";
    for (const auto& [key, value] : v) {
        if (!key.starts_with(attributePrefix)) continue;
        std::string name, bytes;
        ok = ok && base64Decode(key.substr(attributePrefix.size()), &name) && base64Decode(value, &bytes);
        r->attributes.emplace_back(name, bytes);
    }
    r->id = v["id"];
    r->originalSha256 = v["sha256"];
    r->replacementSha256 = v["replacement_sha256"];
    r->verdict = {v["verdict.name"], v["verdict.id"], v["verdict.phase"]};
    r->action = v["action"];
    r->version = v["version"];
    return ok && digest(r->originalSha256) && (r->replacementSha256.empty() || digest(r->replacementSha256));
}

std::string newId() {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    ::gmtime_r(&now, &utc);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &utc);
    uint32_t random = 0;
    if (::getrandom(&random, sizeof random, 0) != sizeof random) random = uint32_t(::getpid()) ^ uint32_t(now);
    char id[64];
    std::snprintf(id, sizeof id, "%s-%08x", stamp, random);
    return id;
}

// Writes `text` as `name` in `dirFd`, complete or not at all.
bool writeComplete(int dirFd, const std::string& name, const std::string& text, std::string* error) {
    NewFile file;
    if (!createNewFile(dirFd, "." + name + ".tmp", &file, error)) return false;
    if (!writeAll(file.fd.get(), text.data(), text.size()) || ::fsync(file.fd.get()) != 0) {
        *error = systemError("cannot write " + name);
        discardNewFile(dirFd, &file);
        return false;
    }
    const bool named = nameNewFile(dirFd, &file, name, error);
    discardNewFile(dirFd, &file);
    return named;
}

}  // namespace

std::string quarantineRecordText(const QuarantineRecord& record) { return recordTextOf(record); }

bool parseQuarantineRecord(const std::string& text, QuarantineRecord* out) {
    *out = QuarantineRecord{};
    return parseRecordText(text, out);
}

bool describeForQuarantine(int fd, const std::string& path, const KeptMetadata& kept, QuarantineRecord* out) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return false;
    const auto nanoseconds = [](const timespec& t) { return int64_t(t.tv_sec) * 1000000000 + t.tv_nsec; };
    std::error_code ec;
    const std::filesystem::path cwd = path.starts_with('/') ? std::filesystem::path() : std::filesystem::current_path(ec);
    out->originalPath = cwd.empty() || ec ? path : (cwd / path).string();
    out->device = st.st_dev, out->inode = st.st_ino, out->size = uint64_t(st.st_size);
    out->owner = kept.owner, out->group = kept.group, out->mode = kept.mode, out->inodeFlags = kept.inodeFlags;
    out->attributes = kept.attributes;
    out->accessedNs = nanoseconds(st.st_atim), out->modifiedNs = nanoseconds(st.st_mtim);
    out->changedNs = nanoseconds(st.st_ctim);
    out->version = hostVersion();
    return true;
}

bool validQuarantineId(const std::string& id) {
    return !id.empty() && id.size() <= 64 &&
           std::all_of(id.begin(), id.end(), [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '-'; });
}

bool Quarantine::open(const std::string& dir, bool create, Quarantine* out, std::string* error) {
    out->path_ = dir;
    if (create) {
        // mkdir -p with 0700 for the parts it makes.
        for (size_t at = 1; at <= dir.size(); ++at) {
            if (at != dir.size() && dir[at] != '/') continue;
            const std::string part = dir.substr(0, at);
            if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
                *error = systemError("cannot create the quarantine directory " + part);
                return false;
            }
        }
    }
    out->dir_ = UniqueFd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!out->dir_.valid()) {
        *error = systemError(errno == ELOOP ? "the quarantine directory is a symbolic link" : "cannot open the quarantine directory " + dir);
        return false;
    }
    struct stat st {};
    if (::fstat(out->dir_.get(), &st) != 0 || (st.st_uid != ::geteuid() && ::geteuid() != 0)) {
        *error = "the quarantine directory " + dir + " belongs to another user";
        return false;
    }
    // Made here it is 0700. One that others may write to is refused: they could plant or swap
    // entries. Other modes of a directory the user made are left as the user made them (the
    // entries themselves are 0600).
    if (st.st_mode & (S_IWGRP | S_IWOTH)) {
        *error = "the quarantine directory " + dir + " is writable by others; give a private one (mode 0700)";
        return false;
    }
    return true;
}

bool Quarantine::add(int sourceFd, QuarantineRecord* record, std::string* error) {
    record->id = newId();
    record->quarantinedAt = int64_t(std::time(nullptr));
    NewFile copy;
    if (!createNewFile(dir_.get(), "." + record->id + ".tmp", &copy, error)) {
        *error = "cannot create the quarantine entry: " + *error;
        return false;
    }
    Sha256 sha;
    const bool ok = copyBytes(sourceFd, record->size, copy.fd.get(), [&](const uint8_t* p, size_t n) { sha.add(p, n); });
    if (!ok || ::fsync(copy.fd.get()) != 0) {
        *error = systemError("cannot write the quarantine entry");
        discardNewFile(dir_.get(), &copy);
        return false;
    }
    record->originalSha256 = sha.finishHex();
    if (!nameNewFile(dir_.get(), &copy, record->id, error)) {
        discardNewFile(dir_.get(), &copy);
        return false;
    }
    discardNewFile(dir_.get(), &copy);
    if (!writeComplete(dir_.get(), record->id + ".json", recordTextOf(*record), error)) {
        ::unlinkat(dir_.get(), record->id.c_str(), 0);
        return false;
    }
    syncDirectory(dir_.get());
    return true;
}

bool Quarantine::read(const std::string& id, QuarantineRecord* out, std::string* error) const {
    if (!validQuarantineId(id)) {
        *error = "no quarantine entry " + id;
        return false;
    }
    UniqueFd fd(::openat(dir_.get(), (id + ".json").c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.valid()) {
        *error = errno == ENOENT ? "no quarantine entry " + id : systemError("cannot read the record of " + id);
        return false;
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || uint64_t(st.st_size) > kMaxRecordBytes) {
        *error = "the record of " + id + " is damaged";
        return false;
    }
    std::string text(size_t(st.st_size), '\0');
    size_t have = 0;
    for (ssize_t n; have < text.size() && (n = ::read(fd.get(), text.data() + have, text.size() - have)) != 0;) {
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            *error = systemError("cannot read the record of " + id);
            return false;
        }
        have += size_t(n);
    }
    text.resize(have);
    *out = QuarantineRecord{};
    if (!parseRecordText(text, out)) {
        *error = "the record of " + id + " is damaged";
        return false;
    }
    out->id = id;
    return true;
}

std::vector<QuarantineRecord> Quarantine::list() const {
    std::vector<QuarantineRecord> entries;
    const int copy = ::openat(dir_.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* dir = copy >= 0 ? ::fdopendir(copy) : nullptr;
    if (!dir) {
        if (copy >= 0) ::close(copy);
        return entries;
    }
    std::vector<std::string> ids;
    while (const dirent* entry = ::readdir(dir))
        if (validQuarantineId(entry->d_name)) ids.emplace_back(entry->d_name);
    ::closedir(dir);
    std::sort(ids.begin(), ids.end());
    for (const std::string& id : ids) {
        QuarantineRecord record;
        std::string error;
        if (!read(id, &record, &error)) {
            record = QuarantineRecord{};
            record.id = id;
            record.complete = false;
        }
        entries.push_back(std::move(record));
    }
    return entries;
}

UniqueFd Quarantine::openBytes(const std::string& id, std::string* error) const {
    UniqueFd fd(validQuarantineId(id) ? ::openat(dir_.get(), id.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC) : -1);
    if (!fd.valid()) *error = "cannot open the quarantine entry " + id + (validQuarantineId(id) ? systemError("") : "");
    return fd;
}

bool Quarantine::remove(const std::string& id, std::string* error) {
    if (!validQuarantineId(id)) {
        *error = "no quarantine entry " + id;
        return false;
    }
    const int recordError = ::unlinkat(dir_.get(), (id + ".json").c_str(), 0) == 0 ? 0 : errno;
    const bool record = recordError == 0 || recordError == ENOENT;
    if (::unlinkat(dir_.get(), id.c_str(), 0) != 0) {
        *error = errno == ENOENT && recordError == ENOENT ? "no quarantine entry " + id
                                                          : systemError("cannot remove the quarantine entry " + id);
        return false;
    }
    if (!record) {
        errno = recordError;
        *error = systemError("cannot remove the record of " + id);
        return false;
    }
    syncDirectory(dir_.get());
    return true;
}

}  // namespace host
