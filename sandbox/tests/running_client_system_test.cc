// What a test user can do to a signed client's running image, tried against the real daemon: load
// code of hers into it (preloaded or as an audit module), trace it from its start, run it in a
// user namespace of her own, give it anonymous executable memory, forge the credentials of a signed
// process of hers, or run it from a file system of hers that stops answering. Each is refused, and
// the log store shows that no body ran; the plain signed client is served.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fuse.h>
#include <poll.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/identity.h"
#include "platform/process_protection.h"
#include "platform/testing/raw_peer.h"
#include "sandbox/tests/support/sandbox_env.h"

namespace tamsel::systemtest {
namespace {

namespace fs = std::filesystem;
using ipc::testing::RawPeer;

constexpr int kTimeoutMs = 10'000;
const std::string kSocket(kServiceSocketPath);
constexpr const char* kVersion = "helperVersionWithReply:";

// The signed client's version request as alice, after the given prefix.
std::function<int()> helperctlAsAlice(std::vector<std::string> prefix) {
  prefix.insert(prefix.end(), {std::string(kSignedHelperctl), kVersion});
  return [prefix] { return runProgram(prefix, kAlice).status; };
}

// The signed client, traced by alice from its exec on.
int tracedByAlice() {
  return runAsUser(kAlice, [] {
    const pid_t child = ::fork();
    if (child == 0) {
      ::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
      const std::string path(kSignedHelperctl);
      ::execl(path.c_str(), path.c_str(), kVersion, nullptr);
      ::_exit(127);
    }
    for (int status = 0;;) {
      if (::waitpid(child, &status, 0) != child) return 126;
      if (WIFEXITED(status)) return WEXITSTATUS(status);
      if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
      const long sig = WSTOPSIG(status) == SIGTRAP ? 0 : WSTOPSIG(status);
      ::ptrace(PTRACE_CONT, child, nullptr, reinterpret_cast<void*>(sig));
    }
  });
}

TEST(RunningClientSystemTest, OnlyTheUntamperedSignedClientIsServed) {
  const std::string library = std::string(kAlice.home) + "/libtamsel_test.so";
  fs::copy_file(std::string(kTestLibrary), library, fs::copy_options::overwrite_existing);
  ASSERT_EQ(::chown(library.c_str(), kAlice.uid, kAlice.gid), 0);
  const std::pair<const char*, std::function<int()>> cases[] = {
      {"plain", helperctlAsAlice({})},
      {"preloaded", helperctlAsAlice({"/usr/bin/env", "LD_PRELOAD=" + library})},
      {"audited", helperctlAsAlice({"/usr/bin/env", "LD_AUDIT=" + library})},
      {"namespaced", helperctlAsAlice({"/usr/bin/unshare", "--user", "--map-root-user"})},
      {"traced", tracedByAlice},
      {"anonymous code",
       [] {
         return runAsUser(kAlice, [] {
           // The executable memory exists before the connection does.
           if (::mmap(nullptr, 4096, PROT_READ | PROT_EXEC, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0) ==
               MAP_FAILED) {
             return 126;
           }
           RawPeer peer(kSocket);
           return peer.waitHello(kTimeoutMs) && peer.sendRequest(1, kVersion) &&
                          peer.readReply(kTimeoutMs)
                      ? 0
                      : kRefused;
         });
       }},
  };
  const LogStoreReader store;
  for (const auto& [what, run] : cases) {
    const bool served = std::string_view(what) == "plain";
    const std::int64_t mark = store.mark();
    EXPECT_EQ(run(), served ? 0 : kRefused) << what;
    EXPECT_EQ(store.entriesAfter(mark).size(), served ? 1u : 0u) << what;
  }
  fs::remove(library);
}

// Child role: stays, unreachable to its own user, until its standard input closes; says "ready"
// first. A signed process whose pid a user can name.
const bool kPauseRole = registerChildRole("pause", [](int, char**) {
  if (!shutOutSameUserProcesses()) return 1;
  std::printf("ready\n");
  std::fflush(stdout);
  while (std::getchar() != EOF) {
  }
  return 0;
});

// Writes bytes stamped with credentials of the caller's choosing.
bool sendAs(int fd, std::string_view bytes, pid_t pid) {
  struct ucred cred {
    pid, ::getuid(), ::getgid()
  };
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(cred))] = {};
  iovec iov{const_cast<char*>(bytes.data()), bytes.size()};
  msghdr msg{};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  msg.msg_control = control;
  msg.msg_controllen = sizeof(control);
  cmsghdr* c = CMSG_FIRSTHDR(&msg);
  c->cmsg_level = SOL_SOCKET;
  c->cmsg_type = SCM_CREDENTIALS;
  c->cmsg_len = CMSG_LEN(sizeof(cred));
  std::memcpy(CMSG_DATA(c), &cred, sizeof(cred));
  return ::sendmsg(fd, &msg, MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

// In user and pid namespaces of her own, alice may stamp what she writes with the pid of any
// process there. She names a signed process of hers, on a connection she was admitted on: 0 when
// the connection ends without a reply, 1 when a forged request is answered.
int forgeCredentialsOnAnAdmittedConnection() {
  RawPeer conn(kSocket);
  if (!conn.waitHello(kTimeoutMs)) return 10;
  // Its own maps are written through /proc, which a process that is not dumpable cannot do.
  if (::prctl(PR_SET_DUMPABLE, 1) != 0 || ::unshare(CLONE_NEWUSER | CLONE_NEWPID) != 0 ||
      !(std::ofstream("/proc/self/uid_map") << "501 501 1" << std::flush) ||
      !(std::ofstream("/proc/self/setgroups") << "deny" << std::flush) ||
      !(std::ofstream("/proc/self/gid_map") << "20 20 1" << std::flush)) {
    return 11;
  }
  const pid_t init = ::fork();  // pid 1 there, with every capability over it
  if (init != 0) {
    int status = 0;
    return ::waitpid(init, &status, 0) == init && WIFEXITED(status) ? WEXITSTATUS(status) : 12;
  }
  int in[2], out[2];
  if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) ::_exit(13);
  const pid_t puppet = ::fork();
  if (puppet == 0) {
    ::dup2(in[0], 0);
    ::dup2(out[1], 1);
    const std::string self(kSignedSelf);
    ::execl(self.c_str(), self.c_str(), "--child", "pause", nullptr);
    ::_exit(127);
  }
  ::close(out[1]);
  char ready[6] = {};
  std::string request;
  std::vector<int> none;
  if (::read(out[0], ready, 6) != 6 ||
      !ipc::wire::appendRequest(request, ipc::Request{1, kVersion, {}}, none)) {
    ::_exit(14);
  }
  const bool answered =
      sendAs(conn.fd(), ipc::wire::kIntroduceFrame, puppet) && conn.waitHello(kTimeoutMs) &&
      sendAs(conn.fd(), ipc::wire::kIntroduceFrame, puppet) && conn.waitHello(kTimeoutMs) &&
      sendAs(conn.fd(), request, puppet) && conn.readReply(kTimeoutMs);
  ::close(in[1]);
  ::waitpid(puppet, nullptr, 0);
  ::_exit(answered ? 1 : 0);
}

TEST(RunningClientSystemTest, CredentialsForgedInAUsersOwnNamespacesGainNothing) {
  const LogStoreReader store;
  const std::int64_t mark = store.mark();
  EXPECT_EQ(runAsUser(kAlice, forgeCredentialsOnAnAdmittedConnection), 0);
  const std::vector<StoredEntry> entries = store.entriesAfter(mark);
  EXPECT_TRUE(entries.empty()) << describe(entries);
}

// A FUSE file system of alice's serving one file, "client", with the given bytes. Once a byte
// arrives on quiet it answers page reads only: whoever asks it anything else waits for ever.
void serveFiles(int fuse, int quiet, const std::string& bytes) {
  std::vector<char> in(1 << 17);
  for (;;) {
    const ssize_t n = ::read(fuse, in.data(), in.size());
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n < static_cast<ssize_t>(sizeof(fuse_in_header))) return;  // unmounted
    const auto* h = reinterpret_cast<const fuse_in_header*>(in.data());
    const char* arg = in.data() + sizeof(fuse_in_header);
    pollfd p{quiet, POLLIN, 0};
    const bool silent = ::poll(&p, 1, 0) > 0;
    if (h->opcode == FUSE_FORGET || h->opcode == FUSE_BATCH_FORGET || h->opcode == FUSE_INTERRUPT ||
        (silent && h->opcode != FUSE_READ)) {
      continue;
    }
    std::string out(sizeof(fuse_out_header), '\0');
    int error = 0;
    auto put = [&out](const auto& value) {
      out.append(reinterpret_cast<const char*>(&value), sizeof(value));
    };
    fuse_attr attr{};  // the root directory, node 1, holds the file, node 2
    const bool root = h->opcode == FUSE_GETATTR && h->nodeid == FUSE_ROOT_ID;
    attr.ino = root ? FUSE_ROOT_ID : 2;
    attr.size = root ? 0 : bytes.size();
    attr.mode = root ? S_IFDIR | 0755 : S_IFREG | 0755;
    attr.nlink = 1;
    switch (h->opcode) {
      case FUSE_INIT: {
        const auto* init = reinterpret_cast<const fuse_init_in*>(arg);
        fuse_init_out o{};
        o.major = FUSE_KERNEL_VERSION;
        o.minor = std::min<std::uint32_t>(init->minor, FUSE_KERNEL_MINOR_VERSION);
        o.max_readahead = init->max_readahead;
        o.max_write = 4096;
        put(o);
        break;
      }
      case FUSE_LOOKUP:  // attributes and the name valid for one second
        if (std::string_view(arg) == "client") put(fuse_entry_out{2, 1, 1, 1, 0, 0, attr});
        if (std::string_view(arg) != "client") error = -ENOENT;
        break;
      case FUSE_GETATTR:
        put(fuse_attr_out{1, 0, 0, attr});
        break;
      case FUSE_OPEN:
        put(fuse_open_out{1, 0, 0});
        break;
      case FUSE_READ: {
        const auto* r = reinterpret_cast<const fuse_read_in*>(arg);
        if (r->offset < bytes.size()) out += bytes.substr(r->offset, r->size);
        break;
      }
      default:
        error = -ENOSYS;
    }
    auto* o = reinterpret_cast<fuse_out_header*>(out.data());
    o->len = static_cast<std::uint32_t>(error != 0 ? sizeof(fuse_out_header) : out.size());
    o->error = error;
    o->unique = h->unique;
    if (::write(fuse, out.data(), o->len) < 0 && errno == ENODEV) return;
  }
}

