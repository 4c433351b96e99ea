// A file mapped read-only in place of a copy, and what happens when another process cuts the
// file while it is mapped.
//
// Touching a mapped page past a file's new end raises SIGBUS. The first mapping installs a
// SIGBUS handler that looks the faulting address up in a fixed table of live mappings: inside
// one, it puts zero pages over the rest of that mapping, marks it truncated and returns, so the
// access reads zeros and the code reading (a module, YARA, the emulator) runs on to its end with
// nothing skipped. The owner asks truncated() afterwards and treats the bytes as unreadable. A
// SIGBUS anywhere else goes to the handler installed before (a sanitizer's), or kills the
// process as it would have without this one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace host {

class MappedFile {
public:
    MappedFile() = default;
    MappedFile(MappedFile&& other) noexcept;
    MappedFile& operator=(MappedFile&& other) noexcept;
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;
    ~MappedFile() { unmap(); }

    // Maps the first `size` bytes (more than 0) of the file open on `fd`, read-only and private.
    // Empty (mapped() false) when mmap fails or the table of live mappings is full: the caller
    // reads the file instead. Pages come in as they are first read: many scans read only a
    // file's head and a few pieces of it, and populating every page up front measured slower
    // and made the whole file resident.
    static MappedFile map(int fd, size_t size);

    bool mapped() const { return slot_ >= 0; }
    std::span<const uint8_t> bytes() const { return {start_, size_}; }
    // True once a page past the file's end was touched (it read as zeros). Stays set after unmap.
    bool truncated() const;
    // Ends the mapping; bytes() is empty afterwards.
    void unmap();
    // Appends the bytes to `to` (room reserved for them) and ends the mapping. The pages are let
    // go piece by piece as they are copied, so the file's pages and the copy are never both
    // resident whole.
    void copyOutAndUnmap(std::vector<uint8_t>& to);

    // How many mappings may be live at once in the process.
    static constexpr int kMaxMappings = 256;

private:
    const uint8_t* start_ = nullptr;
    size_t size_ = 0;
    int slot_ = -1;
    bool truncated_ = false;  // what the slot said when the mapping ended
};

}  // namespace host
