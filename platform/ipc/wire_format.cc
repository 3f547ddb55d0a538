#include "platform/ipc/wire_format.h"

#include "platform/utf8.h"

#include <cstring>
#include <utility>

namespace tamsel::ipc::wire {
namespace {

constexpr std::size_t kKeptBufferBytes = 4096;

Error malformed(std::string_view why) {
  return Error{0, "malformed frame: " + std::string(why)};
}

template <typename T>
void putLe(std::string& out, T value) {
  using U = std::make_unsigned_t<T>;
  auto u = static_cast<U>(value);
  for (std::size_t i = 0; i < sizeof(T); ++i) {
    out.push_back(static_cast<char>(static_cast<std::uint8_t>(u >> (8 * i))));
  }
}

// Reserves the header, returns where the body starts.
std::size_t beginFrame(std::string& out, FrameType type) {
  const std::size_t start = out.size();
  out.append(kHeaderBytes, '\0');
  out.push_back(static_cast<char>(type));
  return start;
}

Status endFrame(std::string& out, std::size_t start, std::uint32_t limit) {
  const std::size_t body = out.size() - start - kHeaderBytes;
  if (body > limit) {
    out.resize(start);
    return Error{0, "frame of " + std::to_string(body) + " bytes exceeds the limit of " +
                        std::to_string(limit)};
  }
  for (std::size_t i = 0; i < kHeaderBytes; ++i) {
    out[start + i] = static_cast<char>(static_cast<std::uint8_t>(body >> (8 * i)));
  }
  return {};
}

void putValues(std::string& out, const std::vector<Value>& values, std::vector<int>& fds) {
  out.push_back(static_cast<char>(values.size()));
  for (const Value& v : values) {
    out.push_back(static_cast<char>(kindOf(v)));
    std::visit(
        [&](const auto& x) {
          using T = std::decay_t<decltype(x)>;
          if constexpr (std::is_same_v<T, StringValue>) {
            out.push_back(x.text ? 1 : 0);
            if (x.text) {
              putLe<std::uint32_t>(out, static_cast<std::uint32_t>(x.text->size()));
              out.append(*x.text);
            }
          } else if constexpr (std::is_same_v<T, bool>) {
            out.push_back(x ? 1 : 0);
          } else if constexpr (std::is_same_v<T, FdValue>) {
            out.push_back(x.fd.valid() ? 1 : 0);
            if (x.fd.valid()) fds.push_back(x.fd.get());
          } else {
            putLe<T>(out, x);
          }
        },
        v);
  }
}

Status checkValues(const std::vector<Value>& values) {
  if (values.size() > kMaxValues) return Error{0, "too many values"};
  std::size_t fdCount = 0;
  for (const Value& v : values) {
    if (const auto* s = std::get_if<StringValue>(&v);
        s && s->text && s->text->size() > kMaxReplyBody) {
      return Error{0, "string too long"};
    }
    if (const auto* f = std::get_if<FdValue>(&v); f && f->fd.valid()) ++fdCount;
  }
  if (fdCount > kMaxFrameFds) return Error{0, "too many descriptors"};
  return {};
}

// Reads the body front to back; every read checks the bounds first.
class Reader {
 public:
  explicit Reader(std::span<const char> data) : data_(data) {}

  bool has(std::size_t n) const { return data_.size() - pos_ >= n; }
  bool atEnd() const { return pos_ == data_.size(); }

  template <typename T>
  bool get(T& value) {
    if (!has(sizeof(T))) return false;
    std::make_unsigned_t<T> u = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i) {
      u |= static_cast<std::make_unsigned_t<T>>(static_cast<std::uint8_t>(data_[pos_ + i]))
           << (8 * i);
    }
    pos_ += sizeof(T);
    value = static_cast<T>(u);
    return true;
  }

  bool bytes(std::size_t n, std::string& out) {
    if (!has(n)) return false;
    out.assign(data_.data() + pos_, n);
    pos_ += n;
    return true;
  }

