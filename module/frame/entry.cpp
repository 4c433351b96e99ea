// The module's exported entry point and its load-time set-up.
#include "module/frame/class_table.h"

namespace {
__attribute__((constructor)) void onModuleLoad() { initializeModule(); }
}  // namespace

extern "C" __attribute__((visibility("default"))) QRESULT QEGetClassObject(const GUID& classId,
                                                                          const GUID& interfaceId, void** out) {
    return getClassObject(classId, interfaceId, out);
}
