// Writing an archive again with some members repaired or left out, through libarchive's writer.
//
// Every other member keeps its name, contents, order, times, permissions, owner and whatever
// else libarchive carries in its header, and a zip's archive and member comments (see
// zip_comments.h); compressed data may be compressed again. The new archive is read back, member by member, and must hold exactly what
// was written before its bytes are handed out.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "host/archive/archive_walk.h"

namespace host {

// The archive in `original` (a rewritable kind, see ArchiveKind::rewritable) with `changes`
// (in entry order) applied, in *out. False with *error when it cannot be written or does not
// read back the same; *out is then empty.
bool rewriteArchive(std::span<const uint8_t> original, const std::vector<MemberChange>& changes,
                    std::vector<uint8_t>* out, std::string* error);

}  // namespace host
