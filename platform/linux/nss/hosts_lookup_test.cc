#include "platform/linux/nss/hosts_lookup.h"

#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/resolver_file_format.h"
#include "platform/testing/scratch_dir.h"
#include "platform/testing/test_dns_server.h"

namespace tamsel::nss {
namespace {

std::string fileText(const std::string& label, const std::string& nameserver,
                     const std::string& port) {
  return std::string(kResolverMarkerHead) + label + std::string(kResolverMarkerTail) +
         "\nnameserver " + nameserver + "\nport " + port;
}

TEST(ResolverFile, OnlyTheHelpersThreeLinesRoute) {
  const std::string good = fileText("test", "127.0.0.1", "5353");
  const std::pair<std::string, bool> cases[] = {
      {good, true},
      {good + "\n", true},
      {fileText("test", "::1", "65535"), true},
      {good + "\n\n", false},
      {good + "\nport 53", false},
      {good.substr(good.find('\n') + 1), false},
      {fileText("dev", "127.0.0.1", "5353"), false},
      {fileText("test", "127.0.0.1\nnameserver 10.0.0.1", "53"), false},
      {fileText("test", "localhost", "53"), false},
      {fileText("test", "127.0.0.1\r", "53"), false},
      {fileText("test", std::string("127.0.0.1\0x", 11), "53"), false},
      {fileText("test", "127.0.0.1", "0"), false},
      {fileText("test", "127.0.0.1", "65536"), false},
      {fileText("test", "127.0.0.1", "-1"), false},
      {fileText("test", "127.0.0.1", ""), false},
  };
  for (const auto& [text, routes] : cases) {
    EXPECT_EQ(parseResolverFile("test", text).has_value(), routes) << text;
  }
}

class HostsLookup : public ::testing::Test {
 protected:
  void route(const std::string& label, std::uint16_t port) {
    std::string staged = dir_.file("." + label);
    std::ofstream(staged) << fileText(label, "127.0.0.1", std::to_string(port));
    std::rename(staged.c_str(), dir_.file(label).c_str());
  }
  // "name address;..." for what was found (AF_UNSPEC: the getaddrinfo entry), else the failure.
  std::string lookUp(const char* name, int af = AF_UNSPEC, std::size_t size = 1024) {
    std::vector<char> buffer(size);
    int error = 0, herror = 0;
    gaih_addrtuple* tuples = nullptr;
    hostent host;
    nss_status status = af == AF_UNSPEC ? hostsByName4(routes_, name, &tuples, buffer.data(), size,
                                                       &error, &herror, nullptr)
                                        : hostsByName3(routes_, name, af, &host, buffer.data(),
                                                       size, &error, &herror, nullptr, nullptr);
    if (status == NSS_STATUS_UNAVAIL) return "unavail";
    if (status == NSS_STATUS_TRYAGAIN) return "tryagain errno=" + std::to_string(error);
    if (status != NSS_STATUS_SUCCESS) return "notfound h_errno=" + std::to_string(herror);
    std::string found;
    char text[INET6_ADDRSTRLEN];
    for (; af == AF_UNSPEC && tuples != nullptr; tuples = tuples->next) {
      found += std::string(tuples->name) + " " +
               inet_ntop(tuples->family, tuples->addr, text, sizeof text) + ";";
    }
    for (char** address = host.h_addr_list; af != AF_UNSPEC && *address != nullptr; ++address) {
      found += std::string(host.h_name) + " " + inet_ntop(af, *address, text, sizeof text) + ";";
    }
    return found;
  }

  testing::TestDnsServer server_{
      {"app.test=127.0.0.7", "app.test=::7", "alias.test=@app.test", "v4only.test=127.0.0.8"}};
  testing::TestDnsServer other_{{"app.test=127.0.0.70"}};
  ScratchDir dir_{"nss-lookup"};
  RouteTable routes_{dir_.path().c_str()};
};

TEST_F(HostsLookup, AnswersRoutedNamesAndLeavesOthersToTheNextSource) {
  route("test", server_.port());
  const std::string tooSmall = "tryagain errno=" + std::to_string(ERANGE);
  const struct {
    const char* name;
    int af;
    std::size_t size;
    std::string expected;
  } cases[] = {
      {"APP.Test.", AF_INET6, 1024, "APP.Test ::7;"},
      {"alias.test", AF_INET, 1024, "app.test 127.0.0.7;"},
      {"nosuch.test", AF_INET, 1024, "notfound h_errno=" + std::to_string(HOST_NOT_FOUND)},
      {"v4only.test", AF_INET6, 1024, "notfound h_errno=" + std::to_string(NO_DATA)},
      {"a..test", AF_UNSPEC, 1024, "notfound h_errno=" + std::to_string(HOST_NOT_FOUND)},
      {"app.test", AF_UNSPEC, 64, tooSmall},
      {"app.test", AF_INET, 24, tooSmall},
      {"app.example", AF_UNSPEC, 1024, "unavail"},
      {"app.te/st", AF_INET, 1024, "unavail"},
  };
  for (const auto& c : cases) EXPECT_EQ(lookUp(c.name, c.af, c.size), c.expected) << c.name;
  route("test", other_.port());
  EXPECT_EQ(lookUp("app.test", AF_INET), "app.test 127.0.0.70;");
}

// Threads look up routed and unrouted names while the file is replaced under them and lookups
// of other labels push it out of the cache.
TEST_F(HostsLookup, ConcurrentLookups) {
  auto descriptors = [] {
    return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
  };
  const auto before = descriptors();
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
        EXPECT_THAT(lookUp(other.c_str()), ::testing::AnyOf("unavail", "notfound h_errno=1"));
      }
    });
  }
  for (std::thread& reader : readers) reader.join();
  done = true;
  writer.join();
  EXPECT_EQ(descriptors(), before);
}

}  // namespace
}  // namespace tamsel::nss
