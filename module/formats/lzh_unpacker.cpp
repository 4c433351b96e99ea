#include "module/formats/lzh_unpacker.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <new>

#include "module/toolkit/host_stream.h"
#include "module/toolkit/interface_ptr.h"
#include "sdk/identifiers.h"

namespace {

// The prefix code of a match position's upper six bits, indexed by the next eight input bits:
// d_code gives the six bits, d_len how many bits the code really has (plus two).
struct PositionTables {
    std::array<uint8_t, 256> code{};
    std::array<uint8_t, 256> length{};
};

constexpr PositionTables makePositionTables() {
    // (number of upper-bit values, table entries per value, code length) per code length.
    constexpr struct {
        int values, entries, length;
    } runs[] = {{1, 32, 3}, {3, 16, 4}, {8, 8, 5}, {12, 4, 6}, {24, 2, 7}, {16, 1, 8}};
    PositionTables t{};
    int index = 0, value = 0;
    for (const auto& run : runs) {
        for (int v = 0; v < run.values; ++v, ++value) {
            for (int e = 0; e < run.entries; ++e, ++index) {
                t.code[index] = uint8_t(value);
                t.length[index] = uint8_t(run.length);
            }
        }
    }
    return t;
}

constexpr PositionTables kPosition = makePositionTables();
static_assert(kPosition.code[255] == 63 && kPosition.length[255] == 8 && kPosition.code[32] == 1);

}  // namespace

CLZHUnpacker::CLZHUnpacker() = default;
CLZHUnpacker::~CLZHUnpacker() = default;

void CLZHUnpacker::InitLZH() {
    m_bitBuffer = 0;
    m_bitCount = 0;
    m_outputFill = 0;
    m_inputPosition = 0;
    m_inputFill = 0;
    m_written = 0;
    m_sourceEnded = false;
    m_phantomBytes = 0;
}

void CLZHUnpacker::StartHuff() {
    for (uint32_t i = 0; i < N_CHAR; ++i) {
        m_freq[i] = 1;
        m_son[i] = uint16_t(i + T);
        m_parent[i + T] = uint16_t(i);
    }
    for (uint32_t i = 0, j = N_CHAR; j <= R; i += 2, ++j) {
        m_freq[j] = m_freq[i] + m_freq[i + 1];
        m_son[j] = uint16_t(i);
        m_parent[i] = m_parent[i + 1] = uint16_t(j);
    }
    m_freq[T] = 0xFFFF;  // sentinel: no node's frequency passes it
    m_parent[R] = 0;
}

void CLZHUnpacker::reconst() {
    // Leaves to the front, in node order, with halved frequencies.
    uint32_t j = 0;
    for (uint32_t i = 0; i < T; ++i) {
        if (m_son[i] >= T) {
            m_freq[j] = (m_freq[i] + 1) / 2;
            m_son[j] = m_son[i];
            ++j;
        }
    }
    // Internal nodes: each pair's sum goes to its sorted place.
    for (uint32_t i = 0, node = N_CHAR; node < T; i += 2, ++node) {
        uint32_t f = m_freq[i] + m_freq[i + 1];
        uint32_t k = node - 1;
        while (f < m_freq[k]) --k;  // stops at i + 1 at the latest
        ++k;
        std::copy_backward(m_freq + k, m_freq + node, m_freq + node + 1);
        m_freq[k] = f;
        std::copy_backward(m_son + k, m_son + node, m_son + node + 1);
        m_son[k] = uint16_t(i);
    }
    for (uint32_t i = 0; i < T; ++i) {
        uint32_t k = m_son[i];
        if (k >= T) {
            m_parent[k] = uint16_t(i);
        } else {
            m_parent[k] = m_parent[k + 1] = uint16_t(i);
        }
    }
}

void CLZHUnpacker::update(uint32_t symbol) {
    if (m_freq[R] == MAX_FREQ) reconst();
    uint32_t c = m_parent[symbol + T];
    do {
        uint32_t k = ++m_freq[c];
        // Keep frequencies sorted: swap with the last node still below the new value.
        uint32_t l = c + 1;
        if (k > m_freq[l]) {
            while (k > m_freq[++l]) {
            }
            --l;
            m_freq[c] = m_freq[l];
            m_freq[l] = k;

            uint32_t i = m_son[c];
            m_parent[i] = uint16_t(l);
            if (i < T) m_parent[i + 1] = uint16_t(l);

            uint32_t j = m_son[l];
            m_son[l] = uint16_t(i);
            m_parent[j] = uint16_t(c);
            if (j < T) m_parent[j + 1] = uint16_t(c);
            m_son[c] = uint16_t(j);

            c = l;
        }
        c = m_parent[c];
    } while (c != 0);
}

