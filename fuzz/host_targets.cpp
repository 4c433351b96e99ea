// Fuzz targets for the host's own records.
#include <cstdlib>
#include <string>

#include "fuzz/fuzz_targets.h"
#include "host/quarantine.h"

namespace fuzz {

// A record that reads must survive being written and read again: the exact fields (path,
// attributes, numbers) at once, every field from the second round on (readable text is
// normalised to UTF-8 once).
int quarantineRecord(const uint8_t* data, size_t size) {
    host::QuarantineRecord first, second, third;
    if (!host::parseQuarantineRecord(std::string(reinterpret_cast<const char*>(data), size), &first)) return 0;
    const std::string text = host::quarantineRecordText(first);
    if (!host::parseQuarantineRecord(text, &second)) std::abort();
    if (second.originalPath != first.originalPath || second.attributes != first.attributes ||
        second.size != first.size || second.inode != first.inode || second.modifiedNs != first.modifiedNs)
        std::abort();
    if (!host::parseQuarantineRecord(host::quarantineRecordText(second), &third) ||
        host::quarantineRecordText(third) != host::quarantineRecordText(second))
        std::abort();
    return 0;
}

}  // namespace fuzz
