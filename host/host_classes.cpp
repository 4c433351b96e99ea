#include "host/host_classes.h"

#include "host/pe/pe_archive.h"
#include "sdk/identifiers.h"

namespace host {

namespace {
const HostClass kHostClasses[] = {
    {&qe::CLSID_CQEPEArchive, createPeArchive},
};
}  // namespace

void registerHostClasses(ObjectLoader& loader) {
    for (const HostClass& c : kHostClasses) loader.registerClass(*c.clsid, c.create);
}

}  // namespace host
