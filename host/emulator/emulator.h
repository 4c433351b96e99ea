// The host's x86 emulator for one request over one file object (IExecExport).
// File operations act on the file object's bytes at once (the same store its stream shows);
// the program image is loaded only when an operation first needs it, so creating one for a
// file no unit runs costs next to nothing.
#pragma once

#include <memory>

#include "host/qxbase/file_object.h"
#include "sdk/exec_export.h"

namespace host {

class Emulator : public IExecExport {
public:
    // Never null. The emulator keeps a reference to the file for its lifetime.
    static std::unique_ptr<Emulator> create(FileObject* file);
    virtual ~Emulator() = default;
};

}  // namespace host
