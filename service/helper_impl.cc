#include "service/helper_impl.h"

#include "datadir/data_dir_ownership.h"
#include "logs/fetch_helper_logs_since_iso.h"
#include "platform/identity.h"
#include "resolver/resolver_files.h"
#include "service/helper_version.h"
#include "sockets/listening_socket.h"

namespace tamsel {
namespace {

// A null string reaches the bodies as the empty string.
std::string bridge(const OptionalString& s) {
  return s.value_or(std::string());
}

}  // namespace

HelperImpl::HelperImpl() : HelperImpl(log::Logger(std::string(kHelperIdentifier), "helper")) {}

HelperImpl::HelperImpl(log::Logger logger) : logger_(std::move(logger)) {}

void HelperImpl::installResolverWithTld(const OptionalString& tld,
                                        const OptionalString& listenAddress, std::int64_t port,
                                        StatusReply reply) const {
  installResolver(*this, bridge(tld), bridge(listenAddress), port, std::move(reply));
}

void HelperImpl::removeResolverWithTld(const OptionalString& tld, StatusReply reply) const {
  removeResolver(*this, bridge(tld), std::move(reply));
}

void HelperImpl::openListeningSocketWithFamily(std::int64_t family, std::uint16_t port,
                                               SocketReply reply) const {
  openListeningSocket(*this, family, port, std::move(reply));
}

void HelperImpl::helperVersionWithReply(VersionReply reply) const {
  helperVersion(*this, InfoDictionary::ofMainExecutable(), std::move(reply));
}

void HelperImpl::chownTamselDataDirWithPath(const OptionalString& path, std::int64_t toUid,
                                            StatusReply reply) const {
  chownTamselDataDir(*this, bridge(path), toUid, std::move(reply));
}

void HelperImpl::fetchHelperLogsSinceISO(const OptionalString& since, LogsReply reply) const {
  tamsel::fetchHelperLogsSinceISO(bridge(since), std::move(reply));
}

void HelperImpl::pingWithReply(PingReply reply) const {
  ping(std::move(reply));
}

}  // namespace tamsel
