// The two operations whose bodies live in the service itself.
#pragma once

#include <optional>

#include "platform/info/info_dictionary.h"
#include "platform/log/logger.h"
#include "service/reply_shapes.h"

namespace tamsel {

// The version under "CFBundleShortVersionString" as it stands, or "unknown" when the
// dictionary, the key or a string value is missing; logs the answer.
VersionReply helperVersion(const log::Logger& logger, const std::optional<InfoDictionary>& info);

// Always alive; logs nothing.
PingReply ping();

}  // namespace tamsel
