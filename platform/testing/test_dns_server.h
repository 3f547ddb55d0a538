// A DNS server for tests: answers A and AAAA questions about fixed names over UDP on 127.0.0.1,
// from a thread of its own. Names it does not know get NXDOMAIN; a server without records never
// answers.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "platform/unique_fd.h"

namespace tamsel::testing {

class TestDnsServer {
 public:
  // records: "name=address" (an IPv4 or IPv6 literal) or "name=@target" (a CNAME). port 0
  // takes a free one.
  explicit TestDnsServer(const std::vector<std::string>& records, std::uint16_t port = 0);
  ~TestDnsServer();

  std::uint16_t port() const { return port_; }

 private:
  void serve();
  std::string answer(const std::string& query) const;

  std::multimap<std::string, std::string> records_;
  UniqueFd socket_;
  std::uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace tamsel::testing