bool CLZHUnpacker::GetBytes(uint8_t* out) {
    if (m_inputPosition >= m_inputFill && !m_sourceEnded) {
        m_inputFill = remedy::readSome(m_source, m_input.get(), m_inputCapacity);
        m_inputPosition = 0;
        if (m_inputFill == 0) m_sourceEnded = true;
    }
    if (m_inputPosition < m_inputFill) {
        *out = m_input[m_inputPosition++];
        return true;
    }
    // Past the end the bit reader sees zeros; overran() notices when they are used.
    *out = 0;
    if (m_phantomBytes < 0x10000) ++m_phantomBytes;
    return false;
}

uint32_t CLZHUnpacker::GetBit() {
    while (m_bitCount <= 8) {
        uint8_t byte = 0;
        GetBytes(&byte);
        m_bitBuffer = uint16_t(m_bitBuffer | (byte << (8 - m_bitCount)));
        m_bitCount += 8;
    }
    uint32_t bit = m_bitBuffer >> 15;
    m_bitBuffer = uint16_t(m_bitBuffer << 1);
    --m_bitCount;
    return bit;
}

uint32_t CLZHUnpacker::GetByte() {
    while (m_bitCount <= 8) {
        uint8_t byte = 0;
        GetBytes(&byte);
        m_bitBuffer = uint16_t(m_bitBuffer | (byte << (8 - m_bitCount)));
        m_bitCount += 8;
    }
    uint32_t value = m_bitBuffer >> 8;
    m_bitBuffer = uint16_t(m_bitBuffer << 8);
    m_bitCount -= 8;
    return value;
}

uint32_t CLZHUnpacker::DecodeChar() {
    uint32_t c = m_son[R];
    while (c < T) c = m_son[c + GetBit()];
    c -= T;
    update(c);
    return c;
}

uint32_t CLZHUnpacker::DecodePosition() {
    uint32_t i = GetByte();
    uint32_t upper = uint32_t(kPosition.code[i]) << 6;
    for (uint32_t extra = kPosition.length[i] - 2u; extra > 0; --extra) i = (i << 1) + GetBit();
    return upper | (i & 0x3F);
}

void CLZHUnpacker::flushOutput() {
    if (m_outputFill == 0) return;
    uint32_t done = 0;
    if (qeSucceeded(m_destination->Write(m_output.get(), m_outputFill, &done)) && done <= m_outputFill) m_written += done;
    m_outputFill = 0;
}

void CLZHUnpacker::PutBytes(uint8_t byte) {
    m_output[m_outputFill++] = byte;
    if (m_outputFill >= m_outputCapacity) flushOutput();
}

uint32_t CLZHUnpacker::LZHUnpack(int size, IUnknown* source, IUnknown* destination) {
    m_output.reset(new (std::nothrow) uint8_t[kBufferSize]);
    m_input.reset(new (std::nothrow) uint8_t[kBufferSize]);
    auto src = remedy::queryInterface<IQEStream>(source, qe::IID_IQEStream);
    auto dst = remedy::queryInterface<IQEStream>(destination, qe::IID_IQEStream);
    if (!m_output || !m_input || !src || !dst) {
        m_output.reset();
        m_input.reset();
        return 0;
    }
    m_source = src.get();
    m_destination = dst.get();
    InitLZH();
    StartHuff();

    // The window starts as blanks; its last F slots are cleared too, so that nothing from an
    // earlier run can leak into this one.
    std::memset(m_window, ' ', N - F);
    std::memset(m_window + (N - F), 0, sizeof m_window - (N - F));
    uint32_t r = N - F;
    const uint64_t wanted = size > 0 ? uint64_t(size) : 0;
    for (uint64_t produced = 0; produced < wanted;) {
        uint32_t c = DecodeChar();
        if (overran()) break;  // the source ended inside this symbol
        if (c < 256) {
            PutBytes(uint8_t(c));
            m_window[r] = uint8_t(c);
            r = (r + 1) & (N - 1);
            ++produced;
            continue;
        }
        uint32_t length = c - 255 + THRESHOLD;
        uint32_t start = (r - DecodePosition() - 1) & (N - 1);
        if (overran()) break;
        // Copied whole even when it passes the requested size.
        for (uint32_t k = 0; k < length; ++k) {
            uint8_t byte = m_window[(start + k) & (N - 1)];
            PutBytes(byte);
            m_window[r] = byte;
            r = (r + 1) & (N - 1);
        }
        produced += length;
    }
    flushOutput();

    m_source = nullptr;
    m_destination = nullptr;
    m_output.reset();
    m_input.reset();
    return m_written;
}
