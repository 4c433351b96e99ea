// Shared helpers of the emulator tests: a file object over some bytes and its emulator.
#pragma once

#include <memory>

#include "host/emulator/emulator.h"
#include "host/qxbase/file_object.h"
#include "tests/fixtures/bytes.h"

namespace emutest {

constexpr uint32_t kPsp = 0x1000;
constexpr uint32_t kComEntry = kPsp * 16 + 0x100;

struct Loaded {
    host::FileObject* file = nullptr;
    std::unique_ptr<host::Emulator> emu;

    explicit Loaded(fixtures::Bytes bytes)
        : file(host::FileObject::fromBytes(std::move(bytes))), emu(host::Emulator::create(file)) {}
    ~Loaded() {
        emu.reset();
        file->Release();
    }
    Loaded(const Loaded&) = delete;
    Loaded& operator=(const Loaded&) = delete;
    IExecExport& x() { return *emu; }
    host::ByteView bytes() const { return file->bytes(); }
};

inline fixtures::Bytes asmProgram(const char* name) { return fixtures::loadAsm(std::string("emulator/") + name); }

}  // namespace emutest
