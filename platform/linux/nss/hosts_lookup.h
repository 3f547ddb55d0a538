// The module's hosts lookups against one table of routes. A name whose last label has a route is
// answered by that route's name server: SUCCESS, or NOTFOUND with h_errno HOST_NOT_FOUND,
// NO_DATA or TRY_AGAIN (no answer in time). Any other name gets UNAVAIL at once, without
// touching the network, so the next source on the hosts line answers. A buffer too small gives
// TRYAGAIN with errno ERANGE, as glibc expects. Never blocks longer than kDeadlineMs.
#pragma once

#include <netdb.h>
#include <nss.h>

#include <cstddef>
#include <cstdint>

#include "platform/linux/nss/route_table.h"

namespace tamsel::nss {

// getaddrinfo's entry: A and AAAA together, as a chain of tuples in buffer.
nss_status hostsByName4(RouteTable& routes, const char* name, gaih_addrtuple** tuples, char* buffer,
                        std::size_t length, int* errnop, int* herrnop, std::int32_t* ttlp) noexcept;

// gethostbyname2's and gethostbyname's entry: af's addresses as a hostent. ttlp and canonp may
// be null.
nss_status hostsByName3(RouteTable& routes, const char* name, int af, hostent* host, char* buffer,
                        std::size_t length, int* errnop, int* herrnop, std::int32_t* ttlp,
                        char** canonp) noexcept;

}  // namespace tamsel::nss
