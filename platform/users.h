// The system user database.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace tamsel {

// One answer of the re-entrant lookup of a user id.
struct UserDatabaseAnswer {
  int error = 0;                    // 0, or the lookup's error (ERANGE: the buffer was too small)
  std::optional<std::string> home;  // the home field's raw bytes; absent when there is no such user
  std::uint32_t gid = 0;            // the primary group id
};

// Looks uid up with a lookup buffer of bufferSize bytes.
UserDatabaseAnswer lookUpUser(std::uint32_t uid, std::size_t bufferSize);

// The buffer size the database suggests, or a value below 1 when it suggests none.
long suggestedUserBufferSize();

}  // namespace tamsel