 private:
  std::span<const char> data_;
  std::size_t pos_ = 0;
};

Result<bool> readFlag(Reader& r) {
  std::uint8_t b = 0;
  if (!r.get(b)) return malformed("truncated");
  if (b > 1) return malformed("flag is neither 0 nor 1");
  return b == 1;
}

Result<Value> readValue(Reader& r, Side receiver, FdQueue& fds) {
  std::uint8_t tag = 0;
  if (!r.get(tag)) return malformed("truncated");
  switch (static_cast<ValueKind>(tag)) {
    case ValueKind::kString: {
      auto present = readFlag(r);
      if (!present) return present.error();
      if (!*present) return Value{StringValue{}};
      std::uint32_t len = 0;
      std::string text;
      if (!r.get(len) || !r.bytes(len, text)) return malformed("truncated string");
      // What reaches a body must be a string a path or a C API can hold whole.
      if (receiver == Side::kDaemon &&
          (text.find('\0') != std::string::npos || !isValidUtf8(text))) {
        return malformed("string is not UTF-8 without NUL");
      }
      return Value{StringValue{std::move(text)}};
    }
    case ValueKind::kBool: {
      auto b = readFlag(r);
      if (!b) return b.error();
      return Value{*b};
    }
    case ValueKind::kInt64: {
      std::int64_t v = 0;
      if (!r.get(v)) return malformed("truncated");
      return Value{v};
    }
    case ValueKind::kUInt16: {
      std::uint16_t v = 0;
      if (!r.get(v)) return malformed("truncated");
      return Value{v};
    }
    case ValueKind::kInt32: {
      std::int32_t v = 0;
      if (!r.get(v)) return malformed("truncated");
      return Value{v};
    }
    case ValueKind::kFd: {
      auto present = readFlag(r);
      if (!present) return present.error();
      if (!*present) return Value{FdValue{}};
      if (fds.empty()) return malformed("descriptor missing");
      FdValue v{std::move(fds.front())};
      fds.pop_front();
      return Value{std::move(v)};
    }
  }
  return malformed("unknown value tag");
}

Result<std::vector<Value>> readValues(Reader& r, Side receiver, FdQueue& fds) {
  std::uint8_t count = 0;
  if (!r.get(count)) return malformed("truncated");
  if (count > kMaxValues) return malformed("too many values");
  std::vector<Value> values;
  values.reserve(count);
  for (std::uint8_t i = 0; i < count; ++i) {
    auto v = readValue(r, receiver, fds);
    if (!v) return v.error();
    values.push_back(std::move(*v));
  }
  return values;
}

bool isSelectorChar(char c) {
  return c > 0x20 && c < 0x7f;
}

}  // namespace

std::uint32_t maxBody(Side receiver) {
  return receiver == Side::kDaemon ? kMaxRequestBody : kMaxReplyBody;
}

Status appendRequest(std::string& out, const Request& request, std::vector<int>& fds) {
  if (request.selector.empty() || request.selector.size() > kMaxSelectorBytes) {
    return Error{0, "selector length out of range"};
  }
  if (auto st = checkValues(request.args); !st) return st;
  const std::size_t fdMark = fds.size();
  const std::size_t start = beginFrame(out, FrameType::kRequest);
  putLe<std::uint64_t>(out, request.id);
  putLe<std::uint16_t>(out, static_cast<std::uint16_t>(request.selector.size()));
  out.append(request.selector);
  putValues(out, request.args, fds);
  Status st = endFrame(out, start, kMaxRequestBody);
  if (!st) fds.resize(fdMark);
  return st;
}

Status appendReply(std::string& out, std::uint64_t id, const std::vector<Value>& values,
                   std::vector<int>& fds) {
  if (auto st = checkValues(values); !st) return st;
  const std::size_t fdMark = fds.size();
  const std::size_t start = beginFrame(out, FrameType::kReply);
  putLe<std::uint64_t>(out, id);
  putValues(out, values, fds);
  Status st = endFrame(out, start, kMaxReplyBody);
  if (!st) fds.resize(fdMark);
  return st;
}

void appendError(std::string& out, std::uint64_t id, std::string_view reason) {
  if (reason.size() > kMaxReasonBytes) reason = reason.substr(0, kMaxReasonBytes);
  // Cut back to a whole character so the client can always show it.
  while (!reason.empty() && !isValidUtf8(reason)) reason.remove_suffix(1);
  const std::size_t start = beginFrame(out, FrameType::kError);
  putLe<std::uint64_t>(out, id);
  putLe<std::uint32_t>(out, static_cast<std::uint32_t>(reason.size()));
  out.append(reason);
  (void)endFrame(out, start, kMaxRequestBody);
}

