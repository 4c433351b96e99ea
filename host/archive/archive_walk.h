// The members of an archive, unpacked one at a time and each scanned by the caller's one-file
// scan (host::FileScanner), nested archives included, within host::ArchiveLimits.
//
// Every member gets a ScanResult: scanned, or a note saying why not (encrypted, larger than
// the size allowed, damaged). The unpacking limits are counted while the bytes come out of
// the archive, so a bomb costs at most the bytes the limits allow, one member in memory at a
// time per depth.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "host/archive/archive_limits.h"
#include "host/archive/archive_reader.h"
#include "host/scan/scan_result.h"

namespace host {

// What is left to unpack for one input, shared by every archive nested in it.
struct UnpackState {
    unsigned depth = 0;         // archives around the input being scanned
    uint64_t unpackedLeft = 0;  // bytes that may still come out of archives
};

// A member's bytes, its name and the state to scan it with; returns its result (and, for a
// member that is an archive itself, the members inside it in `inside`).
using MemberScan = std::function<ScanResult(std::vector<uint8_t> bytes, const std::string& name, UnpackState& state)>;

// A change a repair made to one member, by its position among the archive's entries.
struct MemberChange {
    size_t entry = 0;
    bool remove = false;
    std::vector<uint8_t> bytes;  // the repaired contents, when not removed
};

struct ArchiveWalk {
    bool isArchive = false;
    ArchiveKind kind;
    std::vector<ScanResult> members;    // every member at every depth, in archive order, a nested
                                        // archive after its own members
    std::vector<std::string> limits;    // unpacking limits reached here or in a nested archive
    std::vector<std::string> notes;     // why a member or the rest of the archive was not read
    bool everyMemberRead = true;        // all members read to their end (a rewrite may copy them)
    std::vector<MemberChange> changes;  // repairs of this archive's own members
};

// The archive in `bytes` (named `name`), when it is one of the formats ArchiveReader opens.
// `maxMemberSize`: a larger member is not scanned (it is noted and its bytes are counted).
ArchiveWalk walkArchive(std::span<const uint8_t> bytes, const std::string& name, const ArchiveLimits& limits,
                        uint64_t maxMemberSize, UnpackState& state, const MemberScan& scan);

// The name a member is known by; empty names and a single compressed file's get one made
// from the archive's name ("a.com.gz" holds "a.com").
std::string memberDisplayName(const std::string& stored, const std::string& archiveName, const ArchiveKind& kind,
                              size_t entry);

}  // namespace host
