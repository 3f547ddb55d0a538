#include "service/helper_version.h"

namespace tamsel {

void helperVersion(const HelperImpl& helper, const std::optional<InfoDictionary>& info,
                   VersionReply reply) {
  std::optional<std::string> version;
  if (info) version = info->stringValue("CFBundleShortVersionString");
  const std::string answer = version.value_or("unknown");
  helper.logger().info("helperVersion: %{public}s", answer);
  reply(answer);
}

void ping(PingReply reply) {
  reply(true);
}

}  // namespace tamsel
