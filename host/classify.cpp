#include "host/classify.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "host/qxbase/format_list.h"
#include "sdk/format_codes.h"

namespace host {

namespace {

constexpr size_t kDosHeaderMin = 0x1C;   // an MZ header through the overlay number
constexpr size_t kPeOffsetField = 0x3C;  // e_lfanew
constexpr size_t kPeHeadersMin = 24;     // "PE\0\0" and the file header
constexpr size_t kComMaxSize = 0xFF00;   // a COM program fits its 64 KiB segment after the PSP
constexpr size_t kTextWindow = 4096;     // how much of a file the text tests look at
constexpr size_t kPdfWindow = 1024;      // "%PDF-" may follow some junk, as readers accept

bool startsWith(std::span<const uint8_t> bytes, std::string_view prefix) {
    return bytes.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), bytes.begin(),
                                                       [](char a, uint8_t b) { return uint8_t(a) == b; });
}

uint32_t read32(std::span<const uint8_t> bytes, size_t offset) {
    return uint32_t(bytes[offset]) | uint32_t(bytes[offset + 1]) << 8 | uint32_t(bytes[offset + 2]) << 16 |
           uint32_t(bytes[offset + 3]) << 24;
}

// ASCII only, inline: the text tests fold every byte of their window.
char lowerAscii(char c) { return c >= 'A' && c <= 'Z' ? char(c + ('a' - 'A')) : c; }

std::string lowerExtension(std::string_view name) {
    size_t slash = name.find_last_of('/');
    std::string_view base = slash == std::string_view::npos ? name : name.substr(slash + 1);
    size_t dot = base.find_last_of('.');
    if (dot == std::string_view::npos || dot == 0) return {};
    std::string ext(base.substr(dot + 1));
    for (char& c : ext) c = lowerAscii(c);
    return ext;
}

bool isProgram(std::span<const uint8_t> bytes) {
    return bytes.size() >= kDosHeaderMin && (startsWith(bytes, "MZ") || startsWith(bytes, "ZM"));
}

bool isPe(std::span<const uint8_t> bytes) {
    if (bytes.size() < kPeOffsetField + 4) return false;
    uint64_t at = read32(bytes, kPeOffsetField);
    return at + kPeHeadersMin <= bytes.size() && bytes[at] == 'P' && bytes[at + 1] == 'E' && bytes[at + 2] == 0 &&
           bytes[at + 3] == 0;
}

// Text: no NUL and no control characters other than white space in the window.
bool looksLikeText(std::span<const uint8_t> bytes) {
    if (bytes.empty()) return false;
    for (uint8_t b : bytes.first(std::min(bytes.size(), kTextWindow)))
        if (b == 0 || (b < 0x20 && b != '\t' && b != '\n' && b != '\r' && b != '\f' && b != 0x1A)) return false;
    return true;
}

// VBScript without a telling name: plain text (not markup, where a script would be one part of
// a page) with at least two statements only VBScript writes.
bool looksLikeVbScript(std::span<const uint8_t> bytes) {
    if (!looksLikeText(bytes)) return false;
    char lowered[kTextWindow];
    const size_t length = std::min(bytes.size(), kTextWindow);
    for (size_t i = 0; i < length; ++i) lowered[i] = lowerAscii(char(bytes[i]));
    const std::string_view text(lowered, length);
    size_t first = text.find_first_not_of(" \t\r\n\xEF\xBB\xBF");
    if (first != std::string_view::npos && text[first] == '<') return false;
    static constexpr std::string_view kMarkers[] = {
        "on error resume next", "wscript.", "createobject(", "end sub", "end function", "dim ",
    };
    // memmem, not string_view::find: most text files are scripts of some kind, and the six
    // searches over their window were most of what classifying a corpus cost.
    int found = 0;
    for (std::string_view marker : kMarkers)
        if (::memmem(text.data(), text.size(), marker.data(), marker.size())) ++found;
    return found >= 2;
}

bool isPdf(std::span<const uint8_t> bytes) {
    // An empty span may have no data pointer at all, which memmem must not see.
    return !bytes.empty() && ::memmem(bytes.data(), std::min(bytes.size(), kPdfWindow), "%PDF-", 5) != nullptr;
}

}  // namespace

uint32_t classifyFormat(std::span<const uint8_t> bytes, std::string_view name) {
    if (isProgram(bytes)) return isPe(bytes) ? qe::FORMAT_PE : qe::FORMAT_MZ;
    if (startsWith(bytes, "\xFF\xD8\xFF")) return qe::FORMAT_JPEG;
    if (startsWith(bytes, "FWS")) return qe::FORMAT_SWF;
    if (startsWith(bytes, "CWS")) return qe::FORMAT_SWF_COMPRESSED;
    const std::string ext = lowerExtension(name);
    if (ext == "com" && !bytes.empty() && bytes.size() <= kComMaxSize) return qe::FORMAT_COM;
    if ((ext == "vbs" || ext == "vbe") ? looksLikeText(bytes) : looksLikeVbScript(bytes)) return qe::FORMAT_VBS;
    return qe::FORMAT_FILE;
}

std::vector<uint32_t> classifyFormats(std::span<const uint8_t> bytes, std::string_view name) {
    std::vector<uint32_t> formats{classifyFormat(bytes, name)};
    if (isPdf(bytes) && formats[0] != qe::FORMAT_PDF) formats.push_back(qe::FORMAT_PDF);
    return formats;
}

void classify(FileObject* file) {
    std::vector<uint32_t> formats = classifyFormats(file->bytes(), file->path());
    file->setFormat(formats[0]);
    writeFormatList(static_cast<IQEArchive*>(file), formats);
}

}  // namespace host
