// An instruction-length service on Zydis for the junk-code tests, counting how often it is
// asked. Lives on the test's stack.
#pragma once

#include <Zydis/Zydis.h>

#include "sdk/host_services.h"
#include "sdk/identifiers.h"

namespace toolkit_test {

class ZydisLengths final : public IQEX86Assembler {
public:
    ZydisLengths() { ZydisDecoderInit(&decoder_, ZYDIS_MACHINE_MODE_LEGACY_32, ZYDIS_STACK_WIDTH_32); }
    QRESULT QueryInterface(const GUID& iid, void** out) override {
        if (iid != qe::IID_IUnknown && iid != qe::IID_IQEX86Assembler) return QE_E_NOINTERFACE;
        *out = static_cast<IQEX86Assembler*>(this);
        return QE_OK;
    }
    uint32_t AddRef() override { return 2; }
    uint32_t Release() override { return 1; }
    uint32_t GetInstructionLength(const void* code, uint32_t available, uint32_t) override {
        ++calls;
        if (failAll) return 0;
        ZydisDecodedInstruction instruction;
        if (!ZYAN_SUCCESS(ZydisDecoderDecodeInstruction(&decoder_, nullptr, code, available, &instruction))) return 0;
        return instruction.length;
    }
    int calls = 0;
    bool failAll = false;

private:
    ZydisDecoder decoder_;
};

}  // namespace toolkit_test
