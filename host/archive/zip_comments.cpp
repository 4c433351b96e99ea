#include "host/archive/zip_comments.h"

#include <algorithm>
#include <optional>

namespace host {

namespace {

constexpr uint32_t kEndSignature = 0x06054b50;
constexpr uint32_t kZip64LocatorSignature = 0x07064b50;
constexpr uint32_t kHeaderSignature = 0x02014b50;
constexpr size_t kEndSize = 22;
constexpr size_t kZip64LocatorSize = 20;
constexpr size_t kHeaderSize = 46;
constexpr size_t kMaxComment = 0xFFFF;

// Little-endian fields of `bytes`; a field that does not fit reads as nothing.
class Fields {
public:
    explicit Fields(std::span<const uint8_t> bytes) : bytes_(bytes) {}
    bool has(size_t at, size_t length) const { return length <= bytes_.size() && at <= bytes_.size() - length; }
    std::optional<uint16_t> u16(size_t at) const {
        if (!has(at, 2)) return std::nullopt;
        return uint16_t(bytes_[at] | (bytes_[at + 1] << 8));
    }
    std::optional<uint32_t> u32(size_t at) const {
        if (!has(at, 4)) return std::nullopt;
        return uint32_t(bytes_[at]) | (uint32_t(bytes_[at + 1]) << 8) | (uint32_t(bytes_[at + 2]) << 16) |
               (uint32_t(bytes_[at + 3]) << 24);
    }
    std::span<const uint8_t> span(size_t at, size_t length) const { return bytes_.subspan(at, length); }

private:
    std::span<const uint8_t> bytes_;
};

struct Member {
    size_t at = 0;                      // its central directory header
    size_t fixedAndName = 0;            // header, name and extra field: what is kept as is
    std::span<const uint8_t> name;
    std::span<const uint8_t> comment;
};

struct CentralDirectory {
    size_t offset = 0;
    size_t endAt = 0;  // the end of central directory record
    std::span<const uint8_t> comment;
    std::vector<Member> members;
};

// The end record: the last signature whose comment reaches exactly to the end of the bytes.
std::optional<size_t> findEnd(const Fields& zip, size_t size) {
    if (size < kEndSize) return std::nullopt;
    const size_t last = size - kEndSize;
    const size_t first = last > kMaxComment ? last - kMaxComment : 0;
    for (size_t at = last + 1; at-- > first;) {
        if (zip.u32(at) != kEndSignature) continue;
        const std::optional<uint16_t> commentLength = zip.u16(at + 20);
        if (commentLength && at + kEndSize + *commentLength == size) return at;
    }
    return std::nullopt;
}

// The central directory of a single-disk zip without ZIP64 records, every header inside it
// and ending where the end record starts; nothing for anything else.
std::optional<CentralDirectory> readCentralDirectory(std::span<const uint8_t> bytes) {
    const Fields zip(bytes);
    const std::optional<size_t> endAt = findEnd(zip, bytes.size());
    if (!endAt) return std::nullopt;
    const size_t end = *endAt;
    const auto disk = zip.u16(end + 4), startDisk = zip.u16(end + 6);
    const auto onDisk = zip.u16(end + 8), count = zip.u16(end + 10);
    const auto size = zip.u32(end + 12), offset = zip.u32(end + 16);
    const auto commentLength = zip.u16(end + 20);
    if (!disk || !startDisk || !onDisk || !count || !size || !offset || !commentLength) return std::nullopt;
    if (*disk != 0 || *startDisk != 0 || *onDisk != *count) return std::nullopt;
    // ZIP64 keeps the true values elsewhere; its locator sits just before the end record.
    if (*count == 0xFFFF || *size == 0xFFFFFFFF || *offset == 0xFFFFFFFF) return std::nullopt;
    if (end >= kZip64LocatorSize && zip.u32(end - kZip64LocatorSize) == kZip64LocatorSignature) return std::nullopt;
    if (uint64_t(*offset) + *size != end) return std::nullopt;

    CentralDirectory directory;
    directory.offset = *offset;
    directory.endAt = end;
    directory.comment = zip.span(end + kEndSize, *commentLength);
    size_t at = *offset;
    for (uint32_t index = 0; index < *count; ++index) {
        const std::optional<uint32_t> signature = zip.u32(at);
        const auto nameLength = zip.u16(at + 28), extraLength = zip.u16(at + 30), comment = zip.u16(at + 32);
        if (signature != kHeaderSignature || !nameLength || !extraLength || !comment) return std::nullopt;
        const size_t fixedAndName = kHeaderSize + size_t(*nameLength) + *extraLength;
        if (!zip.has(at, fixedAndName + *comment) || at + fixedAndName + *comment > end) return std::nullopt;
        directory.members.push_back(
            {at, fixedAndName, zip.span(at + kHeaderSize, *nameLength), zip.span(at + fixedAndName, *comment)});
        at += fixedAndName + *comment;
    }
    if (at != end) return std::nullopt;
    return directory;
}

bool sameBytes(std::span<const uint8_t> a, std::span<const uint8_t> b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end());
}

void appendLe16(std::vector<uint8_t>& out, size_t value) {
    out.push_back(uint8_t(value));
    out.push_back(uint8_t(value >> 8));
}

void setLe16(std::vector<uint8_t>& out, size_t at, size_t value) {
    out[at] = uint8_t(value);
    out[at + 1] = uint8_t(value >> 8);
}

void setLe32(std::vector<uint8_t>& out, size_t at, uint64_t value) {
    for (size_t i = 0; i < 4; ++i) out[at + i] = uint8_t(value >> (8 * i));
}

}  // namespace

