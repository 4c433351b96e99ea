// The quarantine: originals kept before a repair or removal, each with a record that says what
// it was and where it came from, so it can be listed, restored and removed.
//
// The directory is 0700. Entry ID holds the original's bytes (mode 0600, whatever the original's
// mode was: never executable, never set-id) and ID.json its record. Both appear complete or not
// at all (written unnamed or under a temporary name, then linked); the record is made last, so an
// entry without one is incomplete and is listed as such.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "host/anchored_file.h"
#include "host/kept_metadata.h"

namespace host {

struct Verdict {
    std::string name, id, phase;  // "DOS.TmcBCOM", "0x00006551", "post-library"
};

struct QuarantineRecord {
    std::string id;
    std::string originalPath;  // exact bytes
    uint64_t device = 0, inode = 0, size = 0;
    uint32_t owner = 0, group = 0, mode = 0, inodeFlags = 0;
    int64_t accessedNs = 0, modifiedNs = 0, changedNs = 0;
    std::vector<std::pair<std::string, std::string>> attributes;  // as KeptMetadata keeps them
    std::string originalSha256;     // of the bytes kept
    std::string replacementSha256;  // of what took the original's place; empty for a removal
    Verdict verdict;
    std::string action;  // "repaired", "renamed" or "removed"
    int64_t quarantinedAt = 0;  // seconds since 1970
    std::string version;        // the remedy that made the entry
    bool complete = true;       // false: the bytes are there but the record is not (listing only)
};

class Quarantine {
public:
    // Opens `dir`, creating it (and its parents) 0700 when `create` is set. A directory that
    // belongs to another user (unless this is root) or that others may write to is refused. The
    // directory itself is never reached through a symbolic link.
    static bool open(const std::string& dir, bool create, Quarantine* out, std::string* error);

    const std::string& path() const { return path_; }
    int fd() const { return dir_.get(); }

    // Copies the file open on `sourceFd` (from offset 0, `record.size` bytes) into a new entry
    // and writes its record; fills record.id, originalSha256 and quarantinedAt. Nothing named
    // is left behind on failure.
    bool add(int sourceFd, QuarantineRecord* record, std::string* error);

    bool read(const std::string& id, QuarantineRecord* out, std::string* error) const;
    // Complete entries and incomplete ones, ordered by ID (which starts with the time).
    std::vector<QuarantineRecord> list() const;
    // Opens the entry's bytes for reading.
    UniqueFd openBytes(const std::string& id, std::string* error) const;
    // Removes the entry's bytes and record.
    bool remove(const std::string& id, std::string* error);

    std::string entryPath(const std::string& id) const { return path_ + "/" + id; }

private:
    UniqueFd dir_;
    std::string path_;
};

// A record of the file open on `fd` (named `path`, made absolute) with its `kept` metadata and
// this remedy's version; the caller adds the verdict, the action and the replacement's hash.
// False when the file cannot be examined.
bool describeForQuarantine(int fd, const std::string& path, const KeptMetadata& kept, QuarantineRecord* out);

// The record as ID.json holds it (one JSON object, one line), and read back. Reading refuses
// anything that is not such a record; what it reads, written again, reads back the same.
std::string quarantineRecordText(const QuarantineRecord& record);
bool parseQuarantineRecord(const std::string& text, QuarantineRecord* out);

// An ID as entries are named: digits, letters and '-' only (so it can never name a path).
bool validQuarantineId(const std::string& id);

}  // namespace host
