#include "module/frame/scan_unit.h"

#include "module/toolkit/interface_ptr.h"
#include "sdk/host_services.h"
#include "sdk/identifiers.h"

using remedy::InterfacePtr;
using remedy::queryInterface;

CScanEXVirus::~CScanEXVirus() = default;
uint32_t CScanEXVirus::Scan(STScanInfo*, tagScanExParam*) { return 0; }
uint32_t CScanEXVirus::Kill(STScanInfo*, tagScanExParam*) { return KILL_FAILED; }
void CScanEXVirus::Reset() {}
uint32_t CScanEXVirus::NeedToScan(STScanInfo*) { return 1; }
uint32_t CScanEXVirus::WorkIfVirus(IUnknown*, unsigned int) { return 1; }

uint32_t CUnknownScanEXVirus::NeedToScan(STScanInfo* info) {
    if (!info) return 0;
    InterfacePtr<IQERunningObjectTable> table =
        queryInterface<IQERunningObjectTable>(info->rot, qe::IID_IQERunningObjectTable);
    if (!table) return 0;
    InterfacePtr<IUnknown> configObject;
    if (table->GetObject(qe::PID_ROT_EngineConfig, configObject.put()) < 0) return 0;
    InterfacePtr<IQEProperty2> config = queryInterface<IQEProperty2>(configObject.get(), qe::IID_IQEProperty2);
    const QEPROPVALUE* value = nullptr;
    if (!config || config->GetProperty(qe::CONFIG_HEURISTICS, &value) < 0 || !value) return 0;
    return value->uintVal != 0 ? 1 : 0;
}

uint32_t CSuspScanEXVirus::NeedToScan(STScanInfo*) { return 0; }
uint32_t CSuspScanEXVirus::WorkIfVirus(IUnknown*, unsigned int) { return 0; }
