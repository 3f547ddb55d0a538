// HelperImpl: the one operation object every connection shares. It bridges the arguments as
// they arrive (a null string becomes the empty string, integers pass unchanged) and calls the
// operation's body with them, itself (for logger) and the reply function.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/log/logger.h"
#include "service/reply.h"

namespace tamsel {

using OptionalString = std::optional<std::string>;

class HelperImpl {
 public:
  // logger: subsystem = the helper's identifier, category "helper".
  HelperImpl();
  explicit HelperImpl(log::Logger logger);

  const log::Logger& logger() const { return logger_; }

  // HelperProtocol, in declaration order. An operation whose body has not been built yet is
  // absent from the dispatch table (see helper_export.cc), never answered with a pretend success.
  void installResolverWithTld(const OptionalString& tld, const OptionalString& listenAddress,
                              std::int64_t port, StatusReply reply) const;
  void removeResolverWithTld(const OptionalString& tld, StatusReply reply) const;
  void openListeningSocketWithFamily(std::int64_t family, std::uint16_t port,
                                     SocketReply reply) const;
  void helperVersionWithReply(VersionReply reply) const;
  void chownTamselDataDirWithPath(const OptionalString& path, std::int64_t toUid,
                                  StatusReply reply) const;
  void fetchHelperLogsSinceISO(const OptionalString& since, LogsReply reply) const;
  void pingWithReply(PingReply reply) const;

 private:
  const log::Logger logger_;
};

}  // namespace tamsel
