#include "platform/testing/test_dns_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstdlib>

namespace tamsel::testing {
namespace {

constexpr int kTypeA = 1, kTypeCname = 5, kTypeAaaa = 28;

std::string wireName(const std::string& name) {
  std::string wire;
  for (std::size_t start = 0; start <= name.size();) {
    std::size_t dot = std::min(name.find('.', start), name.size());
    wire += static_cast<char>(dot - start);
    wire += name.substr(start, dot - start);
    start = dot + 1;
  }
  return wire + '\0';
}

std::string u16(unsigned value) {
  return {static_cast<char>(value >> 8), static_cast<char>(value)};
}

}  // namespace

TestDnsServer::TestDnsServer(const std::vector<std::string>& records, bool silent,
                             const std::string& address, std::uint16_t port)
    : silent_(silent) {
  for (const std::string& record : records) {
    std::size_t equals = record.find('=');
    records_.emplace(record.substr(0, equals), record.substr(equals + 1));
  }
  sockaddr_in6 v6{AF_INET6, htons(port), 0, {}, 0};
  sockaddr_in v4{AF_INET, htons(port), {}, {}};
  bool isV6 = inet_pton(AF_INET6, address.c_str(), &v6.sin6_addr) == 1;
  if (!isV6 && inet_pton(AF_INET, address.c_str(), &v4.sin_addr) != 1) std::abort();
  auto* bound = isV6 ? reinterpret_cast<sockaddr*>(&v6) : reinterpret_cast<sockaddr*>(&v4);
  socklen_t length = isV6 ? sizeof v6 : sizeof v4;
  socket_.reset(::socket(isV6 ? AF_INET6 : AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (::bind(socket_.get(), bound, length) != 0 || ::getsockname(socket_.get(), bound, &length)) {
    std::perror("TestDnsServer: bind");
    std::abort();
  }
  port_ = ntohs(isV6 ? v6.sin6_port : v4.sin_port);
  thread_ = std::thread([this] { serve(); });
}

TestDnsServer::~TestDnsServer() {
  stop_ = true;
  thread_.join();
}

// Takes the questions waiting (up to a few) in one call and answers them in one call.
void TestDnsServer::serve() {
  constexpr int kBatch = 4;
  while (!stop_) {
    pollfd readable{socket_.get(), POLLIN, 0};
    if (::poll(&readable, 1, 20) <= 0) continue;
    char packets[kBatch][512];
    sockaddr_storage peers[kBatch];
    iovec parts[kBatch];
    mmsghdr messages[kBatch] = {};
    for (int i = 0; i < kBatch; ++i) {
      parts[i] = {packets[i], sizeof packets[i]};
      messages[i].msg_hdr = {&peers[i], sizeof peers[i], &parts[i], 1, nullptr, 0, 0};
    }
    int n = ::recvmmsg(socket_.get(), messages, kBatch, MSG_DONTWAIT, nullptr);
    std::string replies[kBatch];
    int answered = 0;
    for (int i = 0; i < n; ++i) {
      ++questions_;
      if (!silent_) replies[i] = answer(std::string(packets[i], messages[i].msg_len));
      if (replies[i].empty()) continue;
      parts[answered] = {replies[i].data(), replies[i].size()};
      messages[answered].msg_hdr = {
          &peers[i], messages[i].msg_hdr.msg_namelen, &parts[answered], 1, nullptr, 0, 0};
      ++answered;
    }
    ::sendmmsg(socket_.get(), messages, answered, 0);
  }
}

// The reply to query: its header and question, then the records (CNAMEs followed) that answer it.
std::string TestDnsServer::answer(const std::string& query) const {
  std::string name;
  std::size_t at = 12;
  if (query.size() < at) return {};
  while (at < query.size() && query[at] != 0) {
    if (!name.empty()) name += '.';
    for (std::size_t i = 1; i <= static_cast<unsigned char>(query[at]); ++i) {
      name += static_cast<char>(std::tolower(query[at + i]));
    }
    at += 1 + static_cast<unsigned char>(query[at]);
  }
  if (at + 5 > query.size()) return {};
  int type =
      (static_cast<unsigned char>(query[at + 1]) << 8) | static_cast<unsigned char>(query[at + 2]);
  std::string records;
  unsigned count = 0;
  bool known = records_.count(name) > 0;
  for (int links = 0; links < 8 && records_.count(name) > 0; ++links) {
    std::string next;
    for (auto [it, end] = records_.equal_range(name); it != end; ++it) {
      unsigned char bytes[16];
      std::string rdata;
      if (it->second[0] == '@') {
        next = it->second.substr(1);
        rdata = wireName(next);
        records += wireName(name) + u16(kTypeCname);
      } else if (type == kTypeA && inet_pton(AF_INET, it->second.c_str(), bytes) == 1) {
        rdata.assign(reinterpret_cast<char*>(bytes), 4);
        records += wireName(name) + u16(kTypeA);
      } else if (type == kTypeAaaa && inet_pton(AF_INET6, it->second.c_str(), bytes) == 1) {
        rdata.assign(reinterpret_cast<char*>(bytes), 16);
        records += wireName(name) + u16(kTypeAaaa);
      } else {
        continue;
      }
      records += u16(1) + u16(0) + u16(60) + u16(static_cast<unsigned>(rdata.size())) + rdata;
      ++count;
    }
    if (next.empty()) break;
    name = next;
  }
  std::string reply = query.substr(0, at + 5);
  reply[2] = static_cast<char>(0x80 | (reply[2] & 0x01));  // QR, RD as asked
  reply[3] = static_cast<char>(known ? 0x80 : 0x83);       // RA; NOERROR or NXDOMAIN
  return reply.substr(0, 6) + u16(count) + u16(0) + u16(0) + reply.substr(12) + records;
}

}  // namespace tamsel::testing
