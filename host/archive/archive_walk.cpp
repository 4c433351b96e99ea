#include "host/archive/archive_walk.h"

#include <archive.h>
#include <archive_entry.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cctype>

namespace host {

namespace {

constexpr size_t kBlock = 64 * 1024;
constexpr uint64_t kMaxSizeHint = 16ull << 20;  // bytes reserved on a member's word alone

void addOnce(std::vector<std::string>& list, const std::string& text) {
    if (std::find(list.begin(), list.end(), text) == list.end()) list.push_back(text);
}

// Counts the bytes coming out of one archive against the input's allowance and the archive's ratio.
class Unpacked {
public:
    Unpacked(const ArchiveLimits& limits, uint64_t archiveSize, UnpackState& state)
        : limits_(limits), state_(state),
          ratioAllowed_(limits.maxRatio == 0 || archiveSize > UINT64_MAX / limits.maxRatio
                            ? UINT64_MAX
                            : std::max(archiveSize * limits.maxRatio, ArchiveLimits::kRatioFloor)) {}

    // Takes `n` more bytes; false, with the limit in limit(), when they are more than allowed.
    bool take(uint64_t n) {
        if (n > state_.unpackedLeft) {
            state_.unpackedLeft = 0;
            limit_ = "archive unpacked size (" + std::to_string(limits_.maxUnpacked) + " bytes)";
            return false;
        }
        state_.unpackedLeft -= n;
        here_ += n;
        if (here_ > ratioAllowed_) {
            limit_ = "archive compression ratio (" + std::to_string(limits_.maxRatio) + ")";
            return false;
        }
        return true;
    }
    const std::string& limit() const { return limit_; }

private:
    const ArchiveLimits& limits_;
    UnpackState& state_;
    const uint64_t ratioAllowed_;
    uint64_t here_ = 0;
    std::string limit_;
};

enum class ReadEnd { Whole, TooLarge, Damaged, Limit };

// Reads the current member: its bytes while they are at most `maxSize`, counted all the way.
ReadEnd readMember(ArchiveReader& reader, Unpacked& unpacked, uint64_t maxSize, std::vector<uint8_t>& bytes,
                   uint64_t& total) {
    static thread_local std::array<uint8_t, kBlock> block;
    const bool sizeStated = archive_entry_size_is_set(reader.entry()) && archive_entry_size(reader.entry()) >= 0;
    const uint64_t statedSize = sizeStated ? uint64_t(archive_entry_size(reader.entry())) : 0;
    bool tooLarge = sizeStated && statedSize > maxSize;
    // A stated size is only a hint (the data decides), but it saves growing the buffer. The hint
    // is capped: a few bytes of header must not buy a large allocation before any data comes.
    if (sizeStated && !tooLarge) bytes.reserve(size_t(std::min<uint64_t>(statedSize, kMaxSizeHint)));
    // Each round takes at least one byte from a finite allowance, so the loop ends.
    for (;;) {
        const long got = reader.read(block.data(), block.size());
        if (got < 0) return ReadEnd::Damaged;
        if (got == 0) break;
        if (!unpacked.take(uint64_t(got))) return ReadEnd::Limit;
        total += uint64_t(got);
        if (!tooLarge && total > maxSize) {
            tooLarge = true;
            std::vector<uint8_t>().swap(bytes);
        }
        if (tooLarge) continue;
        // Grown by doubling, but never past the most the member may hold.
        if (bytes.size() + size_t(got) > bytes.capacity())
            bytes.reserve(size_t(std::min<uint64_t>(maxSize, std::max<uint64_t>(bytes.capacity() * 2, total))));
        bytes.insert(bytes.end(), block.begin(), block.begin() + got);
    }
    return tooLarge ? ReadEnd::TooLarge : ReadEnd::Whole;
}

ScanResult unscanned(const std::string& archiveName, const std::string& name, std::string note) {
    ScanResult member;
    member.path = archiveName;
    member.members = {name};
    member.notes.push_back(std::move(note));
    return member;
}

// Puts a scanned member and the members inside it into the walk, named from this archive.
void takeMember(ScanResult member, const std::string& archiveName, const std::string& name, ArchiveWalk& walk) {
    std::vector<ScanResult> inside = std::move(member.inside);
    member.inside.clear();
    member.path = archiveName;
    member.members = {name};
    member.foundInside = uint64_t(std::count_if(inside.begin(), inside.end(), [](const ScanResult& r) { return r.found(); }));
    for (const std::string& limit : member.limits) addOnce(walk.limits, limit);
    // What a nested archive holds comes before the nested archive itself, as for the outermost.
    for (ScanResult& nested : inside) {
        nested.path = archiveName;
        nested.members.insert(nested.members.begin(), name);
        walk.members.push_back(std::move(nested));
    }
    walk.members.push_back(std::move(member));
}

bool endsWith(const std::string& text, const std::string& suffix) {
    if (text.size() < suffix.size()) return false;
    return std::equal(suffix.rbegin(), suffix.rend(), text.rbegin(),
                      [](char a, char b) { return std::tolower(uint8_t(a)) == std::tolower(uint8_t(b)); });
}

}  // namespace

std::string memberDisplayName(const std::string& stored, const std::string& archiveName, const ArchiveKind& kind,
                              size_t entry) {
    if (kind.singleFile()) {
        const std::string base = archiveName.substr(archiveName.find_last_of('/') + 1);
        for (const char* suffix : {".gz", ".bz2", ".xz", ".zst", ".zstd"})
            if (endsWith(base, suffix) && base.size() > std::char_traits<char>::length(suffix))
                return base.substr(0, base.size() - std::char_traits<char>::length(suffix));
        return "data";
    }
    if (!stored.empty()) return stored;
    return "(member " + std::to_string(entry + 1) + ")";
}

ArchiveWalk walkArchive(std::span<const uint8_t> bytes, const std::string& name, const ArchiveLimits& limits,
                        uint64_t maxMemberSize, UnpackState& state, const MemberScan& scan) {
    ArchiveWalk walk;
    std::unique_ptr<ArchiveReader> reader = ArchiveReader::open(bytes);
    if (!reader) return walk;
    walk.isArchive = true;
    walk.kind = reader->kind();
    if (state.depth >= limits.maxDepth) {
        walk.limits.push_back("archive nesting depth (" + std::to_string(limits.maxDepth) + ")");
        walk.everyMemberRead = false;
        return walk;
    }
    Unpacked unpacked(limits, bytes.size(), state);
    for (size_t entry = 0;; ++entry) {
        const ArchiveReader::Next next = reader->next();
        if (next == ArchiveReader::Next::End) break;
        if (next == ArchiveReader::Next::Error) {
            walk.notes.push_back("archive damaged after " + std::to_string(entry) + " entries: " + reader->error());
            walk.everyMemberRead = false;
            break;
        }
        if (entry == limits.maxMembers) {
            walk.limits.push_back("archive members (" + std::to_string(limits.maxMembers) + ")");
            walk.everyMemberRead = false;
            break;
        }
        const std::string memberName = memberDisplayName(reader->memberName(), name, walk.kind, entry);
        std::vector<uint8_t> memberBytes;
        uint64_t size = 0;
        // Directories, links and devices hold no bytes of their own to scan. Any bytes such an
        // entry carries are still read and counted: libarchive would otherwise decompress them
        // to skip them, free of every limit.
        if (!reader->holdsData()) {
            const ReadEnd end = readMember(*reader, unpacked, 0, memberBytes, size);
            if (end == ReadEnd::Limit) {
                walk.limits.push_back(unpacked.limit());
                walk.everyMemberRead = false;
                break;
            }
            if (end != ReadEnd::Damaged) continue;
            walk.notes.push_back("archive damaged at " + memberName + ": " + reader->error());
            walk.everyMemberRead = false;
            break;
        }
        if (reader->encrypted()) {
            ScanResult member = unscanned(name, memberName, "encrypted member, not scanned");
            member.unreadable = true;
            walk.members.push_back(std::move(member));
            walk.everyMemberRead = false;
            continue;
        }
        const ReadEnd end = readMember(*reader, unpacked, maxMemberSize, memberBytes, size);
        if (end == ReadEnd::Limit) {
            walk.limits.push_back(unpacked.limit());
            walk.everyMemberRead = false;
            break;
        }
        if (end == ReadEnd::Damaged) {
            ScanResult member = unscanned(name, memberName, "cannot be unpacked: " + reader->error());
            member.unreadable = true;
            walk.members.push_back(std::move(member));
            walk.everyMemberRead = false;
            // Only a zip's central directory says where the next member starts for certain.
            // Elsewhere libarchive would skip through the broken data to find it, and some of
            // its readers (CAB) fault doing that on a damaged file.
            if ((walk.kind.format & ARCHIVE_FORMAT_BASE_MASK) == ARCHIVE_FORMAT_ZIP) continue;
            walk.notes.push_back("the members after a damaged one are not read");
            break;
        }
        if (end == ReadEnd::TooLarge) {
            ScanResult member =
                unscanned(name, memberName, "Larger than the size allowed (" + std::to_string(maxMemberSize) + " bytes), skipped");
            member.skippedForSize = true;
            member.size = size;
            addOnce(walk.limits, "archive member size (" + std::to_string(maxMemberSize) + " bytes)");
            walk.members.push_back(std::move(member));
            walk.everyMemberRead = false;
            continue;
        }
        ++state.depth;
        ScanResult member = scan(std::move(memberBytes), memberName, state);
        --state.depth;
        if (member.repaired) walk.changes.push_back({entry, false, std::move(member.repairedBytes)});
        else if (member.removed) walk.changes.push_back({entry, true, {}});
        member.repairedBytes.clear();
        takeMember(std::move(member), name, memberName, walk);
    }
    return walk;
}

}  // namespace host
