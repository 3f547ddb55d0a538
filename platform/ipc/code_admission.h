// The verdict on a peer's code: does the executable it runs satisfy the connection requirement?
// Verdicts are cached by executable identity, so a warm peer costs no hashing.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "platform/ipc/peer_identity.h"
#include "platform/unique_fd.h"

namespace tamsel::codesign {
class Requirement;
}

namespace tamsel::ipc {

class CodeAdmission {
 public:
  // anchorPath empty: the platform's code-signing root.
  explicit CodeAdmission(std::string anchorPath);

  // Until a requirement compiles, every peer is refused.
  void setRequirement(std::string_view text);
  // Tests only: admit any peer whose identity could be established.
  void admitAnyIdentifiedPeerForTesting() { admitAny_ = true; }

  // The cached verdict on the executable, if any.
  std::optional<bool> cachedVerdict(const ExecutableKey& key) const;
  // Checks the signature of the executable the process runs (or waits for a check of the same
  // file already running) and caches the verdict unless the file changed while it was read.
  bool verify(const PeerProcess& process);
  // cachedVerdict, else verify.
  bool admits(const PeerProcess& process);

  std::size_t verificationsRun() const;

 private:
  bool check(const PeerProcess& process);

  const std::string anchorPath_;
  bool admitAny_ = false;
  mutable std::mutex mutex_;
  std::condition_variable done_;
  std::shared_ptr<const codesign::Requirement> requirement_;
  std::unordered_map<ExecutableKey, bool, ExecutableKeyHash> verdicts_;
  std::unordered_set<ExecutableKey, ExecutableKeyHash> inFlight_;
  std::size_t verifications_ = 0;
};

}  // namespace tamsel::ipc
