// Packer layers: a file object that is the unpacked image of a packed file. The unpacked
// object's stream leads to the packed one (IQXStream::GetParentArchive), and the packed
// object's stream carries PID_File_PackerJudeged and PID_File_HasKnownPacker when the host
// judged it a known packer.
#pragma once

#include "host/qxbase/file_object.h"

namespace host {

// Makes `unpacked` the image unpacked from `packed` and, when `knownPacker`, marks `packed` as
// a recognised packer layer. Without the marks `packed` is an ordinary container. False, and
// nothing changed, when the link would make a loop of layers.
bool linkPackerLayer(FileObject* packed, FileObject* unpacked, bool knownPacker = true);

}  // namespace host
