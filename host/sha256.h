// SHA-256 (FIPS 180-4), for the quarantine's record of what was kept and what replaced it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace host {

class Sha256 {
public:
    Sha256();
    void add(const uint8_t* data, size_t size);
    std::array<uint8_t, 32> finish();  // the object is spent afterwards
    std::string finishHex();           // lower-case, 64 characters

    static std::string hex(const uint8_t* data, size_t size);

private:
    void block(const uint8_t* p);
    std::array<uint32_t, 8> state_;
    std::array<uint8_t, 64> pending_{};
    size_t pendingSize_ = 0;
    uint64_t totalBytes_ = 0;
};

}  // namespace host
