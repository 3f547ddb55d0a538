#include "platform/log/daemon_sink.h"

#include <string>

#include "platform/log/echo_sink.h"
#include "platform/log/log_store.h"

namespace tamsel::log {
namespace {

class StoreAndEcho final : public Sink {
 public:
  StoreAndEcho(std::shared_ptr<Sink> store, std::shared_ptr<EchoSink> echo)
      : store_(std::move(store)), echo_(std::move(echo)) {}

  void write(const Entry& entry) override {
    if (store_) store_->write(entry);
    echo_->write(entry);
  }

 private:
  const std::shared_ptr<Sink> store_;  // null when the store could not be opened
  const std::shared_ptr<EchoSink> echo_;
};

}  // namespace

std::shared_ptr<Sink> openDaemonSink(std::string_view storePath, int echoFd) {
  auto echo = std::make_shared<EchoSink>(echoFd);
  auto store = LogStore::open(storePath);
  if (!store) {
    echo->writeLine("<3>log store unavailable, logging to standard error only: " +
                    store.error().description + "\n");
    return std::make_shared<StoreAndEcho>(nullptr, std::move(echo));
  }
  return std::make_shared<StoreAndEcho>(std::move(store).value(), std::move(echo));
}

}  // namespace tamsel::log
