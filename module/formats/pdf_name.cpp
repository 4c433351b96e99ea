#include "module/formats/pdf_name.h"

#include <cstring>

namespace remedy {

namespace {

bool isPdfDelimiter(uint8_t byte) { return byte != 0 && std::strchr("()<>[]{}/%", byte) != nullptr; }

int hexValue(uint8_t byte) {
    if (byte >= '0' && byte <= '9') return byte - '0';
    if (byte >= 'a' && byte <= 'f') return byte - 'a' + 10;
    if (byte >= 'A' && byte <= 'F') return byte - 'A' + 10;
    return -1;
}

}  // namespace

bool isPdfWhiteSpace(uint8_t byte) {
    return byte == 0 || byte == '\t' || byte == '\n' || byte == '\f' || byte == '\r' || byte == ' ';
}

std::optional<PdfNameAt> pdfNameAt(std::span<const uint8_t> data, size_t slash, std::string_view wanted) {
    if (slash >= data.size() || data[slash] != '/') return std::nullopt;
    size_t at = slash + 1, matched = 0;
    bool same = true;
    // Decodes the whole name even after a difference, so that its end is known; the walk moves
    // on by at least one byte each round.
    while (at < data.size() && !isPdfWhiteSpace(data[at]) && !isPdfDelimiter(data[at])) {
        uint8_t byte = data[at];
        size_t width = 1;
        if (byte == '#' && at + 2 < data.size()) {
            const int high = hexValue(data[at + 1]), low = hexValue(data[at + 2]);
            if (high >= 0 && low >= 0) {
                byte = uint8_t(high * 16 + low);
                width = 3;
            }
        }
        same = same && matched < wanted.size() && uint8_t(wanted[matched]) == byte;
        ++matched;
        at += width;
    }
    if (!same || matched != wanted.size()) return std::nullopt;
    return PdfNameAt{slash, at};
}

std::optional<PdfNameAt> findPdfName(std::span<const uint8_t> data, size_t from, std::string_view wanted) {
    for (size_t at = from; at < data.size(); ++at) {
        if (data[at] != '/') continue;
        if (auto name = pdfNameAt(data, at, wanted)) return name;
    }
    return std::nullopt;
}

}  // namespace remedy
