#include "module/units/win32/magistr_g.h"

#include <algorithm>
#include <array>

#include "module/toolkit/byte_reader.h"
#include "module/toolkit/emulated_file.h"
#include "module/toolkit/pe_header.h"

using namespace remedy;

namespace {

// From the address where the worm starts executing.
constexpr uint32_t kDataRvaAt = 255;
constexpr uint32_t kBitCountAt = 297;
constexpr uint32_t kSavedEntryAt = 631;

constexpr uint32_t kCompressedLength = 4096;
constexpr uint32_t kOutputLength = 8192;
constexpr int32_t kWindow = 1024;

// Bits least significant first, fields in stream order; refuses bits at or past the end.
class BitStream {
public:
    BitStream(std::span<const uint8_t> data, uint32_t bits)
        : data_(data), end_(uint32_t(std::min<uint64_t>(bits, uint64_t(data.size()) * 8))) {}
    bool more() const { return position_ < end_; }
    std::optional<uint32_t> read(uint32_t count) {
        uint32_t value = 0;
        for (uint32_t i = 0; i < count; ++i) {
            if (position_ >= end_) return std::nullopt;
            value |= uint32_t((data_[position_ / 8] >> (position_ % 8)) & 1) << i;
            ++position_;
        }
        return value;
    }

private:
    std::span<const uint8_t> data_;
    uint32_t end_;
    uint32_t position_ = 0;
};

}  // namespace

std::optional<std::vector<uint8_t>> DecompressMagistrEntry(std::span<const uint8_t> compressed, uint32_t bits,
                                                           uint32_t maxOutput) {
    // A stream that claims more bits than its buffer holds is outside the format: refused.
    if (uint64_t(bits) > uint64_t(compressed.size()) * 8) return std::nullopt;
    BitStream in(compressed, bits);
    std::vector<uint8_t> out;
    int32_t window = -kWindow;
    while (in.more()) {
        const auto flag = in.read(1);
        if (!flag) return std::nullopt;
        if (*flag == 0) {
            const auto byte = in.read(8);
            if (!byte || out.size() >= maxOutput) return std::nullopt;
            out.push_back(uint8_t(*byte));
            ++window;
            continue;
        }
        const auto offset = in.read(10);
        const auto longFlag = in.read(1);
        if (!offset || !longFlag) return std::nullopt;
        uint32_t extension = 0;
        if (*longFlag) {
            for (;;) {  // bounded by the stream's bits
                const auto bit = in.read(1);
                if (!bit) return std::nullopt;
                ++extension;
                if (*bit == 0) break;
            }
        }
        const auto low = in.read(3);
        if (!low) return std::nullopt;
        const uint64_t length = uint64_t(*low) + 8ull * extension + 1;
        const uint64_t source = uint64_t(std::max(0, window)) + *offset;
        if (out.size() + length > maxOutput || source >= out.size()) return std::nullopt;
        // Copied from the lowest byte up, so a match may repeat the bytes it produces.
        for (uint64_t k = 0; k < length; ++k) out.push_back(out[size_t(source + k)]);
        window += int32_t(length);
    }
    return out;
}

uint32_t CKillWormMagistr_g::Kill(STScanInfo*, tagScanExParam* param) {
    IExecExport* emu = emulatorOf(param);
    CPEHeander* headers = param ? param->peHeaders : nullptr;
    if (!emu || !headers) return KILL_FAILED;
    uint32_t size = 0;
    if (!fileSize(*emu, &size)) return KILL_FAILED;
    const uint32_t worm = emu->GetIP();
    const uint32_t imageBase = emu->GetImageBase();
    uint32_t entry = 0;
    if (!fileOffsetOf(*emu, imageBase + headers->optionalHeader.AddressOfEntryPoint, &entry)) return KILL_FAILED;

    uint8_t word[4];
    uint32_t dataRva = 0, bitCount = 0, savedEntry = 0;
    if (!readMemory(*emu, worm + kDataRvaAt, word, 4)) return KILL_FAILED;
    dataRva = loadLe32(word);
    if (!readMemory(*emu, worm + kBitCountAt, word, 4)) return KILL_FAILED;
    bitCount = loadLe32(word);
    if (!readMemory(*emu, worm + kSavedEntryAt, word, 4)) return KILL_FAILED;
    savedEntry = loadLe32(word);

    uint32_t body = 0;
    if (!fileOffsetOf(*emu, imageBase + dataRva, &body) || size < body) return KILL_FAILED;
    std::array<uint8_t, kCompressedLength> compressed{};
    emu->ReadMemory(imageBase + dataRva, compressed.data(), kCompressedLength);
    const auto code = DecompressMagistrEntry(compressed, bitCount, kOutputLength);
    if (!code || code->empty()) return KILL_FAILED;
    if (!writeFile(*emu, code->data(), entry, uint32_t(code->size()))) return KILL_FAILED;

    headers->optionalHeader.AddressOfEntryPoint = savedEntry;
    if (!headers->Dump()) return KILL_FAILED;
    // Without the cut the worm's body stays appended: the repair did not happen.
    return emu->CutFile(body, size - body) ? KILL_REPAIRED : KILL_FAILED;
}
