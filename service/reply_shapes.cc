#include "service/reply_shapes.h"

namespace tamsel {
namespace {

ipc::StringValue wireString(std::optional<std::string> text) {
  return ipc::StringValue{std::move(text)};
}

template <typename... V>
std::vector<ipc::Value> valuesOf(V&&... v) {
  std::vector<ipc::Value> out;
  out.reserve(sizeof...(v));
  (out.emplace_back(std::forward<V>(v)), ...);
  return out;
}

std::optional<std::string> takeString(ipc::Value& v) {
  return std::move(std::get<ipc::StringValue>(v).text);
}

}  // namespace

std::vector<ipc::Value> replyValues(StatusReply r) {
  return valuesOf(r.ok, wireString(std::move(r.message)), r.code);
}
std::vector<ipc::Value> replyValues(SocketReply r) {
  return valuesOf(ipc::FdValue{std::move(r.handle)}, wireString(std::move(r.message)), r.code);
}
std::vector<ipc::Value> replyValues(VersionReply r) {
  return valuesOf(wireString(std::move(r.version)));
}
std::vector<ipc::Value> replyValues(LogsReply r) {
  return valuesOf(wireString(std::move(r.text)), wireString(std::move(r.message)), r.code);
}
std::vector<ipc::Value> replyValues(PingReply r) {
  return valuesOf(r.alive);
}

template <>
StatusReply replyFromValues(std::vector<ipc::Value>& v) {
  return {std::get<bool>(v[0]), takeString(v[1]), std::get<std::int32_t>(v[2])};
}
template <>
SocketReply replyFromValues(std::vector<ipc::Value>& v) {
  return {std::move(std::get<ipc::FdValue>(v[0]).fd), takeString(v[1]),
          std::get<std::int32_t>(v[2])};
}
template <>
VersionReply replyFromValues(std::vector<ipc::Value>& v) {
  return {takeString(v[0]).value_or("")};
}
template <>
LogsReply replyFromValues(std::vector<ipc::Value>& v) {
  return {takeString(v[0]), takeString(v[1]), std::get<std::int32_t>(v[2])};
}
template <>
PingReply replyFromValues(std::vector<ipc::Value>& v) {
  return {std::get<bool>(v[0])};
}

}  // namespace tamsel
