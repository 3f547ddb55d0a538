#include "service/helper_version.h"

namespace tamsel {

VersionReply helperVersion(const log::Logger& logger, const std::optional<InfoDictionary>& info) {
  std::optional<std::string> version;
  if (info) version = info->stringValue("CFBundleShortVersionString");
  std::string answer = version.value_or("unknown");
  logger.info("helperVersion: %{public}s", answer);
  return {std::move(answer)};
}

PingReply ping() {
  return {true};
}

}  // namespace tamsel
