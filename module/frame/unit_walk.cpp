#include "module/frame/unit_walk.h"

#include "module/toolkit/scan_report.h"

void KeptUnit::keep(CScanEXVirus* unit, const UnitTableEntry& row) {
    if (unit != m_unit) {
        delete m_unit;
        m_unit = unit;
    }
    m_unitClass = row.unitClass;
}

void KeptUnit::reset() {
    delete m_unit;
    m_unit = nullptr;
    m_unitClass = nullptr;
}

uint32_t KeptUnit::kill(STScanInfo* info, tagScanExParam* param) const {
    if (!m_unit) return KILL_FAILED;
    remedy::reportUnitStarted(m_unitClass);
    return m_unit->Kill(info, param);
}

UnitWalkResult walkUnitTable(const UnitTableEntry* table, STScanInfo* info, tagScanExParam* param,
                             IUnknown* stream, KeptUnit& kept) {
    for (const UnitTableEntry* row = table; row && row->create; ++row) {
        CScanEXVirus* unit = row->create();
        if (!unit) return {UnitWalkResult::kUnitNotCreated, nullptr};
        remedy::reportUnitStarted(row->unitClass);
        if (unit->NeedToScan(info) && unit->Scan(info, param) && unit->WorkIfVirus(stream, row->id)) {
            kept.keep(unit, *row);
            return {UnitWalkResult::kHit, row};
        }
        if (unit != kept.get()) delete unit;
    }
    return {};
}
