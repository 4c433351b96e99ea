// The one rule for putting file names (and any other bytes from outside) into text output.
#pragma once

#include <string>
#include <string_view>

namespace cli {

// `bytes` as printable text that cannot start, end or hide a line: control bytes (C0 and C1),
// DEL, the bidirectional-override characters, bytes that are not valid UTF-8 and the backslash
// itself are written as escapes (`\n`, `\r`, `\t`, `\\`, else `\xHH` a byte). Valid UTF-8
// otherwise passes as it is. Unescaping the result gives `bytes` back exactly.
std::string escapedText(std::string_view bytes);

}  // namespace cli
