// Reading the archive formats remedy opens, from bytes in memory, through libarchive.
//
//   auto reader = host::ArchiveReader::open(bytes);   // null: not an archive read here
//   while (reader->next() == ArchiveReader::Next::Member)
//       while (size_t n = reader->read(block, sizeof block)) ...
//
// Only these formats are opened: zip, 7z, tar, cpio, ar, ISO 9660, CAB, LHA, RAR, RAR5 and XAR,
// each plain or under gzip, bzip2, xz, zstd or lz4; and a single file compressed with gzip,
// bzip2, xz or zstd. The bytes stay the caller's and must outlive the reader.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

struct archive;
struct archive_entry;

namespace host {

// What the archive is: its format and compression, and whether remedy can write it again.
struct ArchiveKind {
    int format = 0;       // libarchive's ARCHIVE_FORMAT_* code
    int filter = 0;       // libarchive's ARCHIVE_FILTER_* code of the one compression, or 0
    int filterCount = 0;  // compressions stacked on the archive (0 or 1 for the ones remedy writes)
    bool singleFile() const;  // a compressed single file, not an archive of members
    bool rewritable() const;  // zip, tar (plain or compressed), 7z or cpio
    std::string name() const; // "zip", "tar.gz", "gz" ...
};

class ArchiveReader {
public:
    // Null when `bytes` are not one of the formats above (or libarchive cannot start on them).
    // Inputs without any archive's mark are turned away before libarchive is set up.
    static std::unique_ptr<ArchiveReader> open(std::span<const uint8_t> bytes);
    // The same without that first look: for checking that the look turns away nothing
    // libarchive would read.
    static std::unique_ptr<ArchiveReader> openWithoutLooking(std::span<const uint8_t> bytes);
    ~ArchiveReader();
    ArchiveReader(const ArchiveReader&) = delete;
    ArchiveReader& operator=(const ArchiveReader&) = delete;

    enum class Next { Member, End, Error };
    // Moves to the next member (the first call gives the first one). After Error, error() says why.
    Next next();
    // The current member's header (owned by the reader; valid until next()).
    archive_entry* entry() const { return entry_; }
    // The current member's name as the archive spells it (raw bytes), or "" when it has none.
    std::string memberName() const;
    // The current member is a file with contents of its own: not a directory, a link or a
    // device (ar members carry no file type at all and are files).
    bool holdsData() const;
    // The member's contents cannot be read without a password.
    bool encrypted() const;
    // Up to `size` more bytes of the current member. 0 at its end; -1 with error() on a fault.
    long read(uint8_t* buffer, size_t size);

    const ArchiveKind& kind() const { return kind_; }
    const std::string& error() const { return error_; }
    struct archive* handle() const { return archive_; }

private:
    ArchiveReader() = default;
    static std::unique_ptr<ArchiveReader> open(std::span<const uint8_t> bytes, bool rawOnly);
    void takeError();

    struct archive* archive_ = nullptr;
    archive_entry* entry_ = nullptr;
    ArchiveKind kind_;
    std::string error_;
    int firstHeader_ = 0;      // the result of reading the first header, which open() needed
    bool firstPending_ = true; // next() has not handed that header out yet
};

}  // namespace host
