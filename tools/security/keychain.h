// A keychain file: an SQLite database of certificates (DER, both fingerprints, subject, in the
// order they were added) and their administrator trust settings. Every change runs in one
// write transaction taken up front (BEGIN IMMEDIATE), and a busy connection waits, so any
// number of concurrent runs serialise their changes and none is lost.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/result.h"

struct sqlite3;

namespace tamsel::security {

inline constexpr std::string_view kSystemKeychain = "/Library/Keychains/System.keychain";

struct StoredCertificate {
  std::string der;
  std::string sha1;      // 40 upper-case hexadecimal digits
  std::string sha256;    // 64 lower-case hexadecimal digits
  bool trusted = false;  // has an administrator trust setting (trust as a root)
};

class Keychain {
 public:
  // Opens the keychain at path. A missing file reads as an empty keychain; with create it is
  // made instead, with any missing directories. A file that is not a keychain is an error.
  static Result<Keychain> open(const std::string& path, bool create);

  Keychain(Keychain&&) noexcept;
  Keychain& operator=(Keychain&&) noexcept;
  ~Keychain();

  const std::string& path() const { return path_; }
  // False for a missing file opened without create: it holds nothing and cannot change.
  bool exists() const { return db_ != nullptr; }
  // True when this is the System keychain, whose trust settings reach the system.
  bool isSystemKeychain() const { return isSystem_; }

  Result<std::vector<StoredCertificate>> certificates();  // in the order they were added

  // Runs change inside one write transaction: all of its effects or none.
  Status transaction(const std::function<Status()>& change);

  // Within a transaction.
  Result<bool> contains(std::string_view sha256);
  Status add(const StoredCertificate& certificate, std::string_view subject);
  Result<int> removeBySha1(std::string_view sha1);  // how many certificates went
  Status setTrusted(std::string_view sha256);
  Result<bool> clearTrusted(std::string_view sha256);  // false: it had no trust setting

 private:
  struct Close {
    void operator()(sqlite3* db) const;
  };
  Keychain(std::string path, sqlite3* db, bool isSystem);
  Status execute(std::string_view sql, const std::vector<std::string_view>& texts,
                 int* changes = nullptr);
  Error failure(int rc, std::string_view what) const;

  std::string path_;
  std::unique_ptr<sqlite3, Close> db_;
  bool isSystem_ = false;
};

}  // namespace tamsel::security
