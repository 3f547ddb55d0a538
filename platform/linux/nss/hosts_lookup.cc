#include "platform/linux/nss/hosts_lookup.h"

#include <pthread.h>

#include <cctype>
#include <cerrno>
#include <cstring>

#include "platform/linux/nss/dns_exchange.h"
#include "platform/resolver_file_format.h"

namespace tamsel::nss {
namespace {

// A lookup is not a cancellation point: it ends within its deadline and owns a socket meanwhile.
class CancellationOff {
 public:
  CancellationOff() noexcept { pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &previous_); }
  ~CancellationOff() { pthread_setcancelstate(previous_, nullptr); }
  CancellationOff(const CancellationOff&) = delete;
  CancellationOff& operator=(const CancellationOff&) = delete;

 private:
  int previous_ = PTHREAD_CANCEL_ENABLE;
};

struct Lookup {
  nss_status status = NSS_STATUS_UNAVAIL;
  HostAnswer answer;
};

// Routes name, then asks its name server. Fills herrnop unless the answer has addresses.
Lookup lookUp(RouteTable& routes, const char* name, Family family, int* herrnop) noexcept {
  Lookup lookup;
  *herrnop = HOST_NOT_FOUND;
  std::size_t end = std::strlen(name);
  if (end > 0 && name[end - 1] == '.') --end;
  std::size_t start = end;
  while (start > 0 && name[start - 1] != '.') --start;
  char label[64];
  if (end - start >= sizeof label) return lookup;
  for (std::size_t i = start; i < end; ++i) {
    label[i - start] = static_cast<char>(std::tolower(static_cast<unsigned char>(name[i])));
  }
  std::string_view lowered(label, end - start);
  if (!isValidDNSLabel(lowered)) return lookup;
  std::optional<Route> route = routes.find(lowered);
  if (!route) return lookup;

  lookup.status = NSS_STATUS_NOTFOUND;
  char hostName[254];
  if (end >= sizeof hostName) return lookup;
  std::memcpy(hostName, name, end);
  hostName[end] = '\0';
  if (!isValidHostName(hostName)) return lookup;
  lookup.answer = askNameServer(*route, hostName, family);
  switch (lookup.answer.outcome) {
    case HostAnswer::Outcome::kAddresses:
      lookup.status = NSS_STATUS_SUCCESS;
      break;
    case HostAnswer::Outcome::kNoSuchName:
      break;
    case HostAnswer::Outcome::kNoAddresses:
      *herrnop = NO_DATA;
      break;
    case HostAnswer::Outcome::kNoAnswer:
      *herrnop = TRY_AGAIN;
      break;
  }
  return lookup;
}

// Hands out aligned pieces of the caller's buffer.
class BufferCarver {
 public:
  BufferCarver(char* buffer, std::size_t length) noexcept : next_(buffer), end_(buffer + length) {}

  void* take(std::size_t size, std::size_t alignment = 1) noexcept {
    std::size_t skip =
        (alignment - reinterpret_cast<std::uintptr_t>(next_) % alignment) % alignment;
    if (static_cast<std::size_t>(end_ - next_) < skip + size) return nullptr;
    void* piece = next_ + skip;
    next_ += skip + size;
    return piece;
  }
  char* copy(const char* text) noexcept {
    std::size_t size = std::strlen(text) + 1;
    auto* piece = static_cast<char*>(take(size));
    if (piece != nullptr) std::memcpy(piece, text, size);
    return piece;
  }

 private:
  char* next_;
  char* end_;
};

nss_status bufferTooSmall(int* errnop, int* herrnop) noexcept {
  *errnop = ERANGE;
  *herrnop = NETDB_INTERNAL;
  return NSS_STATUS_TRYAGAIN;
}

}  // namespace

nss_status hostsByName4(RouteTable& routes, const char* name, gaih_addrtuple** tuples, char* buffer,
                        std::size_t length, int* errnop, int* herrnop,
                        std::int32_t* ttlp) noexcept {
  CancellationOff cancellationOff;
  Lookup lookup = lookUp(routes, name, Family::kBoth, herrnop);
  if (lookup.status != NSS_STATUS_SUCCESS) return lookup.status;
  const HostAnswer& answer = lookup.answer;

  BufferCarver carver(buffer, length);
  char* canonical = carver.copy(answer.canonicalName);
  gaih_addrtuple* first = nullptr;
  gaih_addrtuple** link = &first;
  auto append = [&](int family, const void* address, std::size_t size) noexcept {
    auto* tuple =
        static_cast<gaih_addrtuple*>(carver.take(sizeof(gaih_addrtuple), alignof(gaih_addrtuple)));
    if (tuple == nullptr) return false;
    *tuple = {};
    tuple->name = canonical;
    tuple->family = family;
    std::memcpy(tuple->addr, address, size);
    *link = tuple;
    link = &tuple->next;
    return true;
  };
  bool fitted = canonical != nullptr;
  for (int i = 0; fitted && i < answer.v4Count; ++i) {
    fitted = append(AF_INET, &answer.v4[i], sizeof answer.v4[i]);
  }
  for (int i = 0; fitted && i < answer.v6Count; ++i) {
    fitted = append(AF_INET6, &answer.v6[i], sizeof answer.v6[i]);
  }
  if (!fitted) return bufferTooSmall(errnop, herrnop);

  if (*tuples != nullptr) {
    **tuples = *first;
  } else {
    *tuples = first;
  }
  if (ttlp != nullptr) *ttlp = answer.ttl;
  return NSS_STATUS_SUCCESS;
}

nss_status hostsByName3(RouteTable& routes, const char* name, int af, hostent* host, char* buffer,
                        std::size_t length, int* errnop, int* herrnop, std::int32_t* ttlp,
                        char** canonp) noexcept {
  if (af != AF_INET && af != AF_INET6) {
    *errnop = EAFNOSUPPORT;
    *herrnop = NETDB_INTERNAL;
    return NSS_STATUS_UNAVAIL;
  }
  CancellationOff cancellationOff;
  Lookup lookup = lookUp(routes, name, af == AF_INET ? Family::kIPv4 : Family::kIPv6, herrnop);
  if (lookup.status != NSS_STATUS_SUCCESS) return lookup.status;
  const HostAnswer& answer = lookup.answer;
  int count = af == AF_INET ? answer.v4Count : answer.v6Count;
  const void* addresses = af == AF_INET ? static_cast<const void*>(answer.v4) : answer.v6;
  std::size_t size = af == AF_INET ? sizeof(in_addr) : sizeof(in6_addr);

  BufferCarver carver(buffer, length);
  auto** aliases = static_cast<char**>(carver.take(sizeof(char*), alignof(char*)));
  auto** list = static_cast<char**>(carver.take((count + 1) * sizeof(char*), alignof(char*)));
  auto* bytes = static_cast<char*>(carver.take(count * size, alignof(in6_addr)));
  char* canonical = carver.copy(answer.canonicalName);
  if (aliases == nullptr || list == nullptr || bytes == nullptr || canonical == nullptr) {
    return bufferTooSmall(errnop, herrnop);
  }
  aliases[0] = nullptr;
  std::memcpy(bytes, addresses, count * size);
  for (int i = 0; i < count; ++i) list[i] = bytes + i * size;
  list[count] = nullptr;
  host->h_name = canonical;
  host->h_aliases = aliases;
  host->h_addrtype = af;
  host->h_length = static_cast<int>(size);
  host->h_addr_list = list;
  if (ttlp != nullptr) *ttlp = answer.ttl;
  if (canonp != nullptr) *canonp = canonical;
  return NSS_STATUS_SUCCESS;
}

}  // namespace tamsel::nss
