// How far the members of an archive are unpacked: the limits against archive bombs, checked
// while unpacking. A limit that stops the unpacking is said in the result ("limit reached:
// archive ..."): the input counts as not fully scanned, never as a silent OK.
#pragma once

#include <cstdint>

namespace host {

struct ArchiveLimits {
    unsigned maxDepth = 8;                // archives opened one inside another; 0 opens none
    uint64_t maxMembers = 10000;          // members read from one archive
    uint64_t maxUnpacked = 400ull << 20;  // bytes unpacked from one input, all depths together
    // Bytes unpacked from one archive for each byte of it, once past kRatioFloor; 0: no limit.
    uint64_t maxRatio = 250;
    static constexpr uint64_t kRatioFloor = 1ull << 20;  // small archives of text may pack tightly
};

}  // namespace host
