// The service layer: a listener on the helper's service name that admits peers by code
// signature and delivers their requests to one exported object.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ipc/value.h"
#include "platform/result.h"

namespace tamsel::ipc {

// Who sent the request being served, as the kernel stamped it.
struct PeerCredentials {
  std::int32_t pid = 0;
  std::uint32_t uid = 0;  // the effective user id
  std::uint32_t gid = 0;
};

// The peer of the request the calling thread is serving; absent outside a request.
std::optional<PeerCredentials> currentConnectionPeer();

// Marks the calling thread as serving a request of peer until destroyed. The service layer
// wraps every body in one; tests use it to play a request.
class ScopedRequestPeer {
 public:
  explicit ScopedRequestPeer(PeerCredentials peer);
  ~ScopedRequestPeer();
  ScopedRequestPeer(const ScopedRequestPeer&) = delete;
  ScopedRequestPeer& operator=(const ScopedRequestPeer&) = delete;

 private:
  std::optional<PeerCredentials> previous_;
};

// Answers one request, at most once. If dropped unanswered, the connection gets a protocol error
// instead, so a client never waits for ever.
class Responder {
 public:
  class Channel;  // the connection's sending side, owned by the service layer
  Responder(std::shared_ptr<Channel> channel, std::uint64_t requestId);
  Responder(Responder&&) noexcept;
  Responder& operator=(Responder&&) noexcept;
  Responder(const Responder&) = delete;
  Responder& operator=(const Responder&) = delete;
  ~Responder();

  void reply(std::vector<Value> values) &&;
  // Ends the connection after telling the peer why (unknown selector, wrong argument types).
  void protocolError(std::string reason) &&;

 private:
  std::shared_ptr<Channel> channel_;
  std::uint64_t requestId_ = 0;
};

// The object exported on connections. Requests of one connection arrive one at a time, in
// order; requests of different connections may arrive at the same time on different threads.
class RequestHandler {
 public:
  virtual ~RequestHandler() = default;
  virtual void handle(Request request, Responder responder) const = 0;
};

// A new connection, offered to the delegate once, before any of its requests.
class Connection {
 public:
  virtual ~Connection() = default;
  virtual void setExportedObject(std::shared_ptr<const RequestHandler> object) = 0;
  virtual void resume() = 0;
  virtual PeerCredentials peer() const = 0;
};

class ListenerDelegate {
 public:
  virtual ~ListenerDelegate() = default;
  virtual bool shouldAcceptNewConnection(Connection& connection) = 0;
};

// The listening socket of the named service: "/run/" + name + ".socket".
std::string serviceSocketPath(std::string_view serviceName);

// Knobs that tests and benchmarks turn; the daemon uses the defaults.
struct ListenerOptions {
  std::string socketPath;           // empty: derived from the service name
  std::string anchorPath;           // empty: the platform's code-signing root
  bool forcePidfdFallback = false;  // behave as on a kernel without SO_PEERPIDFD
  int unadmittedIdleTimeoutMs = 0;  // how long a peer may wait for its verdict; 0: built in
};

class Listener {
 public:
  // Listens on the socket of the named service, or on the one the service manager passed.
  explicit Listener(std::string_view serviceName, ListenerOptions options = {});
  ~Listener();
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

  void setDelegate(ListenerDelegate* delegate);
  void setConnectionCodeSigningRequirement(std::string_view requirement);
  void resume();
  // The main thread's run loop: returns only after stop().
  void run();
  void stop();
  // Whether the socket could be opened (and, after resume, served); no peer ever sees this.
  const Status& status() const;

  class Impl;

 private:
  std::unique_ptr<Impl> impl_;
  friend struct ListenerTesting;
};

}  // namespace tamsel::ipc
