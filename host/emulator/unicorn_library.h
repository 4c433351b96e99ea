// libunicorn, loaded when the first emulator engine starts rather than when remedy starts:
// linked, its relocations and constructors cost every start of the command about 3 ms (most
// of a start), and most runs never emulate anything.
#pragma once

#include <unicorn/unicorn.h>

namespace host {

// The library's functions the emulator calls.
struct UnicornLibrary {
    decltype(&uc_open) open;
    decltype(&uc_close) close;
    decltype(&uc_hook_add) hook_add;
    decltype(&uc_mem_map_ptr) mem_map_ptr;
    decltype(&uc_mem_unmap) mem_unmap;
    decltype(&uc_mem_write) mem_write;
    decltype(&uc_reg_read) reg_read;
    decltype(&uc_reg_write) reg_write;
    decltype(&uc_emu_start) emu_start;
    decltype(&uc_emu_stop) emu_stop;
    decltype(&uc_ctl) ctl;

    // Loads the library once for the process; null when it cannot be loaded or lacks one of
    // the functions (no engine can start then: every emulation fails as an engine that does
    // not open).
    static const UnicornLibrary* load();
};

// The loaded library: only for code that holds a started engine, which loaded it.
const UnicornLibrary& unicorn();

}  // namespace host
