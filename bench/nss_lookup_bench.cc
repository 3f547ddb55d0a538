// Host-name lookups through the tamsel hosts source against raw baselines in the same process,
// each pair alternated inside every iteration so that the load of a shared machine falls on both
// alike; ratios are of the medians.
//  - unrouted: gethostbyname2_r (AF_INET) of a name that a loopback DNS server answers, through
//    NSS with "hosts: tamsel dns" against "hosts: dns" (glibc's dns source pointed at that
//    server). The module's part is its UNAVAIL for a label without a resolver file.
//  - routed: the module's getaddrinfo entry (A and AAAA at once) and its gethostbyname2 entry
//    (A) for a name under a label routed by a resolver file (in a scratch directory), against one
//    res_nquery (A) of the same server with a resolver state set up once; and, for reference,
//    glibc's own dns source at the same entry (A and AAAA at once) against the same query.
// Prints "<what>_ratio <module / baseline>" lines. Goals: unrouted at most 1.05 (the module
// costs nothing to names it does not route); routed at most 1.2.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <netdb.h>
#include <nss.h>
#include <resolv.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "platform/linux/nss/hosts_lookup.h"
#include "platform/resolver_file_format.h"
#include "platform/testing/scratch_dir.h"
#include "platform/testing/test_dns_server.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kBlock = 8;  // lookups per variant and iteration

tamsel::testing::TestDnsServer& server() {
  static tamsel::testing::TestDnsServer dns(
      {"bench.example=10.0.0.1", "app.test=10.0.0.2", "app.test=fd00::2"});
  return dns;
}

sockaddr_in serverAddress() {
  sockaddr_in address{AF_INET, htons(server().port()), {htonl(INADDR_LOOPBACK)}, {}};
  return address;
}

// Microseconds per lookup, per variant.
std::map<std::string, std::vector<double>> gMicros;

void add(const std::string& variant, Clock::duration spent, int lookups) {
  gMicros[variant].push_back(std::chrono::duration<double, std::micro>(spent).count() / lookups);
}

double median(std::vector<double> values) {
  std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
  return values[values.size() / 2];
}

bool lookUpThroughNss(const char* name) {
  hostent host;
  hostent* result = nullptr;
  char buffer[1024];
  int herror = 0;
  return gethostbyname2_r(name, AF_INET, &host, buffer, sizeof buffer, &result, &herror) == 0 &&
         result != nullptr;
}

// Points this thread's resolver state, which glibc's dns source uses, at the server.
void pointDnsSourceAtServer() {
  res_init();
  _res.nscount = 1;
  _res.nsaddr_list[0] = serverAddress();
  _res.options &= ~(RES_DNSRCH | RES_DEFNAMES);
}

void BM_Unrouted(benchmark::State& state) {
  pointDnsSourceAtServer();
  bool withFirst = true;
  for (auto _ : state) {
    for (bool with : {withFirst, !withFirst}) {
      __nss_configure_lookup("hosts", with ? "tamsel dns" : "dns");
      Clock::time_point start = Clock::now();
      for (int i = 0; i < kBlock; ++i) {
        if (!lookUpThroughNss("bench.example")) return state.SkipWithError("lookup failed");
      }
      add(with ? "unrouted/tamsel_dns" : "unrouted/dns", Clock::now() - start, kBlock);
    }
    withFirst = !withFirst;
  }
  // Proves the module was on the lookup path: NSS loaded it (by soname, through this program's
  // RPATH).
  void* module = dlopen("libnss_tamsel.so.2", RTLD_NOW | RTLD_NOLOAD);
  if (module == nullptr) return state.SkipWithError("NSS did not load libnss_tamsel.so.2");
  dlclose(module);
}

