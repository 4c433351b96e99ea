// The host's instruction-length service, counting how often it is asked and able to refuse
// every instruction. Lives on the test's stack.
#pragma once

#include "host/emulator/x86_assembler.h"
#include "module/toolkit/interface_ptr.h"
#include "sdk/identifiers.h"

namespace toolkit_test {

class CountingAssembler final : public IQEX86Assembler {
public:
    CountingAssembler() { host::createX86Assembler(nullptr, qe::IID_IQEX86Assembler, host_.putVoid()); }
    QRESULT QueryInterface(const GUID& iid, void** out) override {
        if (iid != qe::IID_IUnknown && iid != qe::IID_IQEX86Assembler) return QE_E_NOINTERFACE;
        *out = static_cast<IQEX86Assembler*>(this);
        return QE_OK;
    }
    uint32_t AddRef() override { return 2; }
    uint32_t Release() override { return 1; }
    uint32_t GetInstructionLength(const void* code, uint32_t available, uint32_t bits) override {
        ++calls;
        return failAll || !host_ ? 0 : host_->GetInstructionLength(code, available, bits);
    }
    int calls = 0;
    bool failAll = false;

private:
    remedy::InterfacePtr<IQEX86Assembler> host_;
};

}  // namespace toolkit_test
