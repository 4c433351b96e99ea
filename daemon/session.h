// One connection, from its first command to its end: the protocol's commands, IDSESSION's
// numbered replies, and the repair extension.
#pragma once

#include "host/anchored_file.h"

namespace service {

class Server;

// Serves the connection on `fd` (the Unix socket when `local`) until it ends; returns when
// every reply it owes has been sent or the client is gone.
void serveConnection(Server& server, host::UniqueFd fd, bool local);

}  // namespace service