void BM_Routed(benchmark::State& state) {
  tamsel::ScratchDir dir("nss-bench");
  std::ofstream(dir.file("test")) << tamsel::kResolverMarkerHead << "test"
                                  << tamsel::kResolverMarkerTail << "\nnameserver 127.0.0.1\nport "
                                  << server().port();
  tamsel::nss::RouteTable routes(dir.path().c_str());
  struct __res_state resolver {};
  res_ninit(&resolver);
  resolver.nscount = 1;
  resolver.nsaddr_list[0] = serverAddress();
  // For reference: the entry of glibc's own dns source that getaddrinfo calls (A and AAAA).
  pointDnsSourceAtServer();
  using Entry4 =
      nss_status (*)(const char*, gaih_addrtuple**, char*, std::size_t, int*, int*, std::int32_t*);
  auto glibcDns4 = reinterpret_cast<Entry4>(dlsym(RTLD_DEFAULT, "_nss_dns_gethostbyname4_r"));
  for (auto _ : state) {
    unsigned char answer[512];
    char tupleBuffer[1024], hostBuffer[1024];
    int error = 0, herror = 0;
    gaih_addrtuple* tuples = nullptr;
    hostent host;
    Clock::time_point t0 = Clock::now();
    int length = res_nquery(&resolver, "app.test", ns_c_in, ns_t_a, answer, sizeof answer);
    Clock::time_point t1 = Clock::now();
    nss_status both = tamsel::nss::hostsByName4(routes, "app.test", &tuples, tupleBuffer,
                                                sizeof tupleBuffer, &error, &herror, nullptr);
    Clock::time_point t2 = Clock::now();
    nss_status v4 = tamsel::nss::hostsByName3(routes, "app.test", AF_INET, &host, hostBuffer,
                                              sizeof hostBuffer, &error, &herror, nullptr, nullptr);
    Clock::time_point t3 = Clock::now();
    if (length <= 0 || both != NSS_STATUS_SUCCESS || tuples->next == nullptr ||
        v4 != NSS_STATUS_SUCCESS) {
      res_nclose(&resolver);
      return state.SkipWithError("routed lookup failed (resolver files must be root's)");
    }
    if (glibcDns4 != nullptr) {
      tuples = nullptr;
      Clock::time_point t4 = Clock::now();
      nss_status glibc =
          glibcDns4("app.test", &tuples, tupleBuffer, sizeof tupleBuffer, &error, &herror, nullptr);
      if (glibc == NSS_STATUS_SUCCESS)
        add("routed/glibc_dns_gethostbyname4_entry", Clock::now() - t4, 1);
    }
    add("routed/res_nquery", t1 - t0, 1);
    add("routed/gethostbyname4_entry", t2 - t1, 1);
    add("routed/gethostbyname2_entry", t3 - t2, 1);
  }
  res_nclose(&resolver);
}

BENCHMARK(BM_Unrouted)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2000);
BENCHMARK(BM_Routed)->Unit(benchmark::kMicrosecond)->UseRealTime()->Iterations(5000);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  for (const auto& [variant, micros] : gMicros) {
    std::printf("%s_median_us %.1f\n", variant.c_str(), median(micros));
  }
  auto ratio = [](const char* line, const std::string& module, const std::string& baseline) {
    if (gMicros.count(module) != 0 && gMicros.count(baseline) != 0) {
      std::printf("%s %.3f\n", line, median(gMicros[module]) / median(gMicros[baseline]));
    }
  };
  ratio("nss_unrouted_tamsel_first_vs_without_ratio", "unrouted/tamsel_dns", "unrouted/dns");
  ratio("nss_routed_getaddrinfo_entry_vs_res_nquery_ratio", "routed/gethostbyname4_entry",
        "routed/res_nquery");
  ratio("reference_glibc_dns_gethostbyname4_entry_vs_res_nquery_ratio",
        "routed/glibc_dns_gethostbyname4_entry", "routed/res_nquery");
  ratio("nss_routed_gethostbyname2_entry_vs_res_nquery_ratio", "routed/gethostbyname2_entry",
        "routed/res_nquery");
  return 0;
}
