// Asking a route's name server for the addresses of one host name.
#pragma once

#include <arpa/nameser.h>
#include <netinet/in.h>

#include <cstdint>

#include "platform/linux/nss/route_table.h"

namespace tamsel::nss {

enum class Family { kIPv4, kIPv6, kBoth };

inline constexpr int kMaxAddressesPerFamily = 16;
// A and AAAA go out together over UDP; what is unanswered is sent once more after
// kResendAfterMs, and the exchange gives up at kDeadlineMs.
inline constexpr int kResendAfterMs = 250;
inline constexpr int kDeadlineMs = 1000;

struct HostAnswer {
  enum class Outcome {
    kAddresses,    // at least one address
    kNoSuchName,   // the server says the name does not exist
    kNoAddresses,  // the name exists but has no address of the families asked for
    kNoAnswer,     // no usable answer in time (silence, refusal, server failure)
  };
  Outcome outcome = Outcome::kNoAnswer;
  char canonicalName[NS_MAXDNAME] = {};  // the name the addresses belong to
  in_addr v4[kMaxAddressesPerFamily] = {};
  int v4Count = 0;
  in6_addr v6[kMaxAddressesPerFamily] = {};
  int v6Count = 0;
  std::int32_t ttl = 0;  // the smallest of the addresses' TTLs
};

// Asks route's server for name's A and/or AAAA records (following CNAMEs within the answer).
// name: a valid host name without a final dot (see isValidHostName).
HostAnswer askNameServer(const Route& route, const char* name, Family family) noexcept;

// Letters, digits, "-" and "_" in dot-separated labels of 1 to 63 bytes, at most 253 bytes in
// all (255 on the wire).
bool isValidHostName(const char* name) noexcept;

}  // namespace tamsel::nss
