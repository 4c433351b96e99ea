#include "host/archive/archive_reader.h"

#include <archive.h>
#include <archive_entry.h>

#include <algorithm>

#include "host/archive/archive_signatures.h"

namespace host {

namespace {

bool isReadFormat(int format) {
    switch (format & ARCHIVE_FORMAT_BASE_MASK) {
    case ARCHIVE_FORMAT_ZIP: case ARCHIVE_FORMAT_7ZIP: case ARCHIVE_FORMAT_TAR: case ARCHIVE_FORMAT_CPIO:
    case ARCHIVE_FORMAT_AR: case ARCHIVE_FORMAT_ISO9660: case ARCHIVE_FORMAT_CAB: case ARCHIVE_FORMAT_LHA:
    case ARCHIVE_FORMAT_RAR: case ARCHIVE_FORMAT_RAR_V5: case ARCHIVE_FORMAT_XAR: case ARCHIVE_FORMAT_RAW:
        return true;
    default:
        return false;
    }
}

const char* filterSuffix(int filter) {
    switch (filter) {
    case ARCHIVE_FILTER_GZIP: return "gz";
    case ARCHIVE_FILTER_BZIP2: return "bz2";
    case ARCHIVE_FILTER_XZ: return "xz";
    case ARCHIVE_FILTER_ZSTD: return "zst";
    case ARCHIVE_FILTER_LZ4: return "lz4";
    default: return "";
    }
}

const char* formatName(int format) {
    switch (format & ARCHIVE_FORMAT_BASE_MASK) {
    case ARCHIVE_FORMAT_ZIP: return "zip";
    case ARCHIVE_FORMAT_7ZIP: return "7z";
    case ARCHIVE_FORMAT_TAR: return "tar";
    case ARCHIVE_FORMAT_CPIO: return "cpio";
    case ARCHIVE_FORMAT_AR: return "ar";
    case ARCHIVE_FORMAT_ISO9660: return "iso";
    case ARCHIVE_FORMAT_CAB: return "cab";
    case ARCHIVE_FORMAT_LHA: return "lha";
    case ARCHIVE_FORMAT_RAR: return "rar";
    case ARCHIVE_FORMAT_RAR_V5: return "rar5";
    case ARCHIVE_FORMAT_XAR: return "xar";
    default: return "";
    }
}

// Every reader registered here decodes in-process: libarchive would otherwise fall back to
// running an outside program for a compression it was built without. `rawOnly`: the input is
// taken as one compressed file.
void supportFormats(struct archive* a, bool rawOnly) {
    archive_read_support_format_raw(a);
    archive_read_support_filter_gzip(a);
    archive_read_support_filter_bzip2(a);
    archive_read_support_filter_xz(a);
    archive_read_support_filter_zstd(a);
    archive_read_support_filter_lz4(a);
    if (rawOnly) return;
    archive_read_support_format_zip(a);
    archive_read_support_format_7zip(a);
    archive_read_support_format_tar(a);
    archive_read_support_format_cpio(a);
    archive_read_support_format_ar(a);
    archive_read_support_format_iso9660(a);
    archive_read_support_format_cab(a);
    archive_read_support_format_lha(a);
    archive_read_support_format_rar(a);
    archive_read_support_format_rar5(a);
    archive_read_support_format_xar(a);
}

}  // namespace

bool ArchiveKind::singleFile() const { return (format & ARCHIVE_FORMAT_BASE_MASK) == ARCHIVE_FORMAT_RAW; }

bool ArchiveKind::rewritable() const {
    if (filterCount > 1) return false;
    switch (format & ARCHIVE_FORMAT_BASE_MASK) {
    case ARCHIVE_FORMAT_ZIP: case ARCHIVE_FORMAT_7ZIP: return filterCount == 0;
    case ARCHIVE_FORMAT_TAR: return true;
    // The binary and CRC cpio headers are read but not written.
    case ARCHIVE_FORMAT_CPIO:
        return filterCount == 0 && (format == ARCHIVE_FORMAT_CPIO_POSIX || format == ARCHIVE_FORMAT_CPIO_SVR4_NOCRC);
    default: return false;
    }
}

std::string ArchiveKind::name() const {
    if (singleFile()) return filterSuffix(filter);
    std::string text = formatName(format);
    if (filterCount) text += std::string(".") + filterSuffix(filter);
    return text;
}

std::unique_ptr<ArchiveReader> ArchiveReader::open(std::span<const uint8_t> bytes) {
    return mayHoldArchive(bytes) ? openWithoutLooking(bytes) : nullptr;
}

std::unique_ptr<ArchiveReader> ArchiveReader::openWithoutLooking(std::span<const uint8_t> bytes) {
    std::unique_ptr<ArchiveReader> reader = open(bytes, false);
    // Zeros read as the end of an empty tar: a compressed file that starts with them would
    // otherwise hide everything after them. It is one compressed file.
    if (reader && (reader->kind_.format & ARCHIVE_FORMAT_BASE_MASK) == ARCHIVE_FORMAT_TAR &&
        reader->firstHeader_ == ARCHIVE_EOF && reader->kind_.filterCount)
        return open(bytes, true);
    return reader;
}

std::unique_ptr<ArchiveReader> ArchiveReader::open(std::span<const uint8_t> bytes, bool rawOnly) {
    if (bytes.empty()) return nullptr;
    std::unique_ptr<ArchiveReader> reader(new ArchiveReader);
    reader->archive_ = archive_read_new();
    if (!reader->archive_) return nullptr;
    supportFormats(reader->archive_, rawOnly);
    if (archive_read_open_memory(reader->archive_, bytes.data(), bytes.size()) != ARCHIVE_OK) return nullptr;
    // The format is known only once the first header is read.
    reader->firstHeader_ = archive_read_next_header(reader->archive_, &reader->entry_);
    if (reader->firstHeader_ < ARCHIVE_WARN) return nullptr;
    ArchiveKind& kind = reader->kind_;
    kind.format = archive_format(reader->archive_);
    // Filter 0 is the outermost compression; the last one is always "none".
    kind.filterCount = std::max(0, archive_filter_count(reader->archive_) - 1);
    kind.filter = kind.filterCount ? archive_filter_code(reader->archive_, 0) : ARCHIVE_FILTER_NONE;
    if (!isReadFormat(kind.format) || (kind.filterCount && *filterSuffix(kind.filter) == '\0')) return nullptr;
    // Raw is any file at all: only a compressed one is a member to unpack (lz4 frames stay whole).
    if (kind.singleFile() && (kind.filterCount != 1 || kind.filter == ARCHIVE_FILTER_LZ4)) return nullptr;
    return reader;
}

ArchiveReader::~ArchiveReader() {
    if (archive_) archive_read_free(archive_);
}

void ArchiveReader::takeError() {
    const char* text = archive_error_string(archive_);
    error_ = text ? text : "the archive cannot be read";
}

ArchiveReader::Next ArchiveReader::next() {
    int status;
    if (firstPending_) {
        firstPending_ = false;
        status = firstHeader_;
    } else {
        status = archive_read_next_header(archive_, &entry_);
    }
    if (status == ARCHIVE_EOF) return Next::End;
    if (status < ARCHIVE_WARN) {
        takeError();
        return Next::Error;
    }
    return Next::Member;
}

std::string ArchiveReader::memberName() const {
    // The raw bytes first; converted forms only when the archive stores none.
    if (const char* name = archive_entry_pathname(entry_)) return name;
    if (const char* name = archive_entry_pathname_utf8(entry_)) return name;
    return {};
}

bool ArchiveReader::holdsData() const {
    const unsigned type = archive_entry_filetype(entry_);
    return (type == AE_IFREG || type == 0) && !archive_entry_hardlink(entry_);
}

bool ArchiveReader::encrypted() const { return archive_entry_is_encrypted(entry_); }

long ArchiveReader::read(uint8_t* buffer, size_t size) {
    const la_ssize_t got = archive_read_data(archive_, buffer, size);
    if (got < 0) {
        takeError();
        return -1;
    }
    return long(got);
}

}  // namespace host