ZipCommentsCarried carryZipComments(std::span<const uint8_t> original, std::vector<uint8_t>* rewritten) {
    const std::optional<CentralDirectory> from = readCentralDirectory(original);
    if (!from) return ZipCommentsCarried::Refused;
    const bool anyComment = !from->comment.empty() || std::any_of(from->members.begin(), from->members.end(),
                                                                  [](const Member& m) { return !m.comment.empty(); });
    if (!anyComment) return ZipCommentsCarried::None;
    const std::optional<CentralDirectory> to = readCentralDirectory(*rewritten);
    if (!to) return ZipCommentsCarried::Refused;

    std::vector<uint8_t> out(rewritten->begin(), rewritten->begin() + std::ptrdiff_t(to->offset));
    // Members keep their order in the rewrite; one left out is passed over by name.
    size_t next = 0;
    for (const Member& member : to->members) {
        std::span<const uint8_t> comment = member.comment;
        for (size_t look = next; look < from->members.size(); ++look) {
            if (!sameBytes(from->members[look].name, member.name)) continue;
            comment = from->members[look].comment;
            next = look + 1;
            break;
        }
        const size_t headerAt = out.size();
        out.insert(out.end(), rewritten->begin() + std::ptrdiff_t(member.at),
                   rewritten->begin() + std::ptrdiff_t(member.at + member.fixedAndName));
        setLe16(out, headerAt + 32, comment.size());
        out.insert(out.end(), comment.begin(), comment.end());
    }
    const uint64_t directorySize = out.size() - to->offset;
    if (directorySize >= 0xFFFFFFFF) return ZipCommentsCarried::Refused;
    const size_t endAt = out.size();
    out.insert(out.end(), rewritten->begin() + std::ptrdiff_t(to->endAt),
               rewritten->begin() + std::ptrdiff_t(to->endAt + kEndSize - 2));
    setLe32(out, endAt + 12, directorySize);
    appendLe16(out, from->comment.size());
    out.insert(out.end(), from->comment.begin(), from->comment.end());
    // A comment that itself looks like an end record would be taken for the end by readers.
    if (!readCentralDirectory(out) || findEnd(Fields(out), out.size()) != endAt)
        return ZipCommentsCarried::Refused;
    rewritten->swap(out);
    return ZipCommentsCarried::Carried;
}

}  // namespace host
