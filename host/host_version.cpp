#include "host/host_version.h"

namespace host {
const char* hostVersion() { return "remedy reference host 1.0.0"; }
}