void appendHello(std::string& out) {
  const std::size_t start = beginFrame(out, FrameType::kHello);
  putLe<std::uint32_t>(out, kProtocolVersion);
  (void)endFrame(out, start, kMaxRequestBody);
}

void appendIntroduce(std::string& out) {
  const std::size_t start = beginFrame(out, FrameType::kIntroduce);
  (void)endFrame(out, start, kMaxRequestBody);
}

Result<std::size_t> frameSize(std::span<const char> data, std::uint32_t limit) {
  if (data.size() < kHeaderBytes) return std::size_t{0};
  std::uint32_t body = 0;
  for (std::size_t i = 0; i < kHeaderBytes; ++i) {
    body |= static_cast<std::uint32_t>(static_cast<std::uint8_t>(data[i])) << (8 * i);
  }
  if (body == 0) return malformed("empty frame");
  if (body > limit) return malformed("frame larger than " + std::to_string(limit) + " bytes");
  return kHeaderBytes + body;
}

Result<Frame> decodeBody(std::span<const char> body, Side receiver, FdQueue& fds) {
  Reader r(body);
  std::uint8_t type = 0;
  if (!r.get(type)) return malformed("empty frame");
  Frame frame;
  switch (static_cast<FrameType>(type)) {
    case FrameType::kRequest: {
      if (receiver != Side::kDaemon) return malformed("request sent to a client");
      Request req;
      std::uint16_t selLen = 0;
      if (!r.get(req.id) || !r.get(selLen) || !r.bytes(selLen, req.selector)) {
        return malformed("truncated request header");
      }
      if (req.selector.empty() || req.selector.size() > kMaxSelectorBytes) {
        return malformed("selector length out of range");
      }
      for (char c : req.selector) {
        if (!isSelectorChar(c)) return malformed("selector is not printable ASCII");
      }
      auto args = readValues(r, receiver, fds);
      if (!args) return args.error();
      req.args = std::move(*args);
      frame = std::move(req);
      break;
    }
    case FrameType::kReply: {
      if (receiver != Side::kClient) return malformed("reply sent to the daemon");
      Reply reply;
      if (!r.get(reply.id)) return malformed("truncated reply header");
      auto values = readValues(r, receiver, fds);
      if (!values) return values.error();
      reply.values = std::move(*values);
      frame = std::move(reply);
      break;
    }
    case FrameType::kError: {
      if (receiver != Side::kClient) return malformed("error sent to the daemon");
      ErrorFrame e;
      std::uint32_t len = 0;
      if (!r.get(e.id) || !r.get(len) || len > kMaxReasonBytes || !r.bytes(len, e.reason)) {
        return malformed("truncated error");
      }
      if (!isValidUtf8(e.reason)) return malformed("reason is not UTF-8");
      frame = std::move(e);
      break;
    }
    case FrameType::kIntroduce: {
      if (receiver != Side::kDaemon) return malformed("introduction sent to a client");
      frame = Introduce{};
      break;
    }
    case FrameType::kHello: {
      if (receiver != Side::kClient) return malformed("hello sent to the daemon");
      Hello h;
      if (!r.get(h.version)) return malformed("truncated hello");
      frame = h;
      break;
    }
    default:
      return malformed("unknown frame type");
  }
  if (!r.atEnd()) return malformed("trailing bytes");
  return frame;
}

Result<std::optional<Frame>> FrameAssembler::next(FdQueue& fds) {
  std::span<const char> rest(buffer_.data() + consumed_, buffer_.size() - consumed_);
  auto size = frameSize(rest, maxBody(receiver_));
  if (!size) return size.error();
  if (*size == 0 || rest.size() < *size) {
    // Keep only the unread tail, so the buffer never grows beyond one frame.
    if (consumed_ > 0) {
      buffer_.erase(0, consumed_);
      consumed_ = 0;
    }
    return std::optional<Frame>{};
  }
  auto frame = decodeBody(rest.subspan(kHeaderBytes, *size - kHeaderBytes), receiver_, fds);
  if (!frame) return frame.error();
  consumed_ += *size;
  if (consumed_ == buffer_.size()) {
    // A buffer that grew for a large frame is given back: idle connections hold next to nothing.
    if (buffer_.capacity() > kKeptBufferBytes) {
      std::string().swap(buffer_);
    } else {
      buffer_.clear();
    }
    consumed_ = 0;
  }
  return std::optional<Frame>(std::move(*frame));
}

}  // namespace tamsel::ipc::wire
