#include "client/client_connection.h"

#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "platform/ipc/socket_io.h"
#include "platform/process_protection.h"

namespace tamsel::client {
namespace {

constexpr std::size_t kReadBytes = 64 * 1024;
constexpr int kSendTimeoutMs = 30'000;

// Waits until fd is readable; false on timeout (timeoutMs < 0: no limit).
bool waitReadable(int fd, int timeoutMs) {
  struct pollfd p {
    fd, POLLIN, 0
  };
  for (;;) {
    const int n = ::poll(&p, 1, timeoutMs);
    if (n >= 0) return n > 0;
    if (errno != EINTR) return false;
  }
}

// Which process this is, without a system call per request: every forked child counts one up.
std::atomic<std::uint64_t> gProcessGeneration{0};

std::uint64_t processGeneration() {
  static const bool registered = [] {
    ::pthread_atfork(nullptr, nullptr, [] { gProcessGeneration.fetch_add(1); });
    return true;
  }();
  (void)registered;
  return gProcessGeneration.load(std::memory_order_relaxed);
}

// Read into a buffer per thread, kept: fresh pages are expensive.
std::vector<char>& readBuffer() {
  thread_local std::vector<char> buffer(kReadBytes);
  return buffer;
}

Error refusedAdmission() {
  return Error{EACCES, "the helper refused this client (admission by code signature)"};
}

}  // namespace

Result<std::unique_ptr<ClientConnection>> ClientConnection::open(std::string_view socketPath,
                                                                 int timeoutMs) {
  struct sockaddr_un addr {};
  if (socketPath.empty() || socketPath.size() >= sizeof(addr.sun_path)) {
    return Error{ENAMETOOLONG, "socket path too long: " + std::string(socketPath)};
  }
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, socketPath.data(), socketPath.size());
  // The helper refuses a client of another user that its own user could still tamper with.
  if (auto st = shutOutSameUserProcesses(); !st) return st.error();
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) return Error::fromErrno(errno, "socket");
  int rc;
  do {
    rc = ::connect(fd.get(), reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr));
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) return Error::fromErrno(errno, "cannot connect to " + std::string(socketPath));

  // Nothing may be sent before the hello: it says this process has been admitted.
  std::unique_ptr<ClientConnection> conn(new ClientConnection(std::move(fd)));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  auto& buffer = readBuffer();
  for (;;) {
    auto frame = conn->assembler_.next(conn->fds_);
    if (!frame) return frame.error();
    if (frame->has_value()) {
      if (const auto* hello = std::get_if<ipc::wire::Hello>(&**frame)) {
        if (hello->version != ipc::wire::kProtocolVersion) {
          return Error{EPROTO, "the helper speaks protocol version " +
                                   std::to_string(hello->version) + ", this client " +
                                   std::to_string(ipc::wire::kProtocolVersion)};
        }
        return conn;
      }
      if (const auto* e = std::get_if<ipc::wire::ErrorFrame>(&**frame)) {
        return Error{EPROTO, "the helper ended the connection: " + e->reason};
      }
      return Error{EPROTO, "the helper sent something other than its hello"};
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || !waitReadable(conn->fd_.get(), static_cast<int>(left.count()))) {
      return Error{ETIMEDOUT, "the helper did not admit this client in time"};
    }
    auto got = ipc::sock::receive(conn->fd_.get(), buffer, &conn->fds_);
    if (!got) {
      if (got.error().code == ECONNRESET) return refusedAdmission();
      return got.error();
    }
    if (got->kind == ipc::sock::Received::Kind::kEndOfStream) return refusedAdmission();
    conn->assembler_.append({buffer.data(), got->bytes});
  }
}

ClientConnection::ClientConnection(UniqueFd fd)
    : fd_(std::move(fd)), speakerGeneration_(processGeneration()) {}

Status ClientConnection::introduceIfNewProcess() {
  const std::uint64_t me = processGeneration();
  std::unique_lock lock(mutex_);
  if (me == speakerGeneration_) return {};
  if (broken_) return *broken_;
  auto& buffer = readBuffer();
  std::vector<std::function<void()>> due;
  auto refused = [&](int code) -> Status {
    const Error ended{code, "the helper refused this process on the connection"};
    breakLocked(ended, due);
    lock.unlock();
    for (auto& run : due) run();
    return ended;
  };
  for (int round = 0; round < ipc::wire::kIntroductionRounds; ++round) {
    {
      std::lock_guard sendLock(sendMutex_);
      if (auto st = ipc::sock::sendAll(fd_.get(), ipc::wire::kIntroduceFrame, {}, kSendTimeoutMs);
          !st) {
        return st;
      }
    }
    // Nothing else may be sent before the helper's answer.
    for (bool hello = false; !hello;) {
      auto frame = assembler_.next(fds_);
      if (!frame) return frame.error();
      if (frame->has_value()) {
        auto& f = **frame;
        hello = std::holds_alternative<ipc::wire::Hello>(f);
        if (auto* reply = std::get_if<ipc::wire::Reply>(&f)) {
          deliver(reply->id, std::move(reply->values), due);
        } else if (!hello) {
          return refused(EPROTO);
        }
        continue;
      }
      auto got = ipc::sock::receive(fd_.get(), buffer, &fds_, /*wait=*/true);
      if (!got || got->kind == ipc::sock::Received::Kind::kEndOfStream) return refused(EACCES);
      assembler_.append({buffer.data(), got->bytes});
    }
  }
  speakerGeneration_ = me;
  lock.unlock();
  for (auto& run : due) run();
  return {};
}

