#include "client/helperctl_args.h"

#include <cerrno>
#include <charconv>
#include <limits>

#include "platform/identity.h"

namespace tamsel::client::helperctl {
namespace {

Error usageError(std::string text) {
  return Error{EINVAL, std::move(text)};
}

std::string argumentNames(const ProtocolOperation& op) {
  std::string names;
  for (const auto& a : op.args()) {
    if (!names.empty()) names += ' ';
    names += a.name;
  }
  return names;
}

Result<ipc::Value> convert(const ProtocolArgument& arg, std::string_view text) {
  switch (arg.kind) {
    case ipc::ValueKind::kString:
      return ipc::Value{ipc::StringValue{std::string(text)}};
    case ipc::ValueKind::kInt64: {
      auto v = parseInteger(text, std::numeric_limits<std::int64_t>::min(),
                            std::numeric_limits<std::int64_t>::max(), arg.name);
      if (!v) return v.error();
      return ipc::Value{*v};
    }
    case ipc::ValueKind::kUInt16: {
      auto v = parseInteger(text, 0, 65535, arg.name);
      if (!v) return v.error();
      return ipc::Value{static_cast<std::uint16_t>(*v)};
    }
    case ipc::ValueKind::kInt32: {
      auto v = parseInteger(text, std::numeric_limits<std::int32_t>::min(),
                            std::numeric_limits<std::int32_t>::max(), arg.name);
      if (!v) return v.error();
      return ipc::Value{static_cast<std::int32_t>(*v)};
    }
    case ipc::ValueKind::kBool:
      if (text == "yes" || text == "true" || text == "1") return ipc::Value{true};
      if (text == "no" || text == "false" || text == "0") return ipc::Value{false};
      return usageError(std::string(arg.name) + " must be yes or no, got '" + std::string(text) +
                        "'");
    case ipc::ValueKind::kFd:
      break;
  }
  return usageError(std::string(arg.name) + " cannot be given on the command line");
}

}  // namespace

Result<std::int64_t> parseInteger(std::string_view text, std::int64_t min, std::int64_t max,
                                  std::string_view what) {
  const std::string range = std::to_string(min) + " to " + std::to_string(max);
  std::string_view digits = text;
  if (!digits.empty() && digits.front() == '+') digits.remove_prefix(1);
  std::int64_t value = 0;
  const char* end = digits.data() + digits.size();
  auto [p, ec] = std::from_chars(digits.data(), end, value);
  if (digits.empty() || ec == std::errc::invalid_argument || p != end) {
    return usageError(std::string(what) + " must be an integer from " + range + ", got '" +
                      std::string(text) + "'");
  }
  if (ec == std::errc::result_out_of_range || value < min || value > max) {
    return usageError(std::string(what) + " is out of range (" + range + "): " + std::string(text));
  }
  return value;
}

Result<Invocation> parseCommandLine(std::span<const std::string_view> argv) {
  Invocation inv;
  inv.socketPath = std::string(kServiceSocketPath);
  std::size_t i = 0;
  for (; i < argv.size(); ++i) {
    const std::string_view a = argv[i];
    if (a == "--help" || a == "-h") {
      inv.help = true;
      return inv;
    }
    if (a == "--version") {
      inv.version = true;
      return inv;
    }
    if (a == "--json") {
      inv.json = true;
    } else if (a == "--socket") {
      if (++i == argv.size()) return usageError("--socket needs a path");
      inv.socketPath = std::string(argv[i]);
    } else if (a.starts_with("--socket=")) {
      inv.socketPath = std::string(a.substr(9));
    } else if (a == "--") {
      ++i;
      break;
    } else if (a.starts_with("-") && a.size() > 1 && !(a[1] >= '0' && a[1] <= '9')) {
      return usageError("unknown option " + std::string(a));
    } else {
      break;
    }
  }
  if (i == argv.size()) return usageError("no operation given");
  const std::string_view name = argv[i++];
  if (name == "status" || name == "doctor") {
    if (i != argv.size()) return usageError(std::string(name) + " takes no arguments");
    inv.local = name == "status" ? LocalCommand::kStatus : LocalCommand::kDoctor;
    return inv;
  }
  inv.operation = findOperation(name);
  if (inv.operation == nullptr) return usageError("unknown operation " + std::string(name));
  std::span<const std::string_view> rest = argv.subspan(i);

  if (inv.operation->reply == ReplyShape::kLogs && !rest.empty() && rest.front() == "--follow") {
    inv.follow = true;
    if (rest.size() > 2) return usageError("logs --follow takes at most one argument (since)");
    if (rest.size() == 2) inv.followSince = std::string(rest[1]);
    return inv;
  }

  const auto params = inv.operation->args();
  if (rest.size() != params.size()) {
    std::string want =
        std::to_string(params.size()) + " argument" + (params.size() == 1 ? "" : "s");
    if (!params.empty()) want += " (" + argumentNames(*inv.operation) + ")";
    return usageError(std::string(inv.operation->shortName) + " takes " + want + ", got " +
                      std::to_string(rest.size()));
  }
  for (std::size_t k = 0; k < params.size(); ++k) {
    auto v = convert(params[k], rest[k]);
    if (!v) return v.error();
    inv.args.push_back(std::move(*v));
  }
  return inv;
}

std::string usage() {
  std::string text =
      "usage: tamsel-helperctl [--json] [--socket PATH] OPERATION [ARGUMENTS...]\n"
      "       tamsel-helperctl [--json] [--socket PATH] logs --follow [SINCE]\n"
      "       tamsel-helperctl [--json] [--socket PATH] status | doctor\n"
      "\n"
      "Calls one operation of the Tamsel helper and prints its reply. OPERATION is a short name\n"
      "or the full selector. With --json the reply is printed as one JSON object.\n"
      "\n"
      "Operations:\n";
  for (const auto& op : kHelperProtocol) {
    std::string line = "  " + std::string(op.shortName);
    for (const auto& a : op.args()) line += " " + std::string(a.name);
    if (line.size() < 44) line.resize(44, ' ');
    text += line + " " + std::string(op.selector) + "\n";
  }
  text +=
      "\n"
      "Checks of this machine (no operation is called):\n"
      "  status                                     whether the helper answers (and why not), its\n"
      "                                             version, socket, start and log store\n"
      "  doctor                                     ports 80 and 443, resolver files, the root "
      "CA,\n"
      "                                             the installed tool, the code-signing root;\n"
      "                                             exit 0 only when all is well\n"
      "\n"
      "logs --follow polls about once a second, each time from the last line received\n"
      "(SINCE defaults to one minute ago), until interrupted.\n"
      "\n"
      "Options:\n"
      "  --json         print the reply as JSON\n"
      "  --socket PATH  the helper's socket (default " +
      std::string(kServiceSocketPath) +
      ")\n"
      "  --help         this text\n"
      "  --version      print this program's version\n"
      "\n"
      "Exit status: 0 success reply, 1 refusal (NO, no handle, no text), 2 usage or connection\n"
      "error (including this program not being admitted by the helper). status: 0 when the\n"
      "helper answers, else 1; doctor: 0 when no finding is a problem, else 1.\n";
  return text;
}

}  // namespace tamsel::client::helperctl
