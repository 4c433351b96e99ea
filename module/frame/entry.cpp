// The module's exported entry point.
#include "sdk/engine.h"

extern "C" __attribute__((visibility("default"))) QRESULT QEGetClassObject(const GUID& classId, const GUID& interfaceId,
                                                                          void** out) {
    (void)classId;
    (void)interfaceId;
    (void)out;
    return QE_E_INVALIDARG;
}
