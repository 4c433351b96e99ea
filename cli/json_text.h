// JSON string quoting for --json output.
#pragma once

#include <string>
#include <string_view>

namespace cli {

// `text` as a quoted JSON string. Bytes that are not valid UTF-8 (file names may hold any
// bytes) become U+FFFD, so every line stays valid JSON; such a text is no longer exact, and
// a name that must stay exact goes with its base64Text as well.
std::string jsonString(std::string_view text);

// `bytes` in standard base64 (RFC 4648, with padding).
std::string base64Text(std::string_view bytes);

}  // namespace cli
