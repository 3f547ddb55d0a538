// tamsel-helperctl doctor: read-only checks of what the helper has made and relies on, as any
// user. Each check turns facts into one finding; doctor() gathers the facts from the machine.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "client/helperctl_report.h"
#include "platform/file_facts.h"
#include "platform/files.h"
#include "platform/machine_state.h"
#include "platform/result.h"

namespace tamsel::client::helperctl {

// Fixed paths the checks look at.
inline constexpr char kResolverDir[] = "/etc/resolver";
inline constexpr char kKeychainTool[] = "/usr/bin/security";
inline constexpr char kSystemKeychain[] = "/Library/Keychains/System.keychain";
inline constexpr char kRootCARelativePath[] = "caddy/root-ca.crt";
inline constexpr char kCLIPayload[] = "/Applications/Tamsel.app/Contents/Resources/bin/tamsel";
inline constexpr char kInstalledCLI[] = "/Library/Application Support/Tamsel/bin/tamsel";
inline constexpr char kCLILink[] = "/usr/local/bin/tamsel";

// Free, or held only by processes of the calling user (the application's own server): ok.
Finding portFinding(std::uint16_t port, const Result<std::vector<TcpListener>>& listeners,
                    std::uint32_t callingUid);

// A file whose first line is the helper's own comment for that label is the helper's.
Finding resolverFinding(const std::string& name, const Result<std::string>& content);

// The user's root CA, given the SHA-256 fingerprints of the file's certificate and of the
// keychain's certificates (absent when the keychain could not be listed; keychainError says why).
struct RootCAFacts {
  std::string path;
  FileFacts file;
  Result<std::string> fingerprint = Error{};
  bool toolInstalled = false;
  std::optional<std::vector<std::string>> keychain;
  std::string keychainError;
};
Finding rootCAFinding(const RootCAFacts& facts);

// The installed command-line tool against the application's payload, and its link.
Finding cliFinding(const FileFacts& payload, const FileFacts& installed,
                   const Result<bool>& sameAsPayload);
Finding cliLinkFinding(const FileFacts& installed, const LinkLookup& link);

// The code-signing root: present, readable, a certificate, safe from other users; and whether
// this program's own signature is admitted under it (checkStatus 0).
Finding anchorFinding(const FileFacts& anchor, bool loads, std::int32_t checkStatus);

// SHA-256 (lower-case hex) of every certificate in PEM text, or of one DER certificate.
std::vector<std::string> certificateFingerprints(std::string_view bytes);

// Every check, on this machine, for the calling user.
std::vector<Finding> doctor();

}  // namespace tamsel::client::helperctl
