#include "module/formats/string_dump.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cstring>
#include <cwchar>
#include <new>

#include "module/toolkit/byte_reader.h"

namespace {

using CrcTables = std::array<std::array<uint32_t, 256>, 8>;

constexpr CrcTables makeCrcTables() {
    CrcTables t{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
        t[0][i] = c;
    }
    for (size_t k = 1; k < 8; ++k)
        for (uint32_t i = 0; i < 256; ++i) t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF];
    return t;
}

constexpr CrcTables kCrc = makeCrcTables();

constexpr bool isTerminator(uint32_t unit) { return unit == 0x00 || unit == 0x0A || unit == 0x0D || unit == 0x26; }
constexpr bool isBlank(uint32_t unit) { return unit == 0x20 || unit == 0x09; }
constexpr bool isAsciiText(uint32_t unit) { return (unit >= 0x20 && unit <= 0x7E) || unit == 0x09; }
// Two-byte characters of the double-byte code pages: lead and trail byte ranges.
constexpr bool isLeadByte(uint8_t b) { return b >= 0xA1 && b <= 0xF6; }
constexpr bool isTrailByte(uint8_t b) { return b >= 0xA1 && b <= 0xFE; }
constexpr bool isIdeograph(uint32_t unit) { return unit >= 0x4E01 && unit <= 0x9FBE; }

void foldAscii(uint8_t* text, size_t length) {
    for (size_t i = 0; i < length; ++i)
        if (text[i] >= 'A' && text[i] <= 'Z') text[i] = uint8_t(text[i] + ('a' - 'A'));
}

// No definitions ship: none of the families' string sets is known in full, and a partial
// definition would report a virus on one common string.
constexpr std::array<tagStrScanMethod, 0> kShippedDefinitions{};

}  // namespace

uint32_t update_crc32(uint32_t crc, const void* data, size_t length) {
    const uint8_t* p = static_cast<const uint8_t*>(data);
    while (length >= 8) {
        uint32_t one = remedy::loadLe32(p) ^ crc;
        uint32_t two = remedy::loadLe32(p + 4);
        crc = kCrc[7][one & 0xFF] ^ kCrc[6][(one >> 8) & 0xFF] ^ kCrc[5][(one >> 16) & 0xFF] ^ kCrc[4][one >> 24] ^
              kCrc[3][two & 0xFF] ^ kCrc[2][(two >> 8) & 0xFF] ^ kCrc[1][(two >> 16) & 0xFF] ^ kCrc[0][two >> 24];
        p += 8;
        length -= 8;
    }
    while (length-- > 0) crc = (crc >> 8) ^ kCrc[0][(crc ^ *p++) & 0xFF];
    return crc;
}

uint32_t std_crc32(const void* data, size_t length) { return ~update_crc32(0xFFFFFFFFu, data, length); }

// ------------------------------------------------------------------ string_dumper

string_dumper::string_dumper() = default;
string_dumper::~string_dumper() = default;

int string_dumper::on_discover_string(uint64_t, const char*, uint64_t, uint32_t) { return 1; }

bool string_dumper::set_lengths(uint64_t minimum, uint64_t maximum) {
    if (minimum < 1 || minimum > maximum || maximum > kMaxStringLength) return false;
    // A two-byte unit may become up to MB_LEN_MAX bytes in the locale's encoding.
    size_t size = size_t(maximum) * MB_LEN_MAX + 1;
    std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[size]);
    if (!buffer) return false;
    m_buffer = std::move(buffer);
    m_bufferSize = size;
    m_minLength = minimum;
    m_maxLength = maximum;
    return true;
}

bool string_dumper::report(uint64_t offset, uint64_t length) {
    m_buffer[length] = 0;
    foldAscii(m_buffer.get(), size_t(length));
    uint32_t crc = std_crc32(m_buffer.get(), size_t(length));
    if (m_crcs.count(crc)) return true;
    if (on_discover_string(offset, reinterpret_cast<const char*>(m_buffer.get()), length, crc) == 0) return false;
    m_crcs.insert(crc);
    ++m_distinctCount;
    return true;
}

