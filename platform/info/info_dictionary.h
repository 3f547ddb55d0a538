// The executable's information dictionary: a property list embedded in the binary at build time.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace tamsel {

class InfoDictionary {
 public:
  // Parses a property list (XML or binary). Absent unless its root is a dictionary.
  static std::optional<InfoDictionary> fromPlist(std::string_view bytes);

  // The dictionary embedded in the running executable, parsed once. Absent when the executable
  // carries none.
  static const std::optional<InfoDictionary>& ofMainExecutable();

  // The value under key when it is a string; absent when missing or of another type.
  std::optional<std::string> stringValue(std::string_view key) const;

 private:
  explicit InfoDictionary(std::shared_ptr<void> plist) : plist_(std::move(plist)) {}
  std::shared_ptr<void> plist_;  // plist_t, freed with plist_free
};

}  // namespace tamsel
