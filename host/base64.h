// Base64 (RFC 4648, with padding): bytes that must survive a text record exactly.
#pragma once

#include <string>
#include <string_view>

namespace host {

std::string base64Encode(std::string_view bytes);
// False when `text` is not canonical padded base64.
bool base64Decode(std::string_view text, std::string* bytes);

}  // namespace host
