// The reference host's own version, printed beside the module's.
#pragma once

namespace host {
const char* hostVersion();
}
