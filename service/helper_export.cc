#include "service/helper_export.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "service/helper_protocol.h"

namespace tamsel {
namespace {

using Args = std::vector<ipc::Value>;
using SharedResponder = std::shared_ptr<ipc::Responder>;

ipc::StringValue str(Message m) {
  return ipc::StringValue{std::move(m)};
}

template <typename... V>
void send(const SharedResponder& r, V&&... values) {
  std::vector<ipc::Value> out;
  out.reserve(sizeof...(values));
  (out.emplace_back(std::forward<V>(values)), ...);
  std::move(*r).reply(std::move(out));
}

// Each reply function owns the responder; dropping it unanswered lets the responder end the
// connection with a protocol error.
StatusReply statusReply(SharedResponder r) {
  return StatusReply(
      [r](bool ok, Message m, std::int32_t code) { send(r, ok, str(std::move(m)), code); });
}
SocketReply socketReply(SharedResponder r) {
  return SocketReply([r](UniqueFd fd, Message m, std::int32_t code) {
    send(r, ipc::FdValue{std::move(fd)}, str(std::move(m)), code);
  });
}
VersionReply versionReply(SharedResponder r) {
  return VersionReply([r](std::string v) { send(r, str(std::move(v))); });
}
LogsReply logsReply(SharedResponder r) {
  return LogsReply([r](std::optional<std::string> text, Message m, std::int32_t code) {
    send(r, str(std::move(text)), str(std::move(m)), code);
  });
}
PingReply pingReply(SharedResponder r) {
  return PingReply([r](bool alive) { send(r, alive); });
}

const OptionalString& s(const Args& a, std::size_t i) {
  return std::get<ipc::StringValue>(a[i]).text;
}
std::int64_t i64(const Args& a, std::size_t i) {
  return std::get<std::int64_t>(a[i]);
}

using Invoke = void (*)(const HelperImpl&, const Args&, SharedResponder);
struct Route {
  std::string_view selector;
  Invoke invoke;
};

// The operations this build dispatches. An operation is listed once its body exists.
constexpr Route kRoutes[] = {
    {"installResolverWithTld:listenAddress:port:reply:",
     [](const HelperImpl& h, const Args& a, SharedResponder r) {
       h.installResolverWithTld(s(a, 0), s(a, 1), i64(a, 2), statusReply(std::move(r)));
     }},
    {"removeResolverWithTld:reply:",
     [](const HelperImpl& h, const Args& a, SharedResponder r) {
       h.removeResolverWithTld(s(a, 0), statusReply(std::move(r)));
     }},
    {"openListeningSocketWithFamily:port:reply:",
     [](const HelperImpl& h, const Args& a, SharedResponder r) {
       h.openListeningSocketWithFamily(i64(a, 0), std::get<std::uint16_t>(a[1]),
                                       socketReply(std::move(r)));
     }},
    {"helperVersionWithReply:",
     [](const HelperImpl& h, const Args&, SharedResponder r) {
       h.helperVersionWithReply(versionReply(std::move(r)));
     }},
    {"chownTamselDataDirWithPath:toUid:reply:",
     [](const HelperImpl& h, const Args& a, SharedResponder r) {
       h.chownTamselDataDirWithPath(s(a, 0), i64(a, 1), statusReply(std::move(r)));
     }},
    {"fetchHelperLogsSinceISO:reply:",
     [](const HelperImpl& h, const Args& a, SharedResponder r) {
       h.fetchHelperLogsSinceISO(s(a, 0), logsReply(std::move(r)));
     }},
    {"pingWithReply:", [](const HelperImpl& h, const Args&,
                          SharedResponder r) { h.pingWithReply(pingReply(std::move(r))); }},
};

const Route* findRoute(std::string_view selector) {
  for (const auto& route : kRoutes) {
    if (route.selector == selector) return &route;
  }
  return nullptr;
}

bool argumentsMatch(const ProtocolOperation& op, const Args& args) {
  const auto expected = op.args();
  return args.size() == expected.size() &&
         std::equal(args.begin(), args.end(), expected.begin(),
                    [](const ipc::Value& v, const ProtocolArgument& a) {
                      return ipc::kindOf(v) == a.kind;
                    });
}

}  // namespace

bool HelperExport::dispatches(std::string_view selector) {
  return findRoute(selector) != nullptr;
}

void HelperExport::handle(ipc::Request request, ipc::Responder responder) const {
  const ProtocolOperation* op = nullptr;
  for (const auto& candidate : kHelperProtocol) {
    if (candidate.selector == request.selector) op = &candidate;
  }
  if (op == nullptr) return std::move(responder).protocolError("unknown selector");
  if (!argumentsMatch(*op, request.args)) {
    return std::move(responder).protocolError("arguments do not match " + request.selector);
  }
  const Route* route = findRoute(op->selector);
  if (route == nullptr) {
    return std::move(responder).protocolError("operation not available: " + request.selector);
  }
  route->invoke(*helper_, request.args, std::make_shared<ipc::Responder>(std::move(responder)));
}

}  // namespace tamsel
