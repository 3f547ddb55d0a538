// What the calling user may learn about the machine around the helper: who they are, who
// listens on a TCP port, what the service manager says about the helper's jobs, and who made a
// listening Unix socket. Read-only; used by tamsel-helperctl status and doctor.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/result.h"

namespace tamsel {

// The real user id of this process.
std::uint32_t callingUserId();

// A path that opens this process's own executable.
std::string selfExecutablePath();

struct ProcessName {
  std::int32_t pid = 0;
  std::uint32_t uid = 0;  // the user it runs as
  std::string name;       // its command name
};

// One listening TCP socket on a local port.
struct TcpListener {
  std::string address;         // "0.0.0.0", "::", "127.0.0.1", ...
  std::uint32_t ownerUid = 0;  // the socket's owner
  // The processes holding it, as far as the calling user may look into them (root sees all).
  std::vector<ProcessName> holders;
};
Result<std::vector<TcpListener>> tcpListenersOnPort(std::uint16_t port);

// The service manager's view of the helper's two jobs (its socket and its service).
struct ServiceJobs {
  bool managed = false;      // a service manager runs this machine and knows the socket job
  std::string socketState;   // e.g. "active (listening)", "inactive (dead)"
  std::string serviceState;  // e.g. "active (running)", "inactive (dead)"
  std::int32_t servicePid = 0;
  std::string serviceSince;          // when the service last became active, in the manager's words
  std::uint64_t socketAccepted = 0;  // connections the socket job has passed on
};
// identifier names the two jobs (identifier + ".socket", identifier + ".service").
Result<ServiceJobs> helperServiceJobs(std::string_view identifier);

// Connects to a listening Unix stream socket and tells the process that made it listen.
Result<ProcessName> unixSocketCreator(const std::string& path);

}  // namespace tamsel
