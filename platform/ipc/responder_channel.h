// The sending side of one server connection, shared by the connection and every Responder of it.
#pragma once

#include <cstdint>
#include <mutex>
#include <string_view>
#include <vector>

#include "platform/ipc/service.h"
#include "platform/unique_fd.h"

namespace tamsel::ipc {

class Responder::Channel {
 public:
  explicit Channel(UniqueFd socket) : socket_(std::move(socket)) {}

  int fd() const { return socket_.get(); }

  // Sends a reply; the descriptors in values are closed once sent. A reply that cannot be
  // encoded (too large) becomes a protocol error; one that cannot be sent ends the connection.
  void reply(std::uint64_t id, std::vector<Value> values);
  // Tells the peer why, then ends the connection.
  void fail(std::uint64_t id, std::string_view reason);
  // Tells an admitted peer that it may speak.
  bool sendHello();
  // Ends the connection: the peer reads the end of the stream and the reading side stops.
  void close();
  bool closed() const;

 private:
  bool sendLocked(std::string_view bytes, const std::vector<int>& fds);

  mutable std::mutex mutex_;
  UniqueFd socket_;
  bool closed_ = false;
};

}  // namespace tamsel::ipc
