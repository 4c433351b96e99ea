#include "host/archive/archive_rewrite.h"

#include <archive.h>
#include <archive_entry.h>

#include <array>
#include <memory>

#include "host/archive/zip_comments.h"
#include "host/sha256.h"

namespace host {

namespace {

// What was written for one entry, to compare with what reads back.
struct WrittenEntry {
    std::string name;
    unsigned type = 0;
    uint64_t size = 0;
    std::array<uint8_t, 32> digest{};
};

std::array<uint8_t, 32> digestOf(const std::vector<uint8_t>& bytes) {
    Sha256 sha;
    sha.add(bytes.data(), bytes.size());
    return sha.finish();
}

// The whole of the current member. Its size was already allowed by the walk that scanned it.
bool readWhole(ArchiveReader& reader, std::vector<uint8_t>& bytes, std::string* error) {
    std::array<uint8_t, 64 * 1024> block;
    for (;;) {
        const long got = reader.read(block.data(), block.size());
        if (got < 0) {
            *error = "a member cannot be read: " + reader.error();
            return false;
        }
        if (got == 0) return true;
        bytes.insert(bytes.end(), block.begin(), block.begin() + got);
    }
}

bool isZip(const ArchiveKind& kind) { return (kind.format & ARCHIVE_FORMAT_BASE_MASK) == ARCHIVE_FORMAT_ZIP; }

struct WriterDeleter {
    void operator()(struct archive* a) const { archive_write_free(a); }
};
struct EntryDeleter {
    void operator()(archive_entry* e) const { archive_entry_free(e); }
};

la_ssize_t appendBytes(struct archive*, void* client, const void* buffer, size_t length) {
    auto* out = static_cast<std::vector<uint8_t>*>(client);
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    out->insert(out->end(), bytes, bytes + length);
    return la_ssize_t(length);
}

std::string writerError(struct archive* a) {
    const char* text = archive_error_string(a);
    return std::string("the archive cannot be written: ") + (text ? text : "unknown fault");
}

bool writeAll(std::span<const uint8_t> original, const ArchiveKind& kind, const std::vector<MemberChange>& changes,
              std::vector<uint8_t>* out, std::vector<WrittenEntry>* written, std::string* error) {
    std::unique_ptr<ArchiveReader> reader = ArchiveReader::open(original);
    std::unique_ptr<struct archive, WriterDeleter> writer(archive_write_new());
    if (!reader || !writer) {
        *error = "the archive cannot be opened again";
        return false;
    }
    if (archive_write_set_format(writer.get(), kind.format) != ARCHIVE_OK ||
        (kind.filterCount && archive_write_add_filter(writer.get(), kind.filter) != ARCHIVE_OK) ||
        // Compressed output ends with the compressed stream: zeros padded after it are not
        // what compressors write, and some decoders refuse them.
        // A zip ends with its end record, where readers look for it and its comment.
        ((kind.filterCount || isZip(kind)) && archive_write_set_bytes_in_last_block(writer.get(), 1) != ARCHIVE_OK) ||
        archive_write_open(writer.get(), out, nullptr, appendBytes, nullptr) != ARCHIVE_OK) {
        *error = writerError(writer.get());
        return false;
    }
    auto change = changes.begin();
    for (size_t entry = 0;; ++entry) {
        const ArchiveReader::Next next = reader->next();
        if (next == ArchiveReader::Next::End) break;
        if (next == ArchiveReader::Next::Error) {
            *error = "the archive cannot be read again: " + reader->error();
            return false;
        }
        const MemberChange* changed = change != changes.end() && change->entry == entry ? &*change++ : nullptr;
        if (changed && changed->remove) continue;
        std::unique_ptr<archive_entry, EntryDeleter> header(archive_entry_clone(reader->entry()));
        std::vector<uint8_t> bytes;
        if (changed) bytes = changed->bytes;
        else if (!readWhole(*reader, bytes, error)) return false;
        const bool regular = reader->holdsData();
        if (regular) archive_entry_set_size(header.get(), la_int64_t(bytes.size()));
        if (archive_write_header(writer.get(), header.get()) < ARCHIVE_WARN) {
            *error = writerError(writer.get());
            return false;
        }
        if (regular && !bytes.empty() &&
            archive_write_data(writer.get(), bytes.data(), bytes.size()) != la_ssize_t(bytes.size())) {
            *error = writerError(writer.get());
            return false;
        }
        written->push_back({reader->memberName(), archive_entry_filetype(header.get()), bytes.size(), digestOf(bytes)});
    }
    if (change != changes.end()) {
        *error = "a repaired member is not in the archive any more";
        return false;
    }
    if (archive_write_close(writer.get()) != ARCHIVE_OK) {
        *error = writerError(writer.get());
        return false;
    }
    return true;
}

// Reads `rewritten` through and compares each entry with what was written.
bool readsBackTheSame(std::span<const uint8_t> rewritten, const ArchiveKind& kind,
                      const std::vector<WrittenEntry>& written, std::string* error) {
    const std::string differs = "the rewritten archive does not read back as written: ";
    std::unique_ptr<ArchiveReader> reader = ArchiveReader::open(rewritten);
    if (!reader) {
        *error = differs + "it does not open";
        return written.empty();
    }
    if ((reader->kind().format & ARCHIVE_FORMAT_BASE_MASK) != (kind.format & ARCHIVE_FORMAT_BASE_MASK)) {
        *error = differs + "it opens as " + reader->kind().name();
        return false;
    }
    size_t index = 0;
    for (;;) {
        const ArchiveReader::Next next = reader->next();
        if (next == ArchiveReader::Next::End) break;
        if (next == ArchiveReader::Next::Error) {
            *error = differs + reader->error();
            return false;
        }
        if (index == written.size()) {
            *error = differs + "it holds more members";
            return false;
        }
        std::vector<uint8_t> bytes;
        if (!readWhole(*reader, bytes, error)) return false;
        const WrittenEntry& expected = written[index++];
        const bool regular = reader->holdsData();
        if (reader->memberName() != expected.name || archive_entry_filetype(reader->entry()) != expected.type ||
            (regular && (bytes.size() != expected.size || digestOf(bytes) != expected.digest))) {
            *error = differs + "member " + std::to_string(index) + " differs";
            return false;
        }
    }
    if (index == written.size()) return true;
    *error = differs + "it holds fewer members";
    return false;
}

}  // namespace

bool rewriteArchive(std::span<const uint8_t> original, const std::vector<MemberChange>& changes,
                    std::vector<uint8_t>* out, std::string* error) {
    out->clear();
    std::unique_ptr<ArchiveReader> probe = ArchiveReader::open(original);
    if (!probe || !probe->kind().rewritable()) {
        *error = "archive cannot be rewritten";
        return false;
    }
    const ArchiveKind kind = probe->kind();
    probe.reset();
    std::vector<WrittenEntry> written;
    const bool wrote = writeAll(original, kind, changes, out, &written, error);
    // libarchive writes no zip comments; a zip whose directory is not followed keeps none.
    if (wrote && isZip(kind)) carryZipComments(original, out);
    if (!wrote || !readsBackTheSame(*out, kind, written, error)) {
        std::vector<uint8_t>().swap(*out);
        return false;
    }
    return true;
}

}  // namespace host