TEST(RunningClientSystemTest, AClientOnAUsersFileSystemThatStopsAnsweringCostsNothing) {
  // alice's FUSE file system, mounted for her where everyone may look at it, as fusermount does
  // where the administrator allows it.
  UniqueFd fuse(::open("/dev/fuse", O_RDWR | O_CLOEXEC));
  ASSERT_TRUE(fuse) << "the sandbox has no /dev/fuse";
  int quiet[2];
  ASSERT_EQ(::pipe2(quiet, O_CLOEXEC), 0);
  UniqueFd quietIn(quiet[0]), quietOut(quiet[1]);
  const std::string dir = "/tmp/alice-fuse";
  fs::create_directories(dir);
  const std::string options =
      "fd=" + std::to_string(fuse.get()) + ",rootmode=40000,user_id=501,group_id=20,allow_other";
  ASSERT_EQ(::mount("alice", dir.c_str(), "fuse", MS_NOSUID | MS_NODEV, options.c_str()), 0)
      << std::strerror(errno);
  const std::string bytes = ScratchDir::read(std::string(kSignedSelf));
  auto server = std::make_unique<Child>(kAlice, [&] {
    serveFiles(fuse.get(), quietIn.get(), bytes);
    return 0;
  });
  // The server alone holds the device from now on: when it goes, the file system fails whoever
  // still waits on it.
  fuse.reset();

  // She runs the signed program from it; then it falls silent, and what the kernel knew of the
  // file expires.
  Conversation alice(kAlice, dir + "/client", {"connect-per-line"});
  ASSERT_EQ(alice.readLine(), "ready");
  ASSERT_EQ(::write(quietOut.get(), "q", 1), 1);
  std::this_thread::sleep_for(std::chrono::milliseconds(1'500));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(alice.ask(""), "refused");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  const auto pingStart = std::chrono::steady_clock::now();
  EXPECT_EQ(runProgram({std::string(kSignedHelperctl), kVersion}, kBob).status, 0);
  EXPECT_LT(std::chrono::steady_clock::now() - pingStart, std::chrono::seconds(1));
  server.reset();
  ::umount2(dir.c_str(), MNT_DETACH);
  alice.finish();
  fs::remove(dir);
}

}  // namespace
}  // namespace tamsel::systemtest
