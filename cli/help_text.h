// The text of remedy --help: a manual page, one paragraph for every command and option.
#pragma once

namespace cli {

extern const char kManual[];
extern const char kShortUsage[];

}  // namespace cli
