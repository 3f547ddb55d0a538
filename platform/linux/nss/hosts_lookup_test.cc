#include "platform/linux/nss/hosts_lookup.h"

#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/resolver_file_format.h"
#include "platform/scratch_dir.h"
#include "platform/testing/test_dns_server.h"

namespace tamsel::nss {
namespace {

using tamsel::testing::TestDnsServer;
using ::testing::AnyOf;

std::string fileText(const std::string& label, const std::string& nameserver,
                     const std::string& port) {
  return std::string(kResolverMarkerHead) + label + std::string(kResolverMarkerTail) +
         "\nnameserver " + nameserver + "\nport " + port;
}

TEST(ResolverFile, OnlyTheHelpersThreeLinesRoute) {
  const std::string good = fileText("test", "127.0.0.1", "5353");
  struct Case {
    std::string text;
    bool routes;
  } cases[] = {
      {good, true},
      {good + "\n", true},
      {fileText("test", "::1", "65535"), true},
      {good + "\n\n", false},
      {fileText("dev", "127.0.0.1", "5353"), false},
      {good.substr(good.find('\n') + 1), false},
      {fileText("test", "127.0.0.1\nnameserver 10.0.0.1", "53"), false},
      {good + "\nport 53", false},
      {fileText("test", "localhost", "53"), false},
      {fileText("test", "127.0.0.1 ", "53"), false},
      {fileText("test", "fe80::1%lo", "53"), false},
      {fileText("test", std::string("127.0.0.1\0x", 11), "53"), false},
      {fileText("test", "127.0.0.1", "0"), false},
      {fileText("test", "127.0.0.1", "65536"), false},
      {fileText("test", "127.0.0.1", "-1"), false},
      {fileText("test", "127.0.0.1", ""), false},
      {fileText("test", "127.0.0.1\r", "53"), false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(parseResolverFile("test", c.text).has_value(), c.routes) << c.text;
  }
  std::optional<Route> route = parseResolverFile("test", good);
  auto* server = reinterpret_cast<const sockaddr_in*>(&route->server);
  EXPECT_EQ(server->sin_family, AF_INET);
  EXPECT_EQ(ntohs(server->sin_port), 5353);
}

class HostsLookup : public ::testing::Test {
 protected:
  void route(const std::string& label, std::uint16_t port, mode_t mode = 0644) {
    std::string staged = dir_.file("." + label);
    std::ofstream(staged) << fileText(label, "127.0.0.1", std::to_string(port));
    ::chmod(staged.c_str(), mode);
    std::rename(staged.c_str(), dir_.file(label).c_str());
  }
  static std::string failure(nss_status status, int error, int herror) {
    if (status == NSS_STATUS_UNAVAIL) return "unavail";
    if (status == NSS_STATUS_TRYAGAIN) return "tryagain errno=" + std::to_string(error);
    return "notfound h_errno=" + std::to_string(herror);
  }
  // The addresses found, as text, or the failure.
  std::string lookUp(const char* name, int af = AF_UNSPEC, std::size_t size = 1024) {
    std::vector<char> buffer(size);
    int error = 0, herror = 0;
    char text[INET6_ADDRSTRLEN];
    std::string found;
    if (af == AF_UNSPEC) {
      gaih_addrtuple* tuples = nullptr;
      nss_status status =
          hostsByName4(routes_, name, &tuples, buffer.data(), size, &error, &herror, nullptr);
      if (status != NSS_STATUS_SUCCESS) return failure(status, error, herror);
      for (; tuples != nullptr; tuples = tuples->next) {
        found += std::string(tuples->name) + " " +
                 inet_ntop(tuples->family, tuples->addr, text, sizeof text) + ";";
      }
      return found;
    }
    hostent host;
    nss_status status = hostsByName3(routes_, name, af, &host, buffer.data(), size, &error, &herror,
                                     nullptr, nullptr);
    if (status != NSS_STATUS_SUCCESS) return failure(status, error, herror);
    for (char** address = host.h_addr_list; *address != nullptr; ++address) {
      found += std::string(host.h_name) + " " + inet_ntop(af, *address, text, sizeof text) + ";";
    }
    return found;
  }

  std::string longName_ = [] {
    std::string name;
    for (int i = 0; i < 126; ++i) name += "a.";
    return name + "t";  // 127 labels, 253 bytes: 255 on the wire
  }();
  TestDnsServer server_{{"app.test=127.0.0.7", "app.test=::7", "alias.test=@app.test",
                         "v4only.test=127.0.0.8", longName_ + "=127.0.0.9"}};
  TestDnsServer other_{{"app.test=127.0.0.70"}};
  ScratchDir dir_{"nss-lookup"};
  RouteTable routes_{dir_.path().c_str()};
};

TEST_F(HostsLookup, AnswersRoutedNamesAndLeavesOthersToTheNextSource) {
  route("test", server_.port());
  route("t", server_.port());
  const std::string notFound = "notfound h_errno=";
  struct Case {
    std::string name;
    int af;
    std::string expected;
  } cases[] = {
      {"app.test", AF_UNSPEC, "app.test 127.0.0.7;app.test ::7;"},
      {"APP.Test.", AF_INET6, "APP.Test ::7;"},
      {"alias.test", AF_INET, "app.test 127.0.0.7;"},
      {longName_, AF_INET, longName_ + " 127.0.0.9;"},
      {"nosuch.test", AF_INET, notFound + std::to_string(HOST_NOT_FOUND)},
      {"v4only.test", AF_INET6, notFound + std::to_string(NO_DATA)},
      {"a" + longName_, AF_INET, notFound + std::to_string(HOST_NOT_FOUND)},
      {"a..test", AF_UNSPEC, notFound + std::to_string(HOST_NOT_FOUND)},
      {"app.example", AF_UNSPEC, "unavail"},
      {"app.tes", AF_INET, "unavail"},
      {"app.te/st", AF_INET, "unavail"},
  };
  for (const Case& c : cases) EXPECT_EQ(lookUp(c.name.c_str(), c.af), c.expected) << c.name;
  const std::string tooSmall = "tryagain errno=" + std::to_string(ERANGE);
  EXPECT_EQ(lookUp("app.test", AF_UNSPEC, 64), tooSmall);
  EXPECT_EQ(lookUp("app.test", AF_INET, 24), tooSmall);
}

TEST_F(HostsLookup, ReadsEachChangeAtOnceAndIgnoresUntrustedFiles) {
  route("test", server_.port());
  EXPECT_EQ(lookUp("app.test", AF_INET), "app.test 127.0.0.7;");
  route("test", other_.port());
  EXPECT_EQ(lookUp("app.test", AF_INET), "app.test 127.0.0.70;");
  route("test", other_.port(), 0664);
  EXPECT_EQ(lookUp("app.test", AF_INET), "unavail");
  std::remove(dir_.file("test").c_str());
  route("real", server_.port());
  ASSERT_EQ(::symlink("real", dir_.file("test").c_str()), 0);
  EXPECT_EQ(lookUp("app.test", AF_INET), "unavail");
}

// Threads look up routed and unrouted names while the file is replaced under them and lookups
// of other labels push it out of the cache.
TEST_F(HostsLookup, ConcurrentLookups) {
  route("test", server_.port());
  std::atomic<bool> done{false};
  std::thread writer([&] {
    for (int i = 0; !done; ++i)
      route(i % 2 ? "test" : "l" + std::to_string(i % 20), server_.port());
  });
  std::vector<std::thread> readers;
  for (int t = 0; t < 4; ++t) {
    readers.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) {
        EXPECT_EQ(lookUp("app.test"), "app.test 127.0.0.7;app.test ::7;");
        EXPECT_EQ(lookUp("alias.test", AF_INET), "app.test 127.0.0.7;");
        EXPECT_EQ(lookUp("www.example.org"), "unavail");
        std::string other = "x.l" + std::to_string((t * 7 + i) % 20);
        EXPECT_THAT(lookUp(other.c_str()), AnyOf("unavail", "notfound h_errno=1"));
      }
    });
  }
  for (std::thread& reader : readers) reader.join();
  done = true;
  writer.join();
}

}  // namespace
}  // namespace tamsel::nss
