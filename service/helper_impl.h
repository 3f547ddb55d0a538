// HelperImpl: the one operation object every connection shares. It answers each request exactly
// once: it looks the selector up in the protocol table, bridges the arguments (a null string
// becomes the empty string, integers pass unchanged), calls the operation's body with them and
// what else the body needs (logger, the connecting peer), and sends the reply value the body
// returns.
#pragma once

#include <cstdint>

#include "platform/ipc/service.h"
#include "platform/log/logger.h"
#include "service/helper_protocol.h"

namespace tamsel {

class HelperImpl final : public HelperProtocol, public ipc::RequestHandler {
 public:
  // logger: subsystem = the helper's identifier, category "helper".
  HelperImpl();
  explicit HelperImpl(log::Logger logger);

  const log::Logger& logger() const { return logger_; }

  // Unknown selectors and wrong argument kinds end the connection with a protocol error; nothing
  // reaches a body.
  void handle(ipc::Request request, ipc::Responder responder) const override;

  StatusReply installResolverWithTld(const OptionalString& tld, const OptionalString& listenAddress,
                                     std::int64_t port) const override;
  StatusReply removeResolverWithTld(const OptionalString& tld) const override;
  StatusReply removeTrustedCACertificateWithCertPath(const OptionalString& certPath) const override;
  StatusReply reconcileSystemCACertificateWithCertPath(
      const OptionalString& certPath) const override;
  StatusReply reconcileInstalledCLIWithReply() const override;
  StatusReply removeInstalledCLIWithReply() const override;
  SocketReply openListeningSocketWithFamily(std::int64_t family, std::uint16_t port) const override;
  VersionReply helperVersionWithReply() const override;
  StatusReply chownTamselDataDirWithPath(const OptionalString& path,
                                         std::int64_t toUid) const override;
  LogsReply fetchHelperLogsSinceISO(const OptionalString& since) const override;
  PingReply pingWithReply() const override;

 private:
  const log::Logger logger_;
};

}  // namespace tamsel
