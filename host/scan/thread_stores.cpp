#include "host/scan/thread_stores.h"

#include "host/emulator/x86_cpu.h"
#include "host/qxbase/file_object.h"

namespace host {

ThreadStores::~ThreadStores() { X86Cpu::freeWarmBuffers(warmBuffers_); }

void ThreadStores::moveToThisThread() {
    FileObject::keepSpareBytes(std::move(fileBytes_));
    X86Cpu::keepWarmBuffers(std::move(warmBuffers_));
    fileBytes_ = {};
    warmBuffers_ = {};
}

void ThreadStores::moveFromThisThread() {
    fileBytes_ = FileObject::takeSpareBytes();
    X86Cpu::freeWarmBuffers(warmBuffers_);
    warmBuffers_ = X86Cpu::takeWarmBuffers();
}

}  // namespace host
