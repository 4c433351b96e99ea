// `remedy daemon`: reads the configuration and the command line, becomes a daemon (unless in
// the foreground), writes the pid file, serves until SIGTERM, SIGINT or SHUTDOWN, and drains.
#pragma once

#include <string>

namespace service {

// argv[first..] are the arguments after "daemon". Exit status 0 after a clean stop, 2 when the
// daemon could not start.
int runDaemonCommand(const std::string& modulePath, int argc, char** argv, int first);

}  // namespace service
