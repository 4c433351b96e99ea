#include "host/host_classes.h"

#include "host/emulator/vm.h"
#include "host/emulator/x86_assembler.h"
#include "host/pe/pe_archive.h"
#include "sdk/identifiers.h"

namespace host {

namespace {
const HostClass kHostClasses[] = {
    {&qe::CLSID_CQEPEArchive, createPeArchive},
    {&qe::CLSID_CQEVM, createVm},
    {&qe::CLSID_CQEX86Assembler, createX86Assembler},
};
}  // namespace

void registerHostClasses(ObjectLoader& loader) {
    for (const HostClass& c : kHostClasses) loader.registerClass(*c.clsid, c.create);
}

}  // namespace host
