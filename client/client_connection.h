// One connection to the helper, from the client's side: sends requests, matches replies to them
// by id. Whoever waits for a reply reads the socket; once a callback is pending, a reader thread
// takes over.
//
// A child forked from the process that connected may go on using the connection for blocking
// calls (it introduces itself to the helper first), as long as the parent has made no callback
// calls (no reader thread) and the two take turns.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/ipc/value.h"
#include "platform/ipc/wire_format.h"
#include "platform/result.h"
#include "platform/unique_fd.h"

namespace tamsel::client {

using Values = std::vector<ipc::Value>;
using ValuesCallback = std::function<void(Result<Values>)>;

class ClientConnection {
 public:
  // Connects and waits for the helper's hello: an admitted connection, or an error.
  static Result<std::unique_ptr<ClientConnection>> open(std::string_view socketPath, int timeoutMs);
  ~ClientConnection();
  ClientConnection(const ClientConnection&) = delete;
  ClientConnection& operator=(const ClientConnection&) = delete;

  // Blocks until the reply (or the end of the connection).
  Result<Values> call(std::string_view selector, Values args);
  // The callback runs exactly once, on the reader thread.
  void call(std::string_view selector, Values args, ValuesCallback callback);

 private:
  explicit ClientConnection(UniqueFd fd);

  struct Slot {
    ValuesCallback callback;  // empty for a blocking call
    std::optional<Result<Values>> result;
  };

  Result<std::uint64_t> submit(std::string_view selector, Values args, ValuesCallback callback);
  // In a process other than the one that connected: says so and waits for the helper's hello.
  Status introduceIfNewProcess();
  // Reads until at least one frame has been handled; false once the connection is over.
  bool readSome(std::unique_lock<std::mutex>& lock);
  // With the lock held; callbacks that became due are returned to be run outside it.
  void deliver(std::uint64_t id, Result<Values> result, std::vector<std::function<void()>>& due);
  void breakLocked(const Error& why, std::vector<std::function<void()>>& due);
  void startReaderLocked();

  UniqueFd fd_;
  std::mutex sendMutex_;
  // The process generation (bumped in every forked child) that last spoke on the connection.
  std::uint64_t speakerGeneration_;

  std::mutex mutex_;
  std::condition_variable changed_;
  std::map<std::uint64_t, Slot> slots_;
  std::uint64_t nextId_ = 1;
  bool reading_ = false;  // someone is in readSome
  std::optional<Error> broken_;
  std::thread reader_;
  bool closing_ = false;

  // Touched only by whoever is reading.
  ipc::wire::FrameAssembler assembler_{ipc::wire::Side::kClient};
  ipc::wire::FdQueue fds_;
};

}  // namespace tamsel::client
