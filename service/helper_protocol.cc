#include "service/helper_protocol.h"

#include <algorithm>

namespace tamsel {

std::span<const ValueKind> replyKinds(ReplyShape shape) {
  static constexpr std::array kStatus = {ValueKind::kBool, ValueKind::kString, ValueKind::kInt32};
  static constexpr std::array kSocket = {ValueKind::kFd, ValueKind::kString, ValueKind::kInt32};
  static constexpr std::array kVersion = {ValueKind::kString};
  static constexpr std::array kLogs = {ValueKind::kString, ValueKind::kString, ValueKind::kInt32};
  static constexpr std::array kPing = {ValueKind::kBool};
  switch (shape) {
    case ReplyShape::kStatus:
      return kStatus;
    case ReplyShape::kSocket:
      return kSocket;
    case ReplyShape::kVersion:
      return kVersion;
    case ReplyShape::kLogs:
      return kLogs;
    case ReplyShape::kPing:
      return kPing;
  }
  return {};
}

bool argumentsMatch(const ProtocolOperation& op, const Arguments& args) {
  const auto expected = op.args();
  return args.size() == expected.size() &&
         std::equal(args.begin(), args.end(), expected.begin(),
                    [](const ipc::Value& v, const ProtocolArgument& a) {
                      return ipc::kindOf(v) == a.kind;
                    });
}

const ProtocolOperation* findOperation(std::string_view name) {
  for (const auto& op : kHelperProtocol) {
    if (op.selector == name || op.shortName == name) return &op;
  }
  return nullptr;
}

}  // namespace tamsel
