// A tiny client for the admission tests, built unsigned and signed by each identity of the test
// PKI. Exit 0: served, 3: refused (no hello, or dropped), 4: answered for another pid, 2: usage.
//   ping SOCKET                 one request on a connection of its own
//   inherit SOCKET EXE [MODE]   served once, then a child execs EXE MODE FD (MODE send-fd by
//                               default) on the same connection: the child's code, plus 100 if
//                               the connection still serves the parent afterwards
//   fork-send SOCKET            the same with a forked child that introduces itself, no exec
//   exec-send SOCKET EXE        served once, then execs EXE send-fd FD
//   send-then-exec SOCKET EXE   writes a request before it is admitted, then execs EXE await FD
//   await FD                    prints "waiting", then 0 if the connection is admitted and answers
//   send-fd FD / send-fd-raw FD one request on an inherited connection, introduced first or not
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/testing/raw_peer.h"

using tamsel::ipc::testing::RawPeer;

namespace {

// Patched by the tests to make a signed copy's bytes differ after signing, harmlessly.
volatile const char kPatchMe[] = "PATCH-ME-AFTER-SIGNING";

constexpr int kServed = 0, kUsage = 2, kRefused = 3;

// The daemon must see the writer of the request: this very process.
int requestOnce(RawPeer& peer, std::uint64_t id) {
  if (!peer.sendRequest(id, "peer")) return kRefused;
  auto reply = peer.readReply();
  if (!reply) return kRefused;
  return reply->values.size() == 3 && std::get<std::int64_t>(reply->values[0]) == ::getpid()
             ? kServed
             : 4;
}

// Hands the connection on to exe across an exec.
int execWith(RawPeer& peer, const char* exe, const char* mode) {
  ::fcntl(peer.fd(), F_SETFD, 0);
  const std::string fd = std::to_string(peer.fd());
  ::execl(exe, exe, mode, fd.c_str(), static_cast<char*>(nullptr));
  return kUsage;
}

int inherit(RawPeer& peer, const char* exe, const char* mode) {
  const pid_t child = ::fork();
  if (child == 0) {
    ::_exit(exe != nullptr     ? execWith(peer, exe, mode)
            : peer.introduce() ? requestOnce(peer, 2)
                               : kRefused);
  }
  int status = 0;
  if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status)) return kUsage;
  return WEXITSTATUS(status) + (requestOnce(peer, 3) == kServed ? 100 : 0);
}

}  // namespace

int main(int argc, char** argv) {
  (void)kPatchMe[0];
  const std::string mode = argc > 2 ? argv[1] : "";
  if (mode == "await" || mode == "send-fd" || mode == "send-fd-raw") {
    RawPeer peer{tamsel::UniqueFd(std::atoi(argv[2]))};
    if (mode == "send-fd-raw") return requestOnce(peer, 2);
    if (mode == "send-fd") return peer.introduce() ? requestOnce(peer, 2) : kRefused;
    std::printf("waiting\n");
    std::fflush(stdout);
    return peer.waitHello(30'000) && peer.readReply().has_value() ? kServed : kRefused;
  }
  RawPeer peer(argc > 2 ? argv[2] : "");
  if (mode == "send-then-exec" && argc == 4) {
    return peer.sendRequest(1, "peer") ? execWith(peer, argv[3], "await") : kUsage;
  }
  const bool withExe = mode == "inherit" || mode == "exec-send";
  if (!peer.connected() || (withExe ? argc < 4 : mode != "ping" && mode != "fork-send")) {
    std::fprintf(stderr, "usage: ipc-test-client MODE SOCKET|FD [EXE [MODE]]\n");
    return kUsage;
  }
  if (!peer.waitHello() || requestOnce(peer, 1) != kServed) return kRefused;
  if (mode == "ping") return kServed;
  if (mode == "inherit") return inherit(peer, argv[3], argc == 5 ? argv[4] : "send-fd");
  if (mode == "fork-send") return inherit(peer, nullptr, nullptr);
  if (mode == "exec-send") return execWith(peer, argv[3], "send-fd");
  return kUsage;
}
