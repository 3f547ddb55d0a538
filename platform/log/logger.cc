#include "platform/log/logger.h"

#include <atomic>
#include <utility>

#include "platform/log/echo_sink.h"
#include "platform/utf8.h"

namespace tamsel::log {
namespace {

std::atomic<std::shared_ptr<Sink>>& defaultSinkSlot() {
  static std::atomic<std::shared_ptr<Sink>> slot{std::make_shared<EchoSink>(2)};
  return slot;
}

}  // namespace

void setDefaultSink(std::shared_ptr<Sink> sink) {
  if (!sink) sink = std::make_shared<EchoSink>(2);
  defaultSinkSlot().store(std::move(sink));
}

std::shared_ptr<Sink> defaultSink() {
  return defaultSinkSlot().load();
}

Logger::Logger(std::string subsystem, std::string category)
    : subsystem_(std::move(subsystem)), category_(std::move(category)) {}

Logger::Logger(std::string subsystem, std::string category, std::shared_ptr<Sink> sink)
    : subsystem_(std::move(subsystem)), category_(std::move(category)), sink_(std::move(sink)) {}

void Logger::log(Level level, std::string_view format, std::initializer_list<Arg> args) const {
  // Logging never fails the caller: an entry that cannot be built (out of memory) is dropped.
  try {
    Entry entry;
    entry.time = std::chrono::system_clock::now();
    entry.level = level;
    entry.subsystem = subsystem_;
    entry.category = category_;
    entry.message = compose(format, args);
    // The store and every reader of it deal in text: invalid bytes from a value become U+FFFD.
    // The message is otherwise kept whole, however long; the store bounds itself in bytes.
    repairUtf8(entry.message);
    const std::shared_ptr<Sink> sink = sink_ ? sink_ : defaultSink();
    sink->write(entry);
  } catch (...) {
  }
}

}  // namespace tamsel::log