ClientConnection::~ClientConnection() {
  {
    std::lock_guard lock(mutex_);
    closing_ = true;
  }
  ::shutdown(fd_.get(), SHUT_RDWR);
  changed_.notify_all();
  if (reader_.joinable()) reader_.join();
  // Whatever the reader did not get to: every callback is answered once.
  std::vector<std::function<void()>> due;
  {
    std::lock_guard lock(mutex_);
    breakLocked(Error{ECANCELED, "the connection to the helper was closed"}, due);
  }
  for (auto& run : due) run();
}

Result<std::uint64_t> ClientConnection::submit(std::string_view selector, Values args,
                                               ValuesCallback callback) {
  if (auto st = introduceIfNewProcess(); !st) return st.error();
  std::uint64_t id;
  {
    std::lock_guard lock(mutex_);
    if (broken_) return *broken_;
    id = nextId_++;
    slots_[id] = Slot{std::move(callback), std::nullopt};
  }
  std::string bytes;
  std::vector<int> fds;
  Status st = ipc::wire::appendRequest(
      bytes, ipc::Request{id, std::string(selector), std::move(args)}, fds);
  if (st) {
    std::lock_guard lock(sendMutex_);
    st = ipc::sock::sendAll(fd_.get(), bytes, fds, kSendTimeoutMs);
  }
  if (!st) {
    std::lock_guard lock(mutex_);
    slots_.erase(id);
    return st.error();
  }
  return id;
}

Result<Values> ClientConnection::call(std::string_view selector, Values args) {
  auto id = submit(selector, std::move(args), nullptr);
  if (!id) return id.error();
  std::unique_lock lock(mutex_);
  for (;;) {
    auto it = slots_.find(*id);
    if (it != slots_.end() && it->second.result) {
      Result<Values> out = std::move(*it->second.result);
      slots_.erase(it);
      return out;
    }
    if (!reading_ && !reader_.joinable()) {
      readSome(lock);
    } else {
      changed_.wait(lock);
    }
  }
}

void ClientConnection::call(std::string_view selector, Values args, ValuesCallback callback) {
  {
    std::lock_guard lock(mutex_);
    startReaderLocked();
  }
  // Shared so that a failed submit can still answer the callback it was handed.
  auto shared = std::make_shared<ValuesCallback>(std::move(callback));
  auto id =
      submit(selector, std::move(args), [shared](Result<Values> r) { (*shared)(std::move(r)); });
  if (!id) (*shared)(id.error());
}

void ClientConnection::startReaderLocked() {
  if (reader_.joinable()) return;
  reader_ = std::thread([this] {
    std::unique_lock lock(mutex_);
    while (!closing_ && !broken_) {
      if (reading_) {
        changed_.wait(lock);
      } else if (!readSome(lock)) {
        break;
      }
    }
  });
}

bool ClientConnection::readSome(std::unique_lock<std::mutex>& lock) {
  reading_ = true;
  lock.unlock();

  std::vector<std::pair<std::uint64_t, Result<Values>>> replies;
  std::optional<Error> ended;
  auto& buffer = readBuffer();
  while (replies.empty() && !ended) {
    auto frame = assembler_.next(fds_);
    if (!frame) {
      ended = frame.error();
      break;
    }
    if (frame->has_value()) {
      auto& f = **frame;
      if (auto* reply = std::get_if<ipc::wire::Reply>(&f)) {
        replies.emplace_back(reply->id, std::move(reply->values));
      } else if (auto* e = std::get_if<ipc::wire::ErrorFrame>(&f)) {
        // The helper's last word: it ends the connection after it.
        if (e->id != 0)
          replies.emplace_back(e->id,
                               Error{EPROTO, "the helper refused the request: " + e->reason});
        ended = Error{EPROTO, "the helper ended the connection: " + e->reason};
      } else {
        ended = Error{EPROTO, "unexpected frame from the helper"};
      }
      continue;
    }
    // The socket is blocking; shutting it down (destruction) wakes this read.
    auto got = ipc::sock::receive(fd_.get(), buffer, &fds_, /*wait=*/true);
    if (!got) {
      ended = got.error();
    } else if (got->kind == ipc::sock::Received::Kind::kEndOfStream) {
      ended = Error{ECONNRESET, "the helper closed the connection"};
    } else {
      assembler_.append({buffer.data(), got->bytes});
    }
  }

  std::vector<std::function<void()>> due;
  lock.lock();
  for (auto& [id, result] : replies) deliver(id, std::move(result), due);
  if (ended) breakLocked(*ended, due);
  reading_ = false;
  const bool alive = !broken_;
  lock.unlock();
  changed_.notify_all();
  for (auto& run : due) run();
  lock.lock();
  return alive;
}

void ClientConnection::deliver(std::uint64_t id, Result<Values> result,
                               std::vector<std::function<void()>>& due) {
  auto it = slots_.find(id);
  if (it == slots_.end()) return;  // not ours: nothing waits for it
  if (it->second.callback) {
    due.push_back(
        [cb = std::move(it->second.callback),
         r = std::make_shared<Result<Values>>(std::move(result))]() mutable { cb(std::move(*r)); });
    slots_.erase(it);
  } else {
    it->second.result = std::move(result);
  }
}

void ClientConnection::breakLocked(const Error& why, std::vector<std::function<void()>>& due) {
  if (!broken_) broken_ = why;
  for (auto it = slots_.begin(); it != slots_.end();) {
    if (it->second.callback) {
      due.push_back([cb = std::move(it->second.callback), why] { cb(why); });
      it = slots_.erase(it);
    } else {
      if (!it->second.result) it->second.result = Result<Values>(why);
      ++it;
    }
  }
}

}  // namespace tamsel::client
