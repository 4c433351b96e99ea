// CLZHUnpacker: decompresses an LZHUF stream (LZSS over a 4096-byte window; literals and match
// lengths coded with an adaptive Huffman tree, match positions with a fixed prefix code) from a
// source stream's current position to a destination stream's current position.
//
// Input and output go through fixed 32 KiB buffers; the model and the window live in the
// object, so decoding allocates nothing per symbol.
#pragma once

#include <cstdint>
#include <memory>

#include "sdk/file_interfaces.h"

class CLZHUnpacker {
public:
    static constexpr uint32_t N = 4096;              // window size
    static constexpr uint32_t F = 60;                // longest match
    static constexpr uint32_t THRESHOLD = 2;         // matches are longer than this
    static constexpr uint32_t N_CHAR = 256 - THRESHOLD + F;  // 314 symbols
    static constexpr uint32_t T = N_CHAR * 2 - 1;    // 627 tree nodes
    static constexpr uint32_t R = T - 1;             // root
    static constexpr uint32_t MAX_FREQ = 0x8000;     // the tree is rebuilt at this root frequency
    static constexpr uint32_t kBufferSize = 32768;

    CLZHUnpacker();
    ~CLZHUnpacker();
    CLZHUnpacker(const CLZHUnpacker&) = delete;
    CLZHUnpacker& operator=(const CLZHUnpacker&) = delete;

    // Decodes until `size` bytes are produced (a final match is copied whole, so up to 59 bytes
    // more may be written). Returns the bytes written to `destination`; 0 when a buffer cannot
    // be allocated or a stream is missing. When the source ends before `size` bytes are decoded,
    // decoding stops there: the result is then smaller than `size`, and callers compare.
    uint32_t LZHUnpack(int size, IUnknown* source, IUnknown* destination);

    void InitLZH();
    void StartHuff();
    uint32_t DecodeChar();
    uint32_t DecodePosition();
    uint32_t GetBit();
    uint32_t GetByte();
    // Next input byte; false once the source has nothing more (the byte is then 0).
    bool GetBytes(uint8_t* out);
    void PutBytes(uint8_t byte);
    void update(uint32_t symbol);
    void reconst();

private:
    void flushOutput();
    // True once decoding has used bits beyond the end of the source.
    bool overran() const { return m_phantomBytes * 8 > m_bitCount; }

    std::unique_ptr<uint8_t[]> m_output;
    uint32_t m_outputCapacity = kBufferSize;
    uint32_t m_outputFill = 0;
    uint32_t m_inputCapacity = kBufferSize;
    uint32_t m_inputPosition = 0;
    uint32_t m_inputFill = 0;
    std::unique_ptr<uint8_t[]> m_input;
    uint32_t m_written = 0;
    IQEStream* m_source = nullptr;
    IQEStream* m_destination = nullptr;
    bool m_sourceEnded = false;
    uint32_t m_phantomBytes = 0;  // zero bytes handed out after the source ended

    uint16_t m_bitBuffer = 0;
    uint32_t m_bitCount = 0;

    uint8_t m_window[N + F - 1] = {};

    uint32_t m_freq[T + 1] = {};
    uint16_t m_parent[T + N_CHAR] = {};
    uint16_t m_son[T] = {};
};
