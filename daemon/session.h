// One connection, from its first command to its end: the protocol's commands, IDSESSION's
// numbered replies, and the repair extension.
#pragma once


namespace service {

class ClientSocket;
class Server;

// Serves the connection until it ends; returns when every reply it owes has been sent or the
// client is gone.
void serveConnection(Server& server, ClientSocket& socket);

}  // namespace service
