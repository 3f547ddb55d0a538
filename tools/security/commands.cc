#include "tools/security/commands.h"

#include <functional>

#include "tools/security/certificate_file.h"
#include "tools/security/keychain.h"
#include "tools/security/trust_store.h"

namespace tamsel::security {
namespace {

Status mirrorFromKeychain(Keychain& keychain) {
  Result<std::vector<StoredCertificate>> all = keychain.certificates();
  if (!all) return all.error();
  return mirrorTrustSettings(*all);
}

// Runs change in one transaction. The System keychain's trust settings are mirrored before the
// transaction ends, so runs that change them one after another also update the system one
// after another. When the change fails after mirroring, the mirror is brought back to what the
// keychain still holds.
Status changeKeychain(Keychain& keychain, const std::function<Status()>& change) {
  bool mirrored = false;
  Status status = keychain.transaction([&]() -> Status {
    if (Status s = change(); !s) return s;
    if (!keychain.isSystemKeychain()) return Status::success();
    mirrored = true;
    return mirrorFromKeychain(keychain);
  });
  if (!status && mirrored) {
    (void)keychain.transaction([&] { return mirrorFromKeychain(keychain); });
  }
  return status;
}

Result<std::vector<CertificateFile>> readAll(const std::vector<std::string>& files) {
  std::vector<CertificateFile> out;
  for (const std::string& file : files) {
    Result<CertificateFile> read = readCertificateFile(file);
    if (!read) return read.error();
    out.push_back(std::move(*read));
  }
  return out;
}

}  // namespace

Result<std::string> findCertificates(const std::string& keychain) {
  Result<Keychain> opened = Keychain::open(keychain, false);
  if (!opened) return opened.error();
  Result<std::vector<StoredCertificate>> all = opened->certificates();
  if (!all) return all.error();
  std::string out;
  for (const StoredCertificate& c : *all) out += pemFromDER(c.der);
  return out;
}

Status deleteCertificate(const std::string& keychain, const std::string& sha1) {
  Result<Keychain> opened = Keychain::open(keychain, false);
  if (!opened) return opened.error();
  const Error none{0, "no certificate with SHA-1 " + sha1 + " in " + keychain};
  if (!opened->exists()) return none;
  return changeKeychain(*opened, [&]() -> Status {
    Result<int> deleted = opened->removeBySha1(sha1);
    if (!deleted) return deleted.error();
    return *deleted > 0 ? Status::success() : Status(none);
  });
}

Status addCertificates(const std::string& keychain, const std::vector<std::string>& files) {
  Result<std::vector<CertificateFile>> read = readAll(files);
  if (!read) return read.error();
  Result<Keychain> opened = Keychain::open(keychain, true);
  if (!opened) return opened.error();
  return changeKeychain(*opened, [&]() -> Status {
    for (std::size_t i = 0; i < read->size(); ++i) {
      const CertificateFile& file = (*read)[i];
      Result<bool> present = opened->contains(file.certificate.sha256);
      if (!present) return present.error();
      if (*present) return Error{0, files[i] + ": the certificate is already in " + keychain};
      if (Status s = opened->add(file.certificate, file.subject); !s) return s;
    }
    return Status::success();
  });
}

Status addTrustedCertificate(const std::string& keychain, const std::string& file) {
  Result<CertificateFile> read = readCertificateFile(file);
  if (!read) return read.error();
  Result<Keychain> opened = Keychain::open(keychain, true);
  if (!opened) return opened.error();
  return changeKeychain(*opened, [&]() -> Status {
    Result<bool> present = opened->contains(read->certificate.sha256);
    if (!present) return present.error();
    if (!*present) {
      if (Status s = opened->add(read->certificate, read->subject); !s) return s;
    }
    return opened->setTrusted(read->certificate.sha256);
  });
}

Status removeTrustedCertificate(const std::string& keychain, const std::string& file) {
  Result<CertificateFile> read = readCertificateFile(file);
  if (!read) return read.error();
  Result<Keychain> opened = Keychain::open(keychain, false);
  if (!opened) return opened.error();
  const Error none{0, file + ": the certificate has no trust setting in " + keychain};
  if (!opened->exists()) return none;
  return changeKeychain(*opened, [&]() -> Status {
    Result<bool> cleared = opened->clearTrusted(read->certificate.sha256);
    if (!cleared) return cleared.error();
    return *cleared ? Status::success() : Status(none);
  });
}

}  // namespace tamsel::security
