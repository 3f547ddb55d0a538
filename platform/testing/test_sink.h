// An in-memory log sink for tests: keeps every entry it is given.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "platform/log/logger.h"

namespace tamsel::log {

class TestSink final : public Sink {
 public:
  void write(const Entry& entry) override {
    std::lock_guard lock(mu_);
    entries_.push_back(entry);
  }
  std::vector<Entry> entries() const {
    std::lock_guard lock(mu_);
    return entries_;
  }
  std::vector<std::string> messages() const {
    std::vector<std::string> out;
    for (const auto& e : entries()) out.push_back(e.message);
    return out;
  }

 private:
  mutable std::mutex mu_;
  std::vector<Entry> entries_;
};

}  // namespace tamsel::log
