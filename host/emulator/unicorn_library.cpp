#include "host/emulator/unicorn_library.h"

#include <dlfcn.h>

#include <mutex>

namespace host {

namespace {

UnicornLibrary loaded{};
const UnicornLibrary* available = nullptr;

template <typename Function>
bool find(void* library, const char* name, Function* out) {
    *out = reinterpret_cast<Function>(::dlsym(library, name));
    return *out != nullptr;
}

}  // namespace

const UnicornLibrary* UnicornLibrary::load() {
    static std::once_flag once;
    std::call_once(once, [] {
        // Kept for the life of the process: engines may run until it ends.
        void* library = ::dlopen("libunicorn.so.2", RTLD_NOW | RTLD_LOCAL);
        if (!library) return;
        UnicornLibrary& u = loaded;
        if (find(library, "uc_open", &u.open) && find(library, "uc_close", &u.close) &&
            find(library, "uc_hook_add", &u.hook_add) && find(library, "uc_mem_map_ptr", &u.mem_map_ptr) &&
            find(library, "uc_mem_unmap", &u.mem_unmap) && find(library, "uc_mem_write", &u.mem_write) &&
            find(library, "uc_reg_read", &u.reg_read) && find(library, "uc_reg_write", &u.reg_write) &&
            find(library, "uc_emu_start", &u.emu_start) && find(library, "uc_emu_stop", &u.emu_stop) &&
            find(library, "uc_ctl", &u.ctl))
            available = &loaded;
    });
    return available;
}

const UnicornLibrary& unicorn() { return loaded; }

}  // namespace host
