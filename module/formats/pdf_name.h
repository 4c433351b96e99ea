// PDF names read the way PDF readers read them. A name is "/" followed by regular bytes up to
// white space, a delimiter or the end of the data; inside it "#" and two hexadecimal digits,
// in either case, stand for the byte they spell, so "/C#6f#6Cors" is the name Colors. A "#"
// without two hexadecimal digits after it is kept as it is.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace remedy {

// Where one name lies: the offset of its "/" and the offset just past its last byte.
struct PdfNameAt {
    size_t slash;
    size_t end;
};

// True for the six bytes the PDF format counts as white space.
bool isPdfWhiteSpace(uint8_t byte);

// The name whose "/" is at data[slash], when it decodes to exactly `wanted`. Nullopt when
// data[slash] is not "/" or lies outside the data, or when the decoded name differs.
std::optional<PdfNameAt> pdfNameAt(std::span<const uint8_t> data, size_t slash, std::string_view wanted);

// The first name whose "/" lies at or after `from` that decodes to exactly `wanted`, or nullopt.
// One pass over the data: every "/" starts a name and ends the one before it.
std::optional<PdfNameAt> findPdfName(std::span<const uint8_t> data, size_t from, std::string_view wanted);

}  // namespace remedy
