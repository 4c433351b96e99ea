// The host classes the object loader of a default running-object table can create.
#pragma once

#include "host/services.h"

namespace host {

struct HostClass {
    const GUID* clsid;
    HostClassCreator create;
};

// Registers every host class with the loader.
void registerHostClasses(ObjectLoader& loader);

}  // namespace host
