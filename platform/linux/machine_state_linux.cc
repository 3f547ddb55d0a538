#include <arpa/inet.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <map>

#include "platform/file_facts.h"
#include "platform/files.h"
#include "platform/machine_state.h"
#include "platform/pipe_reader.h"
#include "platform/process.h"
#include "platform/unique_fd.h"

namespace tamsel {
namespace {

constexpr std::size_t kProcFileLimit = 16 * 1024 * 1024;
constexpr std::string_view kSystemctl = "/usr/bin/systemctl";

std::vector<std::string_view> fields(std::string_view line) {
  std::vector<std::string_view> out;
  std::size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && line[i] == ' ') ++i;
    std::size_t j = i;
    while (j < line.size() && line[j] != ' ') ++j;
    if (j > i) out.push_back(line.substr(i, j - i));
    i = j;
  }
  return out;
}

template <typename T>
bool parseNumber(std::string_view text, T& out, int base = 10) {
  auto [p, ec] = std::from_chars(text.data(), text.data() + text.size(), out, base);
  return ec == std::errc() && p == text.data() + text.size();
}

// "0100007F" (IPv4) or 32 hex digits (IPv6), as the kernel prints them: 32-bit words in host
// byte order.
std::string addressText(std::string_view hex) {
  unsigned char bytes[16] = {};
  const std::size_t n = hex.size() / 2;
  if ((n != 4 && n != 16) || hex.size() % 8 != 0) return std::string(hex);
  for (std::size_t w = 0; w < n / 4; ++w) {
    std::uint32_t word = 0;
    if (!parseNumber(hex.substr(8 * w, 8), word, 16)) return std::string(hex);
    std::memcpy(bytes + 4 * w, &word, 4);
  }
  char text[INET6_ADDRSTRLEN] = {};
  if (::inet_ntop(n == 4 ? AF_INET : AF_INET6, bytes, text, sizeof text) == nullptr) {
    return std::string(hex);
  }
  return text;
}

ProcessName processName(std::int32_t pid) {
  const std::string dir = "/proc/" + std::to_string(pid);
  ProcessName p{pid, fileFacts(dir).ownerUid, "?"};
  if (auto comm = readSmallFile(dir + "/comm", 4096)) {
    p.name = *comm;
    while (!p.name.empty() && p.name.back() == '\n') p.name.pop_back();
  }
  return p;
}

// Socket inode -> the processes that hold it, for every process whose descriptors we may list.
std::map<std::uint64_t, std::vector<ProcessName>> socketHolders() {
  std::map<std::uint64_t, std::vector<ProcessName>> holders;
  auto pids = directoryEntries("/proc");
  if (!pids) return holders;
  for (const std::string& entry : *pids) {
    std::int32_t pid = 0;
    if (!parseNumber(std::string_view(entry), pid)) continue;
    const std::string fdDir = "/proc/" + entry + "/fd";
    auto fds = directoryEntries(fdDir);
    if (!fds) continue;  // another user's process
    for (const std::string& fd : *fds) {
      const LinkLookup link = lookUpLink(fdDir + "/" + fd);
      std::string_view target = link.target;
      if (link.kind != LinkLookup::Kind::kLink || !target.starts_with("socket:[")) continue;
      std::uint64_t inode = 0;
      if (!parseNumber(target.substr(8, target.size() - 9), inode)) continue;
      auto& list = holders[inode];
      if (list.empty() || list.back().pid != pid) list.push_back(processName(pid));
    }
  }
  return holders;
}

}  // namespace

std::uint32_t callingUserId() {
  return ::getuid();
}

std::string selfExecutablePath() {
  return "/proc/self/exe";
}

