// The unknown-virus unit, the only row of the heuristic table: it names viruses that have no
// unit of their own by the strings found in the unpacked sections of a packed program.
#pragma once

#include <span>

#include "module/formats/string_dump.h"
#include "module/frame/scan_unit.h"

// Scans the sections of a file unpacked from a recognised packer layer with the string-dump
// scanner; a definition whose strings are all present names the virus.
class CScanUnknownVirus : public CUnknownScanEXVirus {
public:
    static CScanEXVirus* CreateScanExUnit() { return createScanExUnit<CScanUnknownVirus>(); }
    uint32_t Scan(STScanInfo* info, tagScanExParam* param) override;
    // Removes the file, except for the one identifier that is never removed.
    uint32_t Kill(STScanInfo* info, tagScanExParam* param) override;

    // The definitions the unit scans with: the shipped ones unless a host installs its own
    // (the span must outlive every scan). Not synchronised: install before scanning.
    static void SetDefinitions(std::span<const tagStrScanMethod> definitions);

    uint32_t lastIdentifier() const { return m_lastId; }

private:
    uint32_t m_lastId = 0;
};
