#include "sandbox/tests/support/raw_connection.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <chrono>
#include <cstring>
#include <variant>

#include "platform/process_protection.h"

namespace tamsel::systemtest {
namespace {

using Clock = std::chrono::steady_clock;

Outcome failed(Outcome::Kind kind, std::string reason) {
  Outcome o;
  o.kind = kind;
  o.reason = std::move(reason);
  return o;
}

}  // namespace

std::string Outcome::describe() const {
  switch (kind) {
    case Kind::kHello:
      return "hello";
    case Kind::kReply:
      return "reply with " + std::to_string(values.size()) + " value(s)";
    case Kind::kError:
      return "error frame: " + reason;
    case Kind::kClosed:
      return "connection closed" + (reason.empty() ? "" : ": " + reason);
    case Kind::kTimeout:
      return "no answer in time";
    case Kind::kFailed:
      return "failed: " + reason;
  }
  return "?";
}

ipc::Value text(std::string s) {
  return ipc::StringValue{std::move(s)};
}

bool firstValueIsYes(const Outcome& outcome) {
  if (outcome.kind != Outcome::Kind::kReply || outcome.values.empty()) return false;
  const bool* yes = std::get_if<bool>(&outcome.values[0]);
  return yes != nullptr && *yes;
}

std::optional<std::string> stringAt(const Outcome& outcome, std::size_t index) {
  if (outcome.kind != Outcome::Kind::kReply || outcome.values.size() <= index) return std::nullopt;
  const auto* s = std::get_if<ipc::StringValue>(&outcome.values[index]);
  if (s == nullptr) return std::nullopt;
  return s->text;
}

std::optional<RawConnection> openAdmitted(int timeoutMs, std::string* error) {
  std::optional<RawConnection> conn = RawConnection::open(error);
  if (!conn) return std::nullopt;
  const Outcome hello = conn->awaitHello(timeoutMs);
  if (hello.kind != Outcome::Kind::kHello) {
    if (error) *error = "no hello: " + hello.describe();
    return std::nullopt;
  }
  return conn;
}

std::optional<RawConnection> RawConnection::open(std::string* error) {
  // As the client library does: the daemon refuses a non-root client its user could tamper with.
  if (auto st = shutOutSameUserProcesses(); !st) {
    if (error) *error = st.error().description;
    return std::nullopt;
  }
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) {
    if (error) *error = std::string("socket: ") + std::strerror(errno);
    return std::nullopt;
  }
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, kServiceSocket.data(), kServiceSocket.size());
  if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    if (error) *error = std::string("connect: ") + std::strerror(errno);
    return std::nullopt;
  }
  return RawConnection(std::move(fd));
}

bool RawConnection::send(std::string_view selector, std::vector<ipc::Value> args,
                         std::uint64_t* id) {
  ipc::Request request;
  request.id = nextId_++;
  request.selector = std::string(selector);
  request.args = std::move(args);
  if (id) *id = request.id;
  std::string bytes;
  std::vector<int> fds;
  if (!ipc::wire::appendRequest(bytes, request, fds).ok() || !fds.empty()) return false;
  return sendBytes(bytes);
}

Outcome RawConnection::introduce(int timeoutMs) {
  Outcome hello = failed(Outcome::Kind::kFailed, "cannot send");
  for (int round = 0; round < ipc::wire::kIntroductionRounds; ++round) {
    if (!sendBytes(ipc::wire::kIntroduceFrame))
      return failed(Outcome::Kind::kFailed, "cannot send");
    hello = awaitHello(timeoutMs);
    if (hello.kind != Outcome::Kind::kHello) return hello;
  }
  return hello;
}

bool RawConnection::sendBytes(std::string_view bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = ::send(fd_.get(), bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

Outcome RawConnection::next(int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    auto frame = assembler_.next(fds_);
    if (!frame.ok()) return failed(Outcome::Kind::kFailed, frame.error().description);
    if (frame->has_value()) {
      Outcome o;
      std::visit(
          [&o](auto& f) {
            using F = std::decay_t<decltype(f)>;
            if constexpr (std::is_same_v<F, ipc::wire::Reply>) {
              o.kind = Outcome::Kind::kReply;
              o.id = f.id;
              o.values = std::move(f.values);
            } else if constexpr (std::is_same_v<F, ipc::wire::ErrorFrame>) {
              o.kind = Outcome::Kind::kError;
              o.id = f.id;
              o.reason = f.reason;
            } else if constexpr (std::is_same_v<F, ipc::wire::Hello>) {
              o.kind = Outcome::Kind::kHello;
            } else {
              o.kind = Outcome::Kind::kFailed;
              o.reason = "unexpected frame from the daemon";
            }
          },
          **frame);
      return o;
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return failed(Outcome::Kind::kTimeout, "");
    pollfd p{fd_.get(), POLLIN, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(left));
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) return failed(Outcome::Kind::kFailed, std::strerror(errno));
    if (ready == 0) return failed(Outcome::Kind::kTimeout, "");

    char buf[16384];
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * ipc::wire::kMaxFrameFds)];
    iovec iov{buf, sizeof buf};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    const ssize_t n = ::recvmsg(fd_.get(), &msg, MSG_CMSG_CLOEXEC);
    if (n < 0 && errno == EINTR) continue;
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
      if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
      const std::size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
      for (std::size_t i = 0; i < count; ++i) {
        int received;
        std::memcpy(&received, CMSG_DATA(c) + i * sizeof(int), sizeof(int));
        fds_.emplace_back(received);
      }
    }
    if (n < 0) return failed(Outcome::Kind::kClosed, std::strerror(errno));
    if (n == 0) return failed(Outcome::Kind::kClosed, "");
    assembler_.append({buf, static_cast<std::size_t>(n)});
  }
}

Outcome RawConnection::awaitHello(int timeoutMs) {
  return next(timeoutMs);
}

Outcome RawConnection::call(std::string_view selector, std::vector<ipc::Value> args,
                            int timeoutMs) {
  if (!send(selector, std::move(args))) {
    return failed(Outcome::Kind::kClosed, std::string("send: ") + std::strerror(errno));
  }
  return next(timeoutMs);
}

}  // namespace tamsel::systemtest
