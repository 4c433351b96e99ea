// Zip comments carried from an archive into its rewrite.
//
// libarchive's zip writer writes neither the archive comment (after the end of the central
// directory) nor a member's comment (in its central directory header). These are put back
// into the rewrite's central directory here, member by member in order and by name.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace host {

enum class ZipCommentsCarried {
    None,     // the original has no comments: *rewritten is unchanged
    Carried,  // *rewritten holds the original's comments
    Refused,  // a central directory this code does not follow (ZIP64, damaged, cut short):
              // *rewritten is unchanged and the comments are not carried
};

// Puts the archive comment and each member's comment of the zip `original` into the zip
// `rewritten` (whose members are the original's in order, some perhaps left out). Every
// field is read with bounds checks; nothing past either buffer is read.
ZipCommentsCarried carryZipComments(std::span<const uint8_t> original, std::vector<uint8_t>* rewritten);

}  // namespace host
