// Bounded reads over bytes the module got from a file. A range outside the data is an
// answer (false / nullopt), never a read past the buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>

namespace remedy {

// True when [offset, offset + length) lies inside a buffer of `size` bytes. Overflow-safe.
constexpr bool rangeInside(uint64_t offset, uint64_t length, uint64_t size) {
    return length <= size && offset <= size - length;
}

class ByteReader {
public:
    ByteReader() = default;
    ByteReader(const void* data, size_t size) : data_(static_cast<const uint8_t*>(data)), size_(data ? size : 0) {}
    explicit ByteReader(std::span<const uint8_t> bytes) : ByteReader(bytes.data(), bytes.size()) {}

    size_t size() const { return size_; }
    const uint8_t* data() const { return data_; }
    bool has(uint64_t offset, uint64_t length) const { return rangeInside(offset, length, size_); }

    std::optional<uint8_t> u8(uint64_t offset) const {
        if (!has(offset, 1)) return std::nullopt;
        return data_[offset];
    }
    std::optional<uint16_t> u16(uint64_t offset) const {
        if (!has(offset, 2)) return std::nullopt;
        return uint16_t(data_[offset] | (data_[offset + 1] << 8));
    }
    std::optional<uint32_t> u32(uint64_t offset) const {
        if (!has(offset, 4)) return std::nullopt;
        return uint32_t(data_[offset]) | (uint32_t(data_[offset + 1]) << 8) | (uint32_t(data_[offset + 2]) << 16) |
               (uint32_t(data_[offset + 3]) << 24);
    }
    std::optional<uint16_t> u16be(uint64_t offset) const {
        if (!has(offset, 2)) return std::nullopt;
        return uint16_t((data_[offset] << 8) | data_[offset + 1]);
    }
    std::optional<uint32_t> u32be(uint64_t offset) const {
        if (!has(offset, 4)) return std::nullopt;
        return (uint32_t(data_[offset]) << 24) | (uint32_t(data_[offset + 1]) << 16) |
               (uint32_t(data_[offset + 2]) << 8) | uint32_t(data_[offset + 3]);
    }
    // The span [offset, offset + length), or an empty optional when it does not fit.
    std::optional<std::span<const uint8_t>> span(uint64_t offset, uint64_t length) const {
        if (!has(offset, length)) return std::nullopt;
        return std::span<const uint8_t>(data_ + offset, size_t(length));
    }
    // Copies length bytes at offset into out; false (out untouched) when they do not fit.
    bool copy(uint64_t offset, void* out, uint64_t length) const {
        if (!has(offset, length)) return false;
        if (length) std::memcpy(out, data_ + offset, size_t(length));
        return true;
    }
    bool equals(uint64_t offset, const void* pattern, size_t length) const {
        return has(offset, length) && std::memcmp(data_ + offset, pattern, length) == 0;
    }

private:
    const uint8_t* data_ = nullptr;
    size_t size_ = 0;
};

// Little-endian loads from a fixed-size local buffer whose bounds the caller already knows.
inline uint16_t loadLe16(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }
inline uint32_t loadLe32(const uint8_t* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}
inline void storeLe16(uint8_t* p, uint16_t v) { p[0] = uint8_t(v); p[1] = uint8_t(v >> 8); }
inline void storeLe32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v); p[1] = uint8_t(v >> 8); p[2] = uint8_t(v >> 16); p[3] = uint8_t(v >> 24);
}

}  // namespace remedy
