// A tiny client for the admission tests. Built once unsigned and signed at build time with each
// identity of the test PKI; the tests run the copies as separate processes.
//
//   ipc-test-client ping SOCKET              exit 0 served, 3 refused (no hello or dropped)
//   ipc-test-client inherit SOCKET EXE [MODE]
//                                            served once, then a child runs EXE MODE FD (send-fd
//                                            by default) on the same connection; exit = the
//                                            child's code, plus 100 if the connection still
//                                            serves us afterwards
//   ipc-test-client fork-send SOCKET         the same with a forked child that does not exec
//   ipc-test-client exec-send SOCKET EXE     served once, then this very process execs EXE
//                                            send-fd FD: exit = its code
//   ipc-test-client send-then-exec SOCKET EXE
//                                            writes a request before being admitted, then execs
//                                            EXE await-reply FD
//   ipc-test-client await-reply FD           prints "waiting", then: 0 if the connection is
//                                            admitted and answers, 3 if it is dropped
//   ipc-test-client send-fd-raw FD           the same without introducing itself first
//   ipc-test-client send-fd FD               one request on an inherited connection: 0 served,
//                                            3 refused
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/ipc/ipc_test_support.h"

using namespace tamsel::ipc;
using namespace tamsel::ipc::testing;

namespace {

// Patched by the tests to make a signed copy's bytes differ after signing, harmlessly.
volatile const char kPatchMe[] = "PATCH-ME-AFTER-SIGNING";

constexpr int kServed = 0;
constexpr int kRefused = 3;
constexpr int kUsage = 2;

int requestOnce(RawPeer& peer, std::uint64_t id) {
  if (!peer.sendRequest(id, "peer")) return kRefused;
  auto reply = peer.readReply();
  if (!reply) return kRefused;
  // The daemon must see the writer of the request: this very process.
  if (reply->values.size() != 3 || std::get<std::int64_t>(reply->values[0]) != ::getpid()) return 4;
  return kServed;
}

int ping(const std::string& socket) {
  RawPeer peer(socket);
  if (!peer.connected()) return kUsage;
  if (!peer.waitHello()) return kRefused;
  return requestOnce(peer, 1);
}

int inherit(const std::string& socket, const char* exe, const char* childMode) {
  RawPeer peer(socket);
  if (!peer.connected()) return kUsage;
  if (!peer.waitHello() || requestOnce(peer, 1) != kServed) return kRefused;
  const pid_t child = ::fork();
  if (child < 0) return kUsage;
  if (child == 0) {
    if (exe == nullptr) {
      RawPeer* inherited = &peer;
      ::_exit(inherited->introduce() ? requestOnce(*inherited, 2) : kRefused);
    }
    ::fcntl(peer.fd(), F_SETFD, 0);  // let the connection survive exec
    const std::string fd = std::to_string(peer.fd());
    ::execl(exe, exe, childMode, fd.c_str(), static_cast<char*>(nullptr));
    ::_exit(kUsage);
  }
  int status = 0;
  if (::waitpid(child, &status, 0) != child || !WIFEXITED(status)) return kUsage;
  const int childCode = WEXITSTATUS(status);
  const bool stillServed = requestOnce(peer, 3) == kServed;
  return childCode + (stillServed ? 100 : 0);
}

int execSend(const std::string& socket, const char* exe) {
  RawPeer peer(socket);
  if (!peer.connected()) return kUsage;
  if (!peer.waitHello() || requestOnce(peer, 1) != kServed) return kRefused;
  ::fcntl(peer.fd(), F_SETFD, 0);
  const std::string fd = std::to_string(peer.fd());
  ::execl(exe, exe, "send-fd", fd.c_str(), static_cast<char*>(nullptr));
  return kUsage;
}

int sendThenExec(const std::string& socket, const char* exe) {
  RawPeer peer(socket);
  if (!peer.connected() || !peer.sendRequest(1, "peer")) return kUsage;
  ::fcntl(peer.fd(), F_SETFD, 0);
  const std::string fd = std::to_string(peer.fd());
  ::execl(exe, exe, "await-reply", fd.c_str(), static_cast<char*>(nullptr));
  return kUsage;
}

int awaitReply(int fd) {
  RawPeer peer{tamsel::UniqueFd(fd)};
  std::printf("waiting\n");
  std::fflush(stdout);
  if (!peer.waitHello(30'000)) return kRefused;
  return peer.readReply().has_value() ? kServed : kRefused;
}

int sendOnFd(int fd, bool introduce) {
  RawPeer peer{tamsel::UniqueFd(fd)};
  if (introduce && !peer.introduce()) return kRefused;
  return requestOnce(peer, 2);
}

}  // namespace

int main(int argc, char** argv) {
  (void)kPatchMe[0];
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "ping" && argc == 3) return ping(argv[2]);
  if (mode == "inherit" && (argc == 4 || argc == 5)) {
    return inherit(argv[2], argv[3], argc == 5 ? argv[4] : "send-fd");
  }
  if (mode == "fork-send" && argc == 3) return inherit(argv[2], nullptr, nullptr);
  if (mode == "exec-send" && argc == 4) return execSend(argv[2], argv[3]);
  if (mode == "send-then-exec" && argc == 4) return sendThenExec(argv[2], argv[3]);
  if (mode == "await-reply" && argc == 3) return awaitReply(std::atoi(argv[2]));
  if (mode == "send-fd" && argc == 3) return sendOnFd(std::atoi(argv[2]), true);
  if (mode == "send-fd-raw" && argc == 3) return sendOnFd(std::atoi(argv[2]), false);
  std::fprintf(
      stderr,
      "usage: ipc-test-client "
      "ping|inherit|fork-send|exec-send|send-then-exec|await-reply|send-fd|send-fd-raw ...\n");
  return kUsage;
}
