// The memory a scanning thread keeps for its next file: the last file's byte store and the
// emulator's warm buffers. A scan slot (engines and a share of the memory budget) that
// different threads take in turn carries them, so what one slot keeps is counted once and
// no thread that scanned once keeps memory after it has handed the slot on.
#pragma once

#include <cstdint>
#include <vector>

namespace host {

class ThreadStores {
public:
    ThreadStores() = default;
    ~ThreadStores();  // frees what it carries
    ThreadStores(const ThreadStores&) = delete;
    ThreadStores& operator=(const ThreadStores&) = delete;

    // Gives the calling thread what this carries (the thread's own stores are freed first).
    void moveToThisThread();
    // Takes the calling thread's stores.
    void moveFromThisThread();

private:
    std::vector<uint8_t> fileBytes_;
    std::vector<uint8_t*> warmBuffers_;
};

}  // namespace host
