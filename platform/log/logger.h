// The structured log handle. Format strings are the os_log kind the operations are written
// with: "%{public}s" values appear as they are, values without "public" as "<private>"
// (integers are never private). Every entry lands in the platform's log store and is echoed to
// standard error with a syslog priority prefix.
#pragma once

#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>

namespace tamsel::log {

// The platform's level numbers, as stored and as read back. 0 only ever appears when reading.
enum class Level : int {
  kUndefined = 0,
  kDebug = 1,
  kInfo = 2,
  kNotice = 3,
  kError = 4,
  kFault = 5
};

struct Entry {
  std::chrono::system_clock::time_point time;  // full precision as the clock gives it
  Level level = Level::kInfo;
  std::string subsystem;
  std::string category;
  std::string message;  // composed
};

// Where entries go. Implementations are thread-safe.
class Sink {
 public:
  virtual ~Sink() = default;
  virtual void write(const Entry& entry) = 0;
};

// The process's sink, used by every Logger built without one. Until set, entries go to
// standard error only. The daemon sets it once at start, before any Logger writes.
void setDefaultSink(std::shared_ptr<Sink> sink);
std::shared_ptr<Sink> defaultSink();

// One argument of a format string.
using Arg = std::variant<std::string_view, std::int64_t, std::uint64_t, double>;

template <typename T>
Arg toArg(const T& value) {
  if constexpr (std::is_convertible_v<const T&, std::string_view>) {
    return std::string_view(value);
  } else if constexpr (std::is_floating_point_v<T>) {
    return static_cast<double>(value);
  } else if constexpr (std::is_signed_v<T>) {
    return static_cast<std::int64_t>(value);
  } else {
    static_assert(std::is_unsigned_v<T>, "log arguments are strings, integers or floats");
    return static_cast<std::uint64_t>(value);
  }
}

// Composes an os_log format with its arguments. Missing arguments compose as "<missing>", a
// conversion that does not match its argument's kind still prints the argument.
std::string compose(std::string_view format, std::initializer_list<Arg> args);

class Logger {
 public:
  Logger(std::string subsystem, std::string category);
  Logger(std::string subsystem, std::string category, std::shared_ptr<Sink> sink);

  void log(Level level, std::string_view format, std::initializer_list<Arg> args) const;

  template <typename... A>
  void debug(std::string_view f, const A&... a) const {
    log(Level::kDebug, f, {toArg(a)...});
  }
  template <typename... A>
  void info(std::string_view f, const A&... a) const {
    log(Level::kInfo, f, {toArg(a)...});
  }
  template <typename... A>
  void notice(std::string_view f, const A&... a) const {
    log(Level::kNotice, f, {toArg(a)...});
  }
  template <typename... A>
  void error(std::string_view f, const A&... a) const {
    log(Level::kError, f, {toArg(a)...});
  }
  template <typename... A>
  void fault(std::string_view f, const A&... a) const {
    log(Level::kFault, f, {toArg(a)...});
  }

  const std::string& subsystem() const { return subsystem_; }
  const std::string& category() const { return category_; }

 private:
  std::string subsystem_;
  std::string category_;
  std::shared_ptr<Sink> sink_;  // null: the process's default sink at the time of writing
};

}  // namespace tamsel::log
