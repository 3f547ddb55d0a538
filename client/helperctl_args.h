// tamsel-helperctl's command line: options, the operation (full selector or short name) and its
// arguments, converted to the kinds the protocol table declares.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ipc/value.h"
#include "platform/result.h"
#include "service/helper_protocol.h"

namespace tamsel::client::helperctl {

// What to do besides calling an operation.
enum class LocalCommand { kNone, kStatus, kDoctor };

struct Invocation {
  bool help = false;
  bool version = false;
  LocalCommand local = LocalCommand::kNone;
  bool json = false;
  std::string socketPath;
  const ProtocolOperation* operation = nullptr;
  std::vector<ipc::Value> args;
  // logs --follow [SINCE]: repeated exports, each from the last line's time.
  bool follow = false;
  std::optional<std::string> followSince;
};

// argv without the program name. An error's description is the message for the user.
Result<Invocation> parseCommandLine(std::span<const std::string_view> argv);

// A whole decimal integer within [min, max]; what names the value in the error message.
Result<std::int64_t> parseInteger(std::string_view text, std::int64_t min, std::int64_t max,
                                  std::string_view what);

std::string usage();

}  // namespace tamsel::client::helperctl