Result<std::vector<TcpListener>> tcpListenersOnPort(std::uint16_t port) {
  std::vector<TcpListener> out;
  std::vector<std::uint64_t> inodes;
  for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
    auto text = readSmallFile(table, kProcFileLimit);
    if (!text) {
      if (text.error().code == ENOENT) continue;  // no IPv6 on this kernel
      return text.error();
    }
    std::string_view rest = *text;
    bool header = true;
    while (!rest.empty()) {
      const std::size_t nl = rest.find('\n');
      const std::string_view line = rest.substr(0, nl);
      rest = nl == std::string_view::npos ? std::string_view() : rest.substr(nl + 1);
      if (std::exchange(header, false)) continue;
      // sl local_address rem_address st tx:rx tr:when retrnsmt uid timeout inode ...
      const auto f = fields(line);
      if (f.size() < 10 || f[3] != "0A") continue;  // 0A: listening
      const std::size_t colon = f[1].find(':');
      std::uint32_t localPort = 0;
      if (colon == std::string_view::npos || !parseNumber(f[1].substr(colon + 1), localPort, 16) ||
          localPort != port) {
        continue;
      }
      TcpListener l;
      l.address = addressText(f[1].substr(0, colon));
      std::uint64_t inode = 0;
      if (!parseNumber(f[7], l.ownerUid) || !parseNumber(f[9], inode)) continue;
      out.push_back(std::move(l));
      inodes.push_back(inode);
    }
  }
  if (!out.empty()) {
    const auto holders = socketHolders();
    for (std::size_t i = 0; i < out.size(); ++i) {
      if (auto it = holders.find(inodes[i]); it != holders.end()) out[i].holders = it->second;
    }
  }
  return out;
}

Result<ServiceJobs> helperServiceJobs(std::string_view identifier) {
  ServiceJobs jobs;
  // A machine run by systemd has this directory; then systemctl answers any user.
  if (fileFacts("/run/systemd/system").kind != FileFacts::Kind::kDirectory) return jobs;
  const std::string socket = std::string(identifier) + ".socket";
  const std::string service = std::string(identifier) + ".service";
  auto tool = startTool(std::string(kSystemctl),
                        {"show",
                         "--property=Id,LoadState,ActiveState,SubState,MainPID,"
                         "ActiveEnterTimestamp",
                         socket, service},
                        /*captureStdout=*/true);
  if (!tool) return tool.error();
  std::string out, err;
  readBothToEnd(tool->stdoutRead, tool->stderrRead, out, err);
  if (const int status = tool->process.wait(); status != 0) {
    while (!err.empty() && err.back() == '\n') err.pop_back();
    return Error{0, "systemctl show failed (exit " + std::to_string(status) + "): " + err};
  }
  // Blocks of Key=Value lines separated by an empty line, one block per unit; the order of the
  // lines within a block is systemctl's own.
  std::map<std::string, std::map<std::string, std::string>> units;
  std::map<std::string, std::string> block;
  std::string_view rest = out;
  for (;;) {
    const std::size_t nl = rest.find('\n');
    const std::string_view line = rest.substr(0, nl);
    const std::size_t eq = line.find('=');
    if (eq != std::string_view::npos) {
      block[std::string(line.substr(0, eq))] = std::string(line.substr(eq + 1));
    } else if (!block.empty()) {
      units[block["Id"]] = std::move(block);
      block.clear();
    }
    if (nl == std::string_view::npos) break;
    rest = rest.substr(nl + 1);
  }
  if (!block.empty()) units[block["Id"]] = std::move(block);
  auto& s = units[socket];
  auto& v = units[service];
  jobs.managed = s["LoadState"] == "loaded";
  if (!jobs.managed) return jobs;
  jobs.socketState = s["ActiveState"] + " (" + s["SubState"] + ")";
  jobs.serviceState = v["ActiveState"] + " (" + v["SubState"] + ")";
  (void)parseNumber(std::string_view(v["MainPID"]), jobs.servicePid);
  jobs.serviceSince = v["ActiveEnterTimestamp"];
  return jobs;
}

Result<ProcessName> unixSocketCreator(const std::string& path) {
  struct sockaddr_un addr {};
  if (path.empty() || path.size() >= sizeof(addr.sun_path)) {
    return Error{ENAMETOOLONG, "socket path too long: " + path};
  }
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path.data(), path.size());
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) return Error::fromErrno(errno, "socket");
  int rc;
  do {
    rc = ::connect(fd.get(), reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr));
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) return Error::fromErrno(errno, "cannot connect to " + path);
  // A connected socket's peer credentials are those of whoever called listen().
  struct ucred cred {};
  socklen_t len = sizeof cred;
  if (::getsockopt(fd.get(), SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) {
    return Error::fromErrno(errno, "cannot read the peer of " + path);
  }
  return processName(cred.pid);
}

}  // namespace tamsel
