// The string-dump scanner: pulls printable strings out of chunks of a file in three encodings,
// reduces each distinct string to its CRC-32, and reports a virus identifier as soon as every
// string of one definition has been seen. Definitions hold CRCs only, never text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <set>
#include <span>
#include <vector>

// Standard CRC-32 (reflected polynomial 0xEDB88320, as zip and zlib): the complement of
// update_crc32 started at 0xFFFFFFFF.
uint32_t std_crc32(const void* data, size_t length);
// Runs the CRC register over `length` more bytes, eight bytes a step.
uint32_t update_crc32(uint32_t crc, const void* data, size_t length);

// One definition: the CRCs of its strings (ended by the first 0) and which were seen.
struct tagStrScanMethod {
    uint64_t virusId;
    uint64_t crcs[32];
    uint8_t seen[32];
    uint64_t seenCount;
    uint64_t crcCount;
};
static_assert(sizeof(tagStrScanMethod) == 312, "a definition is 312 bytes");

class string_dumper {
public:
    // Longest string a caller may ask for, in characters.
    static constexpr uint64_t kMaxStringLength = 4096;

    string_dumper();
    // Called once for each new distinct string: its byte offset from the start of the pass, the
    // lower-cased bytes (terminated), their count and CRC. Non-zero continues; zero stops the
    // chunk (the string is then not recorded).
    virtual int on_discover_string(uint64_t offset, const char* text, uint64_t length, uint32_t crc);
    virtual ~string_dumper();
    string_dumper(const string_dumper&) = delete;
    string_dumper& operator=(const string_dumper&) = delete;

    // Sets the shortest and longest string to take (bytes in single-byte text, 16-bit units in
    // two-byte text) and sizes the string buffer for the longest converted string. False, with
    // nothing changed, unless 1 <= minimum <= maximum <= kMaxStringLength.
    bool set_lengths(uint64_t minimum, uint64_t maximum);
    uint64_t distinct_strings() const { return m_distinctCount; }
    bool has_crc(uint32_t crc) const { return m_crcs.count(crc) != 0; }

protected:
    // Runs the three passes over a chunk; stops early when on_discover_string says so.
    void dump_chunk(const uint8_t* chunk, uint64_t length);
    const std::set<uint32_t>& crcs() const { return m_crcs; }
    uint64_t minimum_length() const { return m_minLength; }

private:
    bool narrow_pass(const uint8_t* data, uint64_t length);
    bool narrow_piece(const uint8_t* data, uint64_t start, uint64_t end);
    bool wide_pass(const uint8_t* data, uint64_t length);
    bool wide_piece(const uint8_t* data, uint64_t start, uint64_t end);
    bool report(uint64_t offset, uint64_t length);

    uint64_t m_minLength = 0;
    uint64_t m_maxLength = 0;
    uint64_t m_distinctCount = 0;
    std::unique_ptr<uint8_t[]> m_buffer;
    size_t m_bufferSize = 0;
    std::set<uint32_t> m_crcs;
};

class CScanStrDump : public string_dumper {
public:
    // The shipped definitions.
    CScanStrDump();
    // Any definition table (tests use their own). The scanner keeps its own copy: match state
    // is never shared between scanners.
    explicit CScanStrDump(std::span<const tagStrScanMethod> definitions);
    ~CScanStrDump() override;

    // Takes the strings of one chunk (when it is at least the minimum length long), then checks
    // the definitions: the virus id of the first definition whose strings have all been seen
    // by now, or 0. The CRCs seen and the marks carry over from chunk to chunk.
    uint64_t ScanChunk(const uint8_t* chunk, uint64_t length);
    // The definition check over `table`, marking each CRC found among the strings seen.
    uint64_t SerachCrcInDef_crc(std::span<tagStrScanMethod> table);

    uint64_t definition_count() const { return m_definitionCount; }

    // The shipped definitions. Only definitions whose strings are all known belong here: a
    // partial one would fire on a single common string.
    static const std::span<const tagStrScanMethod> g_VirusStr;

private:
    std::vector<tagStrScanMethod> m_definitions;
    uint64_t m_definitionCount = 0;
};
