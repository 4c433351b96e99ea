// The module's class table: the three creatable engines, filled when the module is loaded.
#pragma once

#include "sdk/engine.h"

using GetClassObjectFn = QRESULT (*)(const GUID& interfaceId, void** out);

struct ClassTableRow {
    GUID classId;
    GetClassObjectFn getClassObject;
};

// Sets the C library's locale for all categories from the environment and fills the class
// table. Run once when the module is loaded.
void initializeModule();

// Hands out the class factory of `classId` as `interfaceId`. QE_E_INVALIDARG, with *out
// untouched, for a class the table does not hold (the unknown-virus engine included).
QRESULT getClassObject(const GUID& classId, const GUID& interfaceId, void** out);
