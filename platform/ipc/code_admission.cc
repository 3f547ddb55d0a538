#include "platform/ipc/code_admission.h"

#include <fcntl.h>
#include <sys/stat.h>

#include "platform/codesign/code_signing.h"

namespace tamsel::ipc {
namespace {

// Beyond this many distinct executables the cache starts over: a bound, not an LRU.
constexpr std::size_t kMaxCachedVerdicts = 4096;

}  // namespace

CodeAdmission::CodeAdmission(std::string anchorPath) : anchorPath_(std::move(anchorPath)) {}

void CodeAdmission::setRequirement(std::string_view text) {
  std::shared_ptr<const codesign::Requirement> compiled;
  if (codesign::requirementCreateWithString(text, compiled) != codesign::errSecSuccess) {
    compiled.reset();
  }
  std::lock_guard lock(mutex_);
  requirement_ = std::move(compiled);
  verdicts_.clear();
}

std::optional<bool> CodeAdmission::cachedVerdict(const ExecutableKey& key) const {
  if (admitAny_) return true;
  std::lock_guard lock(mutex_);
  auto it = verdicts_.find(key);
  if (it == verdicts_.end()) return std::nullopt;
  return it->second;
}

bool CodeAdmission::admits(const PeerProcess& process) {
  if (auto v = cachedVerdict(process.exe)) return *v;
  return verify(process);
}

bool CodeAdmission::verify(const PeerProcess& process) {
  if (admitAny_) return true;
  const ExecutableKey& key = process.exe;
  {
    // One check per file at a time: later askers wait for its verdict instead of hashing again.
    std::unique_lock lock(mutex_);
    done_.wait(lock, [&] { return !inFlight_.contains(key); });
    if (auto it = verdicts_.find(key); it != verdicts_.end()) return it->second;
    inFlight_.insert(key);
    ++verifications_;
  }
  const bool ok = check(process);
  std::lock_guard lock(mutex_);
  inFlight_.erase(key);
  done_.notify_all();
  return ok;
}

std::size_t CodeAdmission::verificationsRun() const {
  std::lock_guard lock(mutex_);
  return verifications_;
}

bool CodeAdmission::check(const PeerProcess& process) {
  const ExecutableKey& key = process.exe;
  std::shared_ptr<const codesign::Requirement> requirement;
  {
    std::lock_guard lock(mutex_);
    requirement = requirement_;
  }
  if (!requirement) return false;
  auto anchor =
      anchorPath_.empty() ? codesign::platformAnchor() : codesign::anchorFromPemFile(anchorPath_);
  // Without a root nothing can pass, but a root installed later must be able to: no caching.
  if (!anchor) return false;

  // The very file the process runs; nothing if it has exec'd another since it was identified.
  UniqueFd exe = openIdentifiedExecutable(process);
  if (!exe) return false;
  std::shared_ptr<const codesign::StaticCode> code;
  UniqueFd dup(::fcntl(exe.get(), F_DUPFD_CLOEXEC, 0));
  if (!dup) return false;
  if (codesign::staticCodeCreateWithFd(std::move(dup), code) != codesign::errSecSuccess) {
    return false;
  }
  const bool ok = codesign::staticCodeCheckValidity(*code, *requirement, anchor.get()) ==
                  codesign::errSecSuccess;

  // A file rewritten while it was hashed proves nothing either way.
  struct stat st {};
  if (::fstat(exe.get(), &st) != 0) return false;
  const ExecutableKey after{static_cast<std::uint64_t>(st.st_dev),
                            static_cast<std::uint64_t>(st.st_ino),
                            static_cast<std::int64_t>(st.st_size),
                            st.st_ctim.tv_sec,
                            st.st_ctim.tv_nsec,
                            st.st_mtim.tv_sec,
                            st.st_mtim.tv_nsec};
  if (!(after == key)) return false;

  std::lock_guard lock(mutex_);
  if (verdicts_.size() >= kMaxCachedVerdicts) verdicts_.clear();
  verdicts_[key] = ok;
  return ok;
}

}  // namespace tamsel::ipc
