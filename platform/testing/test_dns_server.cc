#include "platform/testing/test_dns_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstdlib>

namespace tamsel::testing {
namespace {

std::string wireName(const std::string& name) {
  std::string wire;
  for (std::size_t start = 0; start <= name.size();) {
    std::size_t dot = std::min(name.find('.', start), name.size());
    wire += static_cast<char>(dot - start) + name.substr(start, dot - start);
    start = dot + 1;
  }
  return wire + '\0';
}

std::string u16(unsigned value) {
  return {static_cast<char>(value >> 8), static_cast<char>(value)};
}

}  // namespace

TestDnsServer::TestDnsServer(const std::vector<std::string>& records, std::uint16_t port)
    : socket_(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
  for (const std::string& record : records) {
    records_.emplace(record.substr(0, record.find('=')), record.substr(record.find('=') + 1));
  }
  sockaddr_in address{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
  socklen_t length = sizeof address;
  auto* generic = reinterpret_cast<sockaddr*>(&address);
  if (::bind(socket_.get(), generic, length) != 0 ||
      ::getsockname(socket_.get(), generic, &length) != 0) {
    std::perror("TestDnsServer: bind");
    std::abort();
  }
  port_ = ntohs(address.sin_port);
  thread_ = std::thread([this] { serve(); });
}

TestDnsServer::~TestDnsServer() {
  stop_ = true;
  thread_.join();
}

void TestDnsServer::serve() {
  while (!stop_) {
    pollfd readable{socket_.get(), POLLIN, 0};
    if (::poll(&readable, 1, 20) <= 0) continue;
    char packet[512];
    sockaddr_in peer;
    socklen_t peerLength = sizeof peer;
    ssize_t n = ::recvfrom(socket_.get(), packet, sizeof packet, 0,
                           reinterpret_cast<sockaddr*>(&peer), &peerLength);
    std::string reply = n > 0 && !records_.empty() ? answer(std::string(packet, n)) : "";
    if (reply.empty()) continue;
    ::sendto(socket_.get(), reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&peer),
             peerLength);
  }
}

// The query's header and question, then the records (CNAMEs followed) that answer it.
std::string TestDnsServer::answer(const std::string& query) const {
  std::string name;
  std::size_t at = 12;
  for (; at < query.size() && query[at] != 0; at += 1 + query[at]) {
    if (!name.empty()) name += '.';
    for (int i = 1; i <= query[at]; ++i) name += static_cast<char>(std::tolower(query[at + i]));
  }
  if (at + 5 > query.size()) return {};
  int type = query[at + 2];  // A (1) or AAAA (28)
  std::string records;
  unsigned count = 0;
  const bool known = records_.count(name) > 0;
  for (int links = 0; links < 8 && records_.count(name) > 0; ++links) {
    std::string next;
    for (auto [it, end] = records_.equal_range(name); it != end; ++it) {
      unsigned char bytes[16];
      std::string rdata;
      int recordType = type;
      if (it->second[0] == '@') {
        next = it->second.substr(1);
        rdata = wireName(next);
        recordType = 5;
      } else if (inet_pton(type == 1 ? AF_INET : AF_INET6, it->second.c_str(), bytes) == 1) {
        rdata.assign(reinterpret_cast<char*>(bytes), type == 1 ? 4 : 16);
      } else {
        continue;
      }
      records +=
          wireName(name) + u16(recordType) + u16(1) + u16(0) + u16(60) + u16(rdata.size()) + rdata;
      ++count;
    }
    if (next.empty()) break;
    name = next;
  }
  std::string flags = {static_cast<char>(0x80 | (query[2] & 0x01)),  // QR, RD as asked
                       static_cast<char>(known ? 0x80 : 0x83)};      // RA; NOERROR or NXDOMAIN
  return query.substr(0, 2) + flags + query.substr(4, 2) + u16(count) + u16(0) + u16(0) +
         query.substr(12, at + 5 - 12) + records;
}

}  // namespace tamsel::testing
