#include "host/emulator/x86_assembler.h"

#include <Zydis/Zydis.h>

#include <atomic>
#include <new>

#include "host/qxbase/ref_count.h"
#include "sdk/identifiers.h"

namespace host {

namespace {

class X86Assembler final : public IQEX86Assembler {
public:
    X86Assembler() {
        ZydisDecoderInit(&decoder16_, ZYDIS_MACHINE_MODE_REAL_16, ZYDIS_STACK_WIDTH_16);
        ZydisDecoderInit(&decoder32_, ZYDIS_MACHINE_MODE_LEGACY_32, ZYDIS_STACK_WIDTH_32);
    }

    QRESULT QueryInterface(const GUID& iid, void** out) override {
        return answerInterface<X86Assembler, IQEX86Assembler>(this, qe::IID_IQEX86Assembler, iid, out);
    }
    uint32_t AddRef() override { return refs_.add(); }
    uint32_t Release() override {
        const uint32_t left = refs_.release();
        if (left == 0) delete this;
        return left;
    }

    // 0 for bytes that do not decode, are cut short by `available`, or another width.
    uint32_t GetInstructionLength(const void* code, uint32_t available, uint32_t bits) override {
        if (!code || available == 0 || (bits != 16 && bits != 32)) return 0;
        ZydisDecodedInstruction instruction;
        const ZydisDecoder* decoder = bits == 16 ? &decoder16_ : &decoder32_;
        // The instruction alone: no operand decoding needed for its length.
        if (!ZYAN_SUCCESS(ZydisDecoderDecodeInstruction(decoder, nullptr, code, available, &instruction))) return 0;
        return instruction.length;
    }

private:
    ~X86Assembler() = default;

    RefCount refs_;
    ZydisDecoder decoder16_;
    ZydisDecoder decoder32_;
};

}  // namespace

QRESULT createX86Assembler(IUnknown*, const GUID& iid, void** out) {
    if (!out) return QE_E_INVALIDARG;
    *out = nullptr;
    auto* service = new (std::nothrow) X86Assembler();
    if (!service) return QE_E_OUTOFMEMORY;
    const QRESULT result = service->QueryInterface(iid, out);
    service->Release();
    return result;
}

}  // namespace host
