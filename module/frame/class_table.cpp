#include "module/frame/class_table.h"

#include <clocale>

#include "module/frame/class_factory.h"
#include "module/frame/kill_engine.h"
#include "module/frame/scan_engine.h"
#include "module/frame/unknown_engine.h"
#include "sdk/identifiers.h"

namespace {
constexpr int kClassCount = 3;
// Rows in the order QEGetClassObject compares them. The unknown-virus engine has no row: the
// post-library factory creates it when asked for IQEEngine (see unknown_engine.h).
ClassTableRow g_classTable[kClassCount];
}  // namespace

void initializeModule() {
    std::setlocale(LC_ALL, "");
    g_classTable[0] = {qe::CLSID_CQEEngineScanExPost, &TStdClsFactory<CQEEngineScanExPost, CQEEngineUnkVirusEx>::GetClassObject};
    g_classTable[1] = {qe::CLSID_CQEEngineScanExPre, &TStdClsFactory<CQEEngineScanExPre>::GetClassObject};
    g_classTable[2] = {qe::CLSID_CQEEngineKillEx, &TStdClsFactory<CQEEngineKillEx>::GetClassObject};
}

QRESULT getClassObject(const GUID& classId, const GUID& interfaceId, void** out) {
    for (const ClassTableRow& row : g_classTable)
        if (row.getClassObject && row.classId == classId) return row.getClassObject(interfaceId, out);
    return QE_E_INVALIDARG;
}
