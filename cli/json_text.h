// JSON string quoting for --json output.
#pragma once

#include <string>
#include <string_view>

namespace cli {

// `text` as a quoted JSON string. Bytes that are not valid UTF-8 (file names may hold any
// bytes) become U+FFFD, so every line stays valid JSON.
std::string jsonString(std::string_view text);

}  // namespace cli
