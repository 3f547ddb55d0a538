// The client side of the service-layer benchmarks, run as a separate, signed process so that the
// daemon side admits it exactly as it would the application. Each mode does its loop and prints
// one line: "<count> <median ns> <p99 ns> <total ns>".
//
//   ipc-bench-client listener-ping SOCKET N        N pings through the client library
//   ipc-bench-client bare-ping SOCKET N            N 64-byte write/read round trips
//   ipc-bench-client listener-threads SOCKET T N   T threads, each its own connection, N pings
//   ipc-bench-client bare-threads SOCKET T N
//   ipc-bench-client listener-connect SOCKET N     N connections, each until admitted (hello)
//   ipc-bench-client bare-connect SOCKET N         N connections, each until a 64-byte greeting
//   ipc-bench-client bare-hold SOCKET N            N bare connections, likewise
//   ipc-bench-client hold SOCKET N                 N admitted connections, "ready", until stdin
//                                                  closes
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "client/helper_client.h"

using Clock = std::chrono::steady_clock;
using tamsel::UniqueFd;
using tamsel::client::HelperClient;

namespace {

std::int64_t ns(Clock::duration d) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(d).count();
}

void report(std::vector<std::int64_t> samples, std::int64_t total) {
  if (samples.empty()) {
    std::printf("0 0 0 %lld\n", static_cast<long long>(total));
    return;
  }
  std::sort(samples.begin(), samples.end());
  const auto at = [&](double q) {
    return samples[static_cast<std::size_t>(q * (samples.size() - 1))];
  };
  std::printf("%zu %lld %lld %lld\n", samples.size(), static_cast<long long>(at(0.5)),
              static_cast<long long>(at(0.99)), static_cast<long long>(total));
}

UniqueFd bareConnect(const std::string& path) {
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  struct sockaddr_un addr {};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
  if (::connect(fd.get(), reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) != 0)
    std::exit(2);
  return fd;
}

bool readAll(int fd, char* buf, std::size_t n) {
  while (n > 0) {
    const ssize_t got = ::read(fd, buf, n);
    if (got <= 0) return false;
    buf += got;
    n -= static_cast<std::size_t>(got);
  }
  return true;
}

// One connection's round trips; samples appended.
void listenerPings(const std::string& path, int n, std::vector<std::int64_t>& samples) {
  auto helper = HelperClient::connect(path);
  if (!helper) {
    std::fprintf(stderr, "%s\n", helper.error().description.c_str());
    std::exit(3);
  }
  for (int i = 0; i < n; ++i) {
    const auto t0 = Clock::now();
    auto r = helper->ping();
    const auto t1 = Clock::now();
    if (!r || !r->alive) std::exit(4);
    samples.push_back(ns(t1 - t0));
  }
}

void barePings(const std::string& path, int n, std::vector<std::int64_t>& samples) {
  UniqueFd fd = bareConnect(path);
  char buf[64] = {};
  for (int i = 0; i < n; ++i) {
    const auto t0 = Clock::now();
    if (::write(fd.get(), buf, sizeof(buf)) != sizeof(buf) || !readAll(fd.get(), buf, sizeof(buf)))
      std::exit(4);
    samples.push_back(ns(Clock::now() - t0));
  }
}

template <typename F>
void threads(const std::string& path, int count, int n, F perThread) {
  std::vector<std::vector<std::int64_t>> samples(count);
  std::vector<std::thread> workers;
  const auto t0 = Clock::now();
  for (int t = 0; t < count; ++t) {
    workers.emplace_back([&, t] { perThread(path, n, samples[t]); });
  }
  for (auto& w : workers) w.join();
  const auto total = ns(Clock::now() - t0);
  std::vector<std::int64_t> all;
  for (auto& s : samples) all.insert(all.end(), s.begin(), s.end());
  report(std::move(all), total);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 2 ? argv[1] : "";
  const std::string path = argc > 2 ? argv[2] : "";
  const int a = argc > 3 ? std::atoi(argv[3]) : 0;
  const int b = argc > 4 ? std::atoi(argv[4]) : 0;
  std::vector<std::int64_t> samples;
  const auto start = Clock::now();
  if (mode == "listener-ping") {
    listenerPings(path, a, samples);
  } else if (mode == "bare-ping") {
    barePings(path, a, samples);
  } else if (mode == "listener-threads") {
    threads(path, a, b, listenerPings);
    return 0;
  } else if (mode == "bare-threads") {
    threads(path, a, b, barePings);
    return 0;
  } else if (mode == "listener-connect") {
    for (int i = 0; i < a; ++i) {
      const auto t0 = Clock::now();
      auto helper = HelperClient::connect(path);
      samples.push_back(ns(Clock::now() - t0));
      if (!helper) std::exit(3);
    }
  } else if (mode == "bare-connect") {
    for (int i = 0; i < a; ++i) {
      const auto t0 = Clock::now();
      UniqueFd fd = bareConnect(path);
      char buf[64];
      if (!readAll(fd.get(), buf, sizeof(buf))) std::exit(4);
      samples.push_back(ns(Clock::now() - t0));
    }
  } else if (mode == "bare-hold") {
    std::vector<UniqueFd> held;
    for (int i = 0; i < a; ++i) held.push_back(bareConnect(path));
    std::printf("ready\n");
    std::fflush(stdout);
    char c;
    while (::read(0, &c, 1) > 0) {
    }
    return 0;
  } else if (mode == "hold") {
    std::vector<HelperClient> held;
    for (int i = 0; i < a; ++i) {
      auto helper = HelperClient::connect(path);
      if (!helper) std::exit(3);
      held.push_back(std::move(*helper));
    }
    std::printf("ready\n");
    std::fflush(stdout);
    char c;
    while (::read(0, &c, 1) > 0) {
    }
    return 0;
  } else {
    std::fprintf(stderr, "usage: ipc-bench-client MODE SOCKET ...\n");
    return 2;
  }
  report(std::move(samples), ns(Clock::now() - start));
  return 0;
}
