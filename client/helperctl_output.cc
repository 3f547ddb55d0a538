#include "client/helperctl_output.h"

#include <cstdio>
#include <ctime>

#include "platform/json_string.h"
#include "platform/sockets.h"
#include "platform/utf8.h"

namespace tamsel::client::helperctl {
namespace {

const std::optional<std::string>& str(const ipc::Value& v) {
  return std::get<ipc::StringValue>(v).text;
}

std::string jsonOrNull(const std::optional<std::string>& s) {
  return s ? jsonString(*s) : "null";
}

// "NO: message (code N)", the text form of every refusal.
std::string refusalText(const std::optional<std::string>& message, std::int32_t code) {
  std::string out = "NO";
  if (message) out += ": " + *message;
  return out + " (code " + std::to_string(code) + ")\n";
}

}  // namespace

std::string jsonString(std::string_view text) {
  // Reply texts may carry any bytes (tool output); the JSON carries them as UTF-8.
  std::string out;
  appendJsonString(out, decodeUtf8Lossy(text));
  return out;
}

std::string describeSocketJson(int fd) {
  auto a = localSocketAddress(fd);
  if (!a) return "{\"family\":null}";
  std::string out =
      "{\"family\":" + jsonString(a->family) + ",\"address\":" + jsonString(a->address);
  if (a->port >= 0) out += ",\"port\":" + std::to_string(a->port);
  return out + "}";
}

std::string describeSocketText(int fd) {
  auto a = localSocketAddress(fd);
  if (!a) return "descriptor " + std::to_string(fd) + " (not a socket)";
  if (a->family == "inet") return "inet " + a->address + ":" + std::to_string(a->port);
  if (a->family == "inet6") return "inet6 [" + a->address + "]:" + std::to_string(a->port);
  return a->family + " " + a->address;
}

Rendered renderReply(ReplyShape shape, const std::vector<ipc::Value>& v, bool json) {
  Rendered r;
  switch (shape) {
    case ReplyShape::kStatus: {
      const bool ok = std::get<bool>(v[0]);
      const auto code = std::get<std::int32_t>(v[2]);
      r.exitCode = ok ? kExitSuccess : kExitRefused;
      if (json) {
        r.text = std::string("{\"ok\":") + (ok ? "true" : "false") +
                 ",\"message\":" + jsonOrNull(str(v[1])) + ",\"code\":" + std::to_string(code) +
                 "}\n";
      } else {
        r.text = ok ? "OK\n" : refusalText(str(v[1]), code);
      }
      break;
    }
    case ReplyShape::kSocket: {
      const auto& fd = std::get<ipc::FdValue>(v[0]).fd;
      const auto code = std::get<std::int32_t>(v[2]);
      r.exitCode = fd.valid() ? kExitSuccess : kExitRefused;
      if (json) {
        r.text = "{\"fd\":" + (fd.valid() ? describeSocketJson(fd.get()) : std::string("null")) +
                 ",\"message\":" + jsonOrNull(str(v[1])) + ",\"code\":" + std::to_string(code) +
                 "}\n";
      } else {
        r.text = fd.valid() ? describeSocketText(fd.get()) + "\n" : refusalText(str(v[1]), code);
      }
      break;
    }
    case ReplyShape::kVersion: {
      const std::string version = str(v[0]).value_or("");
      r.text = json ? "{\"version\":" + jsonString(version) + "}\n" : version + "\n";
      break;
    }
    case ReplyShape::kLogs: {
      const auto& text = str(v[0]);
      const auto code = std::get<std::int32_t>(v[2]);
      r.exitCode = text ? kExitSuccess : kExitRefused;
      if (json) {
        r.text = "{\"text\":" + jsonOrNull(text) + ",\"message\":" + jsonOrNull(str(v[1])) +
                 ",\"code\":" + std::to_string(code) + "}\n";
      } else if (!text) {
        r.text = refusalText(str(v[1]), code);
      } else if (!text->empty()) {
        r.text = *text + "\n";
      }
      break;
    }
    case ReplyShape::kPing: {
      const bool alive = std::get<bool>(v[0]);
      r.exitCode = alive ? kExitSuccess : kExitRefused;
      r.text = json ? std::string("{\"alive\":") + (alive ? "true" : "false") + "}\n"
                    : std::string(alive ? "YES\n" : "NO\n");
      break;
    }
  }
  return r;
}

std::optional<std::string> lastTimestamp(std::string_view exportText) {
  while (!exportText.empty() && exportText.back() == '\n') exportText.remove_suffix(1);
  const std::size_t lineStart = exportText.rfind('\n');
  std::string_view line =
      lineStart == std::string_view::npos ? exportText : exportText.substr(lineStart + 1);
  // Inside a JSON string every quote is escaped, so this can only be the member itself.
  constexpr std::string_view key = "\"ts\":\"";
  const std::size_t at = line.find(key);
  if (at == std::string_view::npos) return std::nullopt;
  const std::size_t from = at + key.size();
  const std::size_t to = line.find('"', from);
  if (to == std::string_view::npos) return std::nullopt;
  return std::string(line.substr(from, to - from));
}

std::string isoTimestamp(std::chrono::system_clock::time_point t) {
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
  std::time_t secs = static_cast<std::time_t>(ms / 1000);
  long frac = static_cast<long>(ms % 1000);
  if (frac < 0) {
    frac += 1000;
    --secs;
  }
  struct tm utc {};
  ::gmtime_r(&secs, &utc);
  char buf[96];
  std::snprintf(buf, sizeof(buf), "%04d-%02d-%02dT%02d:%02d:%02d.%03ldZ", utc.tm_year + 1900,
                utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, frac);
  return buf;
}

}  // namespace tamsel::client::helperctl
