#include "tools/security/trust_store.h"

#include <filesystem>
#include <map>
#include <optional>

#include "host/subprocess.h"
#include "platform/files.h"
#include "tools/security/certificate_file.h"

namespace tamsel::security {
namespace {

namespace fs = std::filesystem;

std::optional<fs::file_time_type> modified(const fs::path& path) {
  std::error_code ec;
  const auto time = fs::last_write_time(path, ec);
  if (ec) return std::nullopt;
  return time;
}

// Runs update-ca-certificates. It rebuilds the bundle only when at least one certificate is
// left to put in it; when none is, the old bundle (still holding what was just taken out) stays,
// so it is emptied here.
Status updateSystemTrust(bool removedAny) {
  const auto before = modified(kTrustBundle);
  const HelperSubprocess::RunResult run = HelperSubprocess::run(std::string(kUpdateTrustTool), {});
  if (!run)
    return Error{run.error().code,
                 "cannot update the system trust store: " + run.error().description};
  if (run->status != 0) {
    return Error{0, "update-ca-certificates failed (exit " + std::to_string(run->status) +
                        "): " + run->stderr};
  }
  if (removedAny && before && modified(kTrustBundle) == before) {
    return atomicWriteFile(std::string(kTrustBundle), "");
  }
  return Status::success();
}

}  // namespace

Status mirrorTrustSettings(const std::vector<StoredCertificate>& certificates) {
  // File name -> certificate, for the trusted certificates whose file is not there yet.
  std::map<std::string, const StoredCertificate*> missing;
  for (const StoredCertificate& c : certificates) {
    if (c.trusted) missing[c.sha256 + ".crt"] = &c;
  }
  const fs::path directory(kTrustDirectory);
  std::error_code ec;
  std::vector<fs::path> unwanted;
  if (fs::is_directory(directory, ec)) {
    fs::directory_iterator it(directory, ec);
    for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
      const fs::path& path = it->path();
      if (path.extension() == ".crt" && missing.erase(path.filename().string()) == 0)
        unwanted.push_back(path);
    }
    if (ec) return Error{ec.value(), directory.string() + ": " + ec.message()};
  }
  for (const fs::path& path : unwanted) {
    if (Status s = removeItem(path.string()); !s) return s;
  }
  const bool removedAny = !unwanted.empty();
  bool changed = removedAny;
  if (!missing.empty()) {
    if (Status s = createDirectories(directory.string()); !s) return s;
    fs::permissions(directory, fs::perms(0755), ec);
  }
  for (const auto& [name, certificate] : missing) {
    const fs::path file = directory / name;
    if (Status s = atomicWriteFile(file.string(), pemFromDER(certificate->der)); !s) return s;
    // Readable by every TLS client, whatever the umask.
    fs::permissions(file, fs::perms(0644), ec);
    changed = true;
  }
  return changed ? updateSystemTrust(removedAny) : Status::success();
}

}  // namespace tamsel::security
