// Decoding UTF-8 in names that may hold any bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace cli {

// Length of the valid UTF-8 sequence starting at text[at] (shortest form, no surrogates, at
// most U+10FFFF) with its code point in *codePoint, or 0 when the bytes there are not one.
size_t utf8Length(std::string_view text, size_t at, uint32_t* codePoint);

// True when every byte of `text` belongs to a valid UTF-8 sequence.
bool isValidUtf8(std::string_view text);

}  // namespace cli
