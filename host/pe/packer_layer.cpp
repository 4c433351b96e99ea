#include "host/pe/packer_layer.h"

#include "sdk/identifiers.h"

namespace host {

bool linkPackerLayer(FileObject* packed, FileObject* unpacked, bool knownPacker) {
    if (!unpacked->setParent(packed)) return false;
    if (knownPacker) {
        packed->setIntProperty(qe::PID_File_PackerJudeged, qe::VT_INT, 1);
        packed->setIntProperty(qe::PID_File_HasKnownPacker, qe::VT_INT, 1);
    } else {
        packed->DeleteProperty(qe::PID_File_PackerJudeged);
        packed->DeleteProperty(qe::PID_File_HasKnownPacker);
    }
    return true;
}

}  // namespace host
