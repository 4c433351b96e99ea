// Fuzz targets for the host's own records.
#include <cstdlib>
#include <string>

#include "fuzz/fuzz_targets.h"
#include "host/quarantine.h"
#include "host/unit_listing.h"

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

// A listing that reads holds rows that read again alone, each to the same row, and a name
// lookup answers for every identifier it holds.
int unitListing(const uint8_t* data, size_t size) {
    const auto listing = host::UnitListing::parse(std::string(reinterpret_cast<const char*>(data), size), "fuzz", nullptr);
    if (!listing) return 0;
    for (const host::UnitListingRow& row : listing->rows()) {
        const auto again = host::UnitListing::parse(row.line, "row", nullptr);
        if (!again || again->rows().size() != 1) std::abort();
        const host::UnitListingRow& same = again->rows()[0];
        if (same.table != row.table || same.row != row.row || same.key != row.key || same.id != row.id ||
            same.built != row.built || same.unitClass != row.unitClass || same.name != row.name)
            std::abort();
        if (row.key == host::UnitListingRow::Key::Virus && row.id != 0 && listing->nameOf(row.id).empty()) std::abort();
    }
    return 0;
}

}  // namespace fuzz
