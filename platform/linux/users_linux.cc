#include <pwd.h>
#include <unistd.h>

#include <vector>

#include "platform/users.h"

namespace tamsel {

UserDatabaseAnswer lookUpUser(std::uint32_t uid, std::size_t bufferSize) {
  std::vector<char> buffer(bufferSize);  // zero-filled
  passwd entry{};
  passwd* found = nullptr;
  const int rc =
      ::getpwuid_r(static_cast<uid_t>(uid), &entry, buffer.data(), buffer.size(), &found);
  if (rc != 0) return {rc, std::nullopt, 0};
  if (found == nullptr || found->pw_dir == nullptr) return {};
  return {0, std::string(found->pw_dir), static_cast<std::uint32_t>(found->pw_gid)};
}

long suggestedUserBufferSize() {
  return ::sysconf(_SC_GETPW_R_SIZE_MAX);
}

}  // namespace tamsel
