#pragma once

#include <optional>

#include "platform/info/info_dictionary.h"
#include "service/helper_impl.h"

namespace tamsel {

// Answers the version under "CFBundleShortVersionString" as it stands, or "unknown" when the
// dictionary, the key or a string value is missing; logs the answer.
void helperVersion(const HelperImpl& helper, const std::optional<InfoDictionary>& info,
                   VersionReply reply);

// Always alive; logs nothing.
void ping(PingReply reply);

}  // namespace tamsel
