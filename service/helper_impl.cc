#include "service/helper_impl.h"

#include "catrust/root_ca_operations.h"
#include "cli/reconcile_installed_cli.h"
#include "cli/remove_installed_cli.h"
#include "datadir/data_dir_ownership.h"
#include "logs/fetch_helper_logs_since_iso.h"
#include "platform/identity.h"
#include "platform/info/info_dictionary.h"
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

void HelperImpl::handle(ipc::Request request, ipc::Responder responder) const {
  const ProtocolOperation* op = findOperation(request.selector);
  if (op == nullptr || op->selector != request.selector) {
    return std::move(responder).protocolError("unknown selector");
  }
  if (!argumentsMatch(*op, request.args)) {
    return std::move(responder).protocolError("arguments do not match " + request.selector);
  }
  std::move(responder).reply(op->invoke(*this, request.args));
}

StatusReply HelperImpl::installResolverWithTld(const OptionalString& tld,
                                               const OptionalString& listenAddress,
                                               std::int64_t port) const {
  return installResolver(logger_, bridge(tld), bridge(listenAddress), port);
}

StatusReply HelperImpl::removeResolverWithTld(const OptionalString& tld) const {
  return removeResolver(logger_, bridge(tld));
}

StatusReply HelperImpl::removeTrustedCACertificateWithCertPath(
    const OptionalString& certPath) const {
  return removeTrustedCACertificate(logger_, ipc::currentConnectionPeer(), bridge(certPath));
}

StatusReply HelperImpl::reconcileSystemCACertificateWithCertPath(
    const OptionalString& certPath) const {
  return reconcileSystemCACertificate(logger_, ipc::currentConnectionPeer(), bridge(certPath));
}

StatusReply HelperImpl::reconcileInstalledCLIWithReply() const {
  return reconcileInstalledCLI(logger_);
}

StatusReply HelperImpl::removeInstalledCLIWithReply() const {
  return removeInstalledCLI(logger_);
}

SocketReply HelperImpl::openListeningSocketWithFamily(std::int64_t family,
                                                      std::uint16_t port) const {
  return openListeningSocket(logger_, family, port);
}

VersionReply HelperImpl::helperVersionWithReply() const {
  return helperVersion(logger_, InfoDictionary::ofMainExecutable());
}

StatusReply HelperImpl::chownTamselDataDirWithPath(const OptionalString& path,
                                                   std::int64_t toUid) const {
  return chownTamselDataDir(logger_, ipc::currentConnectionPeer(), bridge(path), toUid);
}

LogsReply HelperImpl::fetchHelperLogsSinceISO(const OptionalString& since) const {
  return tamsel::fetchHelperLogsSinceISO(bridge(since));
}

PingReply HelperImpl::pingWithReply() const {
  return ping();
}

}  // namespace tamsel
