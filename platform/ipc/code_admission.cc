#include "platform/ipc/code_admission.h"

#include <fcntl.h>

#include "platform/codesign/code_signing.h"

namespace tamsel::ipc {

CodeAdmission::CodeAdmission(std::string anchorPath) : anchorPath_(std::move(anchorPath)) {}

void CodeAdmission::setRequirement(std::string_view text) {
  std::shared_ptr<const codesign::Requirement> compiled;
  if (codesign::requirementCreateWithString(text, compiled) != codesign::errSecSuccess) {
    compiled.reset();
  }
  std::lock_guard lock(mutex_);
  requirement_ = std::move(compiled);
  users_.clear();
}

std::optional<bool> CodeAdmission::cachedVerdict(std::uint32_t uid, const ExecutableKey& key) {
  if (admitAny_) return true;
  if (checkInstead_) return std::nullopt;
  std::lock_guard lock(mutex_);
  auto user = users_.find(uid);
  if (user == users_.end()) return std::nullopt;
  auto it = user->second.byKey.find(key);
  if (it == user->second.byKey.end()) return std::nullopt;
  auto& recent = user->second.recent;
  recent.splice(recent.begin(), recent, it->second.second);
  return it->second.first;
}

void CodeAdmission::rememberLocked(std::uint32_t uid, const ExecutableKey& key, bool verdict) {
  UserVerdicts& user = users_[uid];
  if (auto it = user.byKey.find(key); it != user.byKey.end()) {
    it->second.first = verdict;
    return;
  }
  if (user.byKey.size() >= kMaxVerdictsPerUser) {
    user.byKey.erase(user.recent.back());
    user.recent.pop_back();
  }
  user.recent.push_front(key);
  user.byKey.emplace(key, std::make_pair(verdict, user.recent.begin()));
}

bool CodeAdmission::verify(const PeerProcess& process) {
  if (admitAny_) return true;
  if (checkInstead_) return checkInstead_();
  const ExecutableKey& key = process.exe;
  std::shared_ptr<Check> mine;
  {
    // One check per file at a time: later askers wait for its verdict instead of hashing again.
    std::unique_lock lock(mutex_);
    if (auto it = running_.find(key); it != running_.end()) {
      std::shared_ptr<Check> theirs = it->second;
      done_.wait(lock, [&] { return theirs->done; });
      if (!theirs->verdict) return false;
      rememberLocked(process.euid, key, *theirs->verdict);
      return *theirs->verdict;
    }
    mine = std::make_shared<Check>();
    running_.emplace(key, mine);
    ++verifications_;
  }
  const std::optional<bool> verdict = check(process);
  std::lock_guard lock(mutex_);
  mine->verdict = verdict;
  mine->done = true;
  running_.erase(key);
  if (verdict) rememberLocked(process.euid, key, *verdict);
  done_.notify_all();
  return verdict.value_or(false);
}

std::size_t CodeAdmission::verificationsRun() const {
  std::lock_guard lock(mutex_);
  return verifications_;
}

// The verdict, or nothing when it proves nothing lasting (no requirement or root yet, the file
// gone or changed while it was read).
std::optional<bool> CodeAdmission::check(const PeerProcess& process) {
  std::shared_ptr<const codesign::Requirement> requirement;
  {
    std::lock_guard lock(mutex_);
    requirement = requirement_;
  }
  if (!requirement) return std::nullopt;
  auto anchor =
      anchorPath_.empty() ? codesign::platformAnchor() : codesign::anchorFromPemFile(anchorPath_);
  // Without a root nothing can pass, but a root installed later must be able to.
  if (!anchor) return std::nullopt;

  // The very file the process runs; nothing if it has exec'd another since it was identified.
  UniqueFd exe = openIdentifiedExecutable(process);
  if (!exe) return std::nullopt;
  std::shared_ptr<const codesign::StaticCode> code;
  UniqueFd dup(::fcntl(exe.get(), F_DUPFD_CLOEXEC, 0));
  if (!dup) return std::nullopt;
  if (codesign::staticCodeCreateWithFd(std::move(dup), code) != codesign::errSecSuccess) {
    return std::nullopt;
  }
  const bool ok = codesign::staticCodeCheckValidity(*code, *requirement, anchor.get()) ==
                  codesign::errSecSuccess;
  // A file rewritten while it was hashed proves nothing either way.
  if (!isExecutable(exe.get(), process.exe)) return std::nullopt;
  return ok;
}

}  // namespace tamsel::ipc