bool string_dumper::narrow_piece(const uint8_t* data, uint64_t start, uint64_t end) {
    while (end > start && isBlank(data[end - 1])) --end;
    // The run is the text tail of the piece, taken walking backwards.
    uint64_t from = end, run = 0;
    while (from > start) {
        uint8_t last = data[from - 1];
        if (from - start >= 2 && isTrailByte(last) && isLeadByte(data[from - 2]) && run + 2 <= m_maxLength) {
            from -= 2;
            run += 2;
        } else if (isAsciiText(last) && run + 1 <= m_maxLength) {
            from -= 1;
            run += 1;
        } else {
            break;
        }
    }
    if (run < m_minLength) return true;
    while (from < end && isBlank(data[from])) ++from;
    uint64_t length = end - from;
    if (length < m_minLength) return true;
    std::memcpy(m_buffer.get(), data + from, size_t(length));
    return report(from, length);
}

bool string_dumper::narrow_pass(const uint8_t* data, uint64_t length) {
    uint64_t start = 0;
    for (uint64_t i = 0; i <= length; ++i) {
        if (i < length && !isTerminator(data[i])) continue;
        if (!narrow_piece(data, start, i)) return false;
        start = i + 1;
    }
    return true;
}

bool string_dumper::wide_piece(const uint8_t* data, uint64_t start, uint64_t end) {
    auto unit = [&](uint64_t index) { return uint32_t(remedy::loadLe16(data + 2 * index)); };
    while (end > start && isBlank(unit(end - 1))) --end;
    uint64_t from = end;
    while (from > start && end - from < m_maxLength && (isAsciiText(unit(from - 1)) || isIdeograph(unit(from - 1)))) --from;
    if (end - from < m_minLength) return true;
    while (from < end && isBlank(unit(from))) ++from;
    if (end - from < m_minLength) return true;

    std::mbstate_t state{};
    size_t bytes = 0;
    for (uint64_t i = from; i < end; ++i) {
        char converted[MB_LEN_MAX];
        size_t n = std::wcrtomb(converted, wchar_t(unit(i)), &state);
        if (n == size_t(-1)) return true;  // the locale cannot express it: no string
        if (bytes + n >= m_bufferSize) return true;
        std::memcpy(m_buffer.get() + bytes, converted, n);
        bytes += n;
    }
    return report(2 * from, bytes);
}

bool string_dumper::wide_pass(const uint8_t* data, uint64_t length) {
    const uint64_t units = length / 2;
    uint64_t start = 0;
    for (uint64_t i = 0; i <= units; ++i) {
        if (i < units && !isTerminator(remedy::loadLe16(data + 2 * i))) continue;
        if (!wide_piece(data, start, i)) return false;
        start = i + 1;
    }
    return true;
}

void string_dumper::dump_chunk(const uint8_t* chunk, uint64_t length) {
    if (!chunk || !m_buffer) return;
    if (!narrow_pass(chunk, length)) return;
    if (!wide_pass(chunk, length)) return;
    // Two-byte text at odd offsets: from the second byte to the next-to-last one.
    if (length >= 2) wide_pass(chunk + 1, length - 2);
}

// ------------------------------------------------------------------ CScanStrDump

const std::span<const tagStrScanMethod> CScanStrDump::g_VirusStr{kShippedDefinitions};

CScanStrDump::CScanStrDump() : CScanStrDump(g_VirusStr) {}

CScanStrDump::CScanStrDump(std::span<const tagStrScanMethod> definitions)
    : m_definitions(definitions.begin(), definitions.end()), m_definitionCount(definitions.size()) {
    for (tagStrScanMethod& d : m_definitions) {
        d.crcCount = 0;
        while (d.crcCount < 32 && d.crcs[d.crcCount] != 0) ++d.crcCount;
        std::memset(d.seen, 0, sizeof d.seen);
        d.seenCount = 0;
    }
}

CScanStrDump::~CScanStrDump() = default;

uint64_t CScanStrDump::SerachCrcInDef_crc(std::span<tagStrScanMethod> table) {
    for (tagStrScanMethod& d : table) {
        uint64_t count = std::min<uint64_t>(d.crcCount, 32);
        for (uint64_t k = 0; k < count; ++k) {
            if (d.seen[k] || d.crcs[k] > 0xFFFFFFFFu || !has_crc(uint32_t(d.crcs[k]))) continue;
            d.seen[k] = 1;
            ++d.seenCount;
            if (d.seenCount == d.crcCount) return d.virusId;
        }
    }
    return 0;
}

uint64_t CScanStrDump::ScanChunk(const uint8_t* chunk, uint64_t length) {
    if (chunk && minimum_length() > 0 && length >= minimum_length()) dump_chunk(chunk, length);
    return SerachCrcInDef_crc(m_definitions);
}
