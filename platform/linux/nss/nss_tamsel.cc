// libnss_tamsel.so.2, a source for the "hosts" line of nsswitch.conf: names under a top-level
// label that has a resolver file in /etc/resolver are asked of that file's name server; every
// other name is left to the next source. Only these entry points are exported.
#include <cstddef>
#include <cstdint>

#include "platform/linux/nss/hosts_lookup.h"
#include "platform/resolver_file_format.h"

namespace {

constinit tamsel::nss::RouteTable systemRoutes(tamsel::kResolverDirectory.data());

}  // namespace

extern "C" {

#define TAMSEL_NSS_ENTRY __attribute__((visibility("default")))

TAMSEL_NSS_ENTRY nss_status _nss_tamsel_gethostbyname4_r(const char* name, gaih_addrtuple** tuples,
                                                         char* buffer, std::size_t length,
                                                         int* errnop, int* herrnop,
                                                         std::int32_t* ttlp) noexcept {
  return tamsel::nss::hostsByName4(systemRoutes, name, tuples, buffer, length, errnop, herrnop,
                                   ttlp);
}

TAMSEL_NSS_ENTRY nss_status _nss_tamsel_gethostbyname3_r(const char* name, int af, hostent* host,
                                                         char* buffer, std::size_t length,
                                                         int* errnop, int* herrnop,
                                                         std::int32_t* ttlp,
                                                         char** canonp) noexcept {
  return tamsel::nss::hostsByName3(systemRoutes, name, af, host, buffer, length, errnop, herrnop,
                                   ttlp, canonp);
}

TAMSEL_NSS_ENTRY nss_status _nss_tamsel_gethostbyname2_r(const char* name, int af, hostent* host,
                                                         char* buffer, std::size_t length,
                                                         int* errnop, int* herrnop) noexcept {
  return tamsel::nss::hostsByName3(systemRoutes, name, af, host, buffer, length, errnop, herrnop,
                                   nullptr, nullptr);
}

TAMSEL_NSS_ENTRY nss_status _nss_tamsel_gethostbyname_r(const char* name, hostent* host,
                                                        char* buffer, std::size_t length,
                                                        int* errnop, int* herrnop) noexcept {
  return tamsel::nss::hostsByName3(systemRoutes, name, AF_INET, host, buffer, length, errnop,
                                   herrnop, nullptr, nullptr);
}

}  // extern "C"
