// The verdict on a peer's code: does the executable it runs satisfy the connection requirement?
// Verdicts are cached per user and executable, so a warm peer costs no hashing, and no user's
// churn can push out another user's verdicts.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "platform/ipc/peer_identity.h"
#include "platform/unique_fd.h"

namespace tamsel::codesign {
class Requirement;
}

namespace tamsel::ipc {

// Verdicts kept per user; past this, the user's least recently used one goes.
inline constexpr std::size_t kMaxVerdictsPerUser = 1024;

class CodeAdmission {
 public:
  // anchorPath empty: the platform's code-signing root.
  explicit CodeAdmission(std::string anchorPath);

  // Until a requirement compiles, every peer is refused.
  void setRequirement(std::string_view text);

  // The verdict cached for this user on this executable, if any.
  std::optional<bool> cachedVerdict(std::uint32_t uid, const ExecutableKey& key);
  // Checks the signature of the executable the process runs (or waits for a check of the same
  // file already running) and caches the verdict for the process's user, unless the file changed
  // while it was read.
  bool verify(const PeerProcess& process);

  std::size_t verificationsRun() const;

 private:
  friend struct ListenerTesting;
  struct UserVerdicts {
    std::list<ExecutableKey> recent;  // most recently used first
    std::unordered_map<ExecutableKey, std::pair<bool, std::list<ExecutableKey>::iterator>,
                       ExecutableKeyHash>
        byKey;
  };
  // A check running; others asking about the same file wait for it.
  struct Check {
    bool done = false;
    std::optional<bool> verdict;  // set when it may be cached
  };

  std::optional<bool> check(const PeerProcess& process);
  void rememberLocked(std::uint32_t uid, const ExecutableKey& key, bool verdict);

  const std::string anchorPath_;
  // Tests only, through ListenerTesting: admit every peer at once, or check every peer afresh
  // with this instead of its signature.
  bool admitAny_ = false;
  std::function<bool()> checkInstead_;
  mutable std::mutex mutex_;
  std::condition_variable done_;
  std::shared_ptr<const codesign::Requirement> requirement_;
  std::unordered_map<std::uint32_t, UserVerdicts> users_;
  std::unordered_map<ExecutableKey, std::shared_ptr<Check>, ExecutableKeyHash> running_;
  std::size_t verifications_ = 0;
};

}  // namespace tamsel::ipc
