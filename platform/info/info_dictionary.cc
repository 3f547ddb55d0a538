#include "platform/info/info_dictionary.h"

#include <plist/plist.h>

#include <cstdint>
#include <string>

// Bounds of the section the build embeds Info.plist in; null in executables without it.
extern "C" {
extern const char __start_tamsel_info_plist[] __attribute__((weak));
extern const char __stop_tamsel_info_plist[] __attribute__((weak));
}

namespace tamsel {

std::optional<InfoDictionary> InfoDictionary::fromPlist(std::string_view bytes) {
  if (bytes.empty() || bytes.size() > UINT32_MAX) return std::nullopt;
  plist_t root = nullptr;
  plist_from_memory(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
  if (root == nullptr) return std::nullopt;
  std::shared_ptr<void> owned(root, [](void* p) { plist_free(static_cast<plist_t>(p)); });
  if (plist_get_node_type(root) != PLIST_DICT) return std::nullopt;
  return InfoDictionary(std::move(owned));
}

const std::optional<InfoDictionary>& InfoDictionary::ofMainExecutable() {
  static const std::optional<InfoDictionary> embedded = []() -> std::optional<InfoDictionary> {
    if (__start_tamsel_info_plist == nullptr || __stop_tamsel_info_plist == nullptr) {
      return std::nullopt;
    }
    return fromPlist(std::string_view(
        __start_tamsel_info_plist,
        static_cast<std::size_t>(__stop_tamsel_info_plist - __start_tamsel_info_plist)));
  }();
  return embedded;
}

std::optional<std::string> InfoDictionary::stringValue(std::string_view key) const {
  const std::string k(key);
  plist_t node = plist_dict_get_item(static_cast<plist_t>(plist_.get()), k.c_str());
  if (node == nullptr || plist_get_node_type(node) != PLIST_STRING) return std::nullopt;
  uint64_t length = 0;
  const char* value = plist_get_string_ptr(node, &length);
  if (value == nullptr) return std::nullopt;
  return std::string(value, length);
}

}  // namespace tamsel
