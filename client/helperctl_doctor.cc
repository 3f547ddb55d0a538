#include "client/helperctl_doctor.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <memory>

#include "platform/codesign/code_signing.h"
#include "platform/files.h"
#include "platform/identity.h"
#include "platform/pipe_reader.h"
#include "platform/process.h"
#include "platform/users.h"
#include "resolver/resolver_files.h"
#include "service/code_signing_requirement.h"

namespace tamsel::client::helperctl {
namespace {

constexpr std::size_t kCertificateFileLimit = 1024 * 1024;
constexpr std::size_t kResolverFileLimit = 64 * 1024;
constexpr std::uint16_t kWebPorts[] = {80, 443};

Finding ok(std::string check, std::string detail) {
  return {std::move(check), Verdict::kOk, std::move(detail)};
}
Finding info(std::string check, std::string detail) {
  return {std::move(check), Verdict::kInfo, std::move(detail)};
}
Finding problem(std::string check, std::string detail) {
  return {std::move(check), Verdict::kProblem, std::move(detail)};
}

std::string firstLine(std::string_view text) {
  return std::string(text.substr(0, text.find('\n')));
}

std::string holderText(const ProcessName& p) {
  return p.name + " (pid " + std::to_string(p.pid) + ", uid " + std::to_string(p.uid) + ")";
}

std::string fingerprintOf(X509* cert) {
  unsigned char* der = nullptr;
  const int len = i2d_X509(cert, &der);
  if (len <= 0) return {};
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  const bool hashed =
      EVP_Digest(der, static_cast<std::size_t>(len), digest, &n, EVP_sha256(), nullptr) == 1;
  OPENSSL_free(der);
  if (!hashed) return {};
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  for (unsigned int i = 0; i < n; ++i) {
    hex += kHex[digest[i] >> 4];
    hex += kHex[digest[i] & 15];
  }
  return hex;
}

std::optional<std::string> homeOf(std::uint32_t uid) {
  long size = suggestedUserBufferSize();
  if (size < 1024) size = 16 * 1024;
  const UserDatabaseAnswer answer = lookUpUser(uid, static_cast<std::size_t>(size));
  if (answer.error != 0 || !answer.home || answer.home->empty()) return std::nullopt;
  return answer.home;
}

// What the keychain tool lists: the PEM of every certificate in the System keychain.
Result<std::vector<std::string>> keychainFingerprints() {
  auto tool = startTool(kKeychainTool, {"find-certificate", "-a", "-p", kSystemKeychain},
                        /*captureStdout=*/true);
  if (!tool) return tool.error();
  std::string out, err;
  readBothToEnd(tool->stdoutRead, tool->stderrRead, out, err);
  if (const int status = tool->process.wait(); status != 0) {
    return Error{
        0, "find-certificate failed (exit " + std::to_string(status) + "): " + firstLine(err)};
  }
  return certificateFingerprints(out);
}

}  // namespace

std::vector<std::string> certificateFingerprints(std::string_view bytes) {
  std::vector<std::string> out;
  if (bytes.size() > kCertificateFileLimit * 16) return out;
  if (bytes.find("-----BEGIN") == std::string_view::npos) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    std::unique_ptr<X509, decltype(&X509_free)> cert(
        d2i_X509(nullptr, &p, static_cast<long>(bytes.size())), X509_free);
    if (cert) out.push_back(fingerprintOf(cert.get()));
    return out;
  }
  std::unique_ptr<BIO, decltype(&BIO_free)> bio(
      BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())), BIO_free);
  while (bio) {
    std::unique_ptr<X509, decltype(&X509_free)> cert(
        PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr), X509_free);
    if (!cert) break;
    out.push_back(fingerprintOf(cert.get()));
  }
  return out;
}

Finding portFinding(std::uint16_t port, const Result<std::vector<TcpListener>>& listeners,
                    std::uint32_t callingUid) {
  const std::string check = "port " + std::to_string(port);
  if (!listeners) return problem(check, "cannot tell: " + listeners.error().description);
  if (listeners->empty()) return ok(check, "free");
  std::string mine, others;
  for (const TcpListener& l : *listeners) {
    if (l.holders.empty()) {
      others += (others.empty() ? "" : "; ") + l.address + " by a process not visible to uid " +
                std::to_string(callingUid) + " (socket owner uid " + std::to_string(l.ownerUid) +
                ")";
    }
    for (const ProcessName& p : l.holders) {
      std::string& into = p.uid == callingUid ? mine : others;
      into += (into.empty() ? "" : "; ") + l.address + " by " + holderText(p);
    }
  }
  if (!others.empty()) return problem(check, "held by another program: " + others);
  return ok(check, "held by a process of this user: " + mine);
}

Finding resolverFinding(const std::string& name, const Result<std::string>& content) {
  const std::string check = "resolver " + name;
  if (!content) return problem(check, "cannot be read: " + content.error().description);
  const std::string line = firstLine(*content);
  if (isValidDNSLabel(name) && line == firstLine(resolverFileContent(name, "", 0))) {
    std::string rest = content->substr(std::min(content->size(), line.size() + 1));
    for (char& c : rest) {
      if (c == '\n') c = ',';
    }
    return ok(check, "the helper's (" + rest + ")");
  }
  return info(check, "not the helper's (first line: " + line + ")");
}

Finding rootCAFinding(const RootCAFacts& f) {
  const std::string check = "root CA " + f.path;
  switch (f.file.kind) {
    case FileFacts::Kind::kMissing:
      return info(check, "no such file");
    case FileFacts::Kind::kFile:
    case FileFacts::Kind::kLink:
      break;
    default:
      return problem(check, "not a regular file");
  }
  if (!f.fingerprint) return problem(check, f.fingerprint.error().description);
  if (!f.toolInstalled) {
    return info(check, std::string(kKeychainTool) + " is not installed: keychain not checked");
  }
  if (!f.keychain) return problem(check, "cannot list the System keychain: " + f.keychainError);
  for (const std::string& fp : *f.keychain) {
    if (fp == *f.fingerprint) return ok(check, "in the System keychain (SHA-256 " + fp + ")");
  }
  return problem(check, "not in the System keychain (SHA-256 " + *f.fingerprint + ")");
}

Finding cliFinding(const FileFacts& payload, const FileFacts& installed,
                   const Result<bool>& sameAsPayload) {
  const std::string check = std::string("command-line tool ") + kInstalledCLI;
  const bool hasPayload = payload.kind == FileFacts::Kind::kFile;
  if (installed.kind == FileFacts::Kind::kMissing) {
    return info(check,
                hasPayload ? "not installed" : "not installed; the application has no payload");
  }
  if (installed.kind != FileFacts::Kind::kFile) return problem(check, "not a regular file");
  if (!hasPayload)
    return problem(check, std::string("installed, but no payload at ") + kCLIPayload);
  if (!sameAsPayload) return problem(check, "cannot compare: " + sameAsPayload.error().description);
  if (!*sameAsPayload)
    return problem(check, "differs from the payload " + std::string(kCLIPayload));
  return ok(check, "matches the payload");
}

Finding cliLinkFinding(const FileFacts& installed, const LinkLookup& link) {
  const std::string check = std::string("command link ") + kCLILink;
  switch (link.kind) {
    case LinkLookup::Kind::kMissing:
      if (installed.kind == FileFacts::Kind::kMissing) return info(check, "absent");
      return problem(check, "absent while the tool is installed");
    case LinkLookup::Kind::kLink:
      if (link.target == kInstalledCLI) return ok(check, std::string("-> ") + kInstalledCLI);
      return problem(check, "points to " + link.target + ", not " + kInstalledCLI);
    case LinkLookup::Kind::kOther:
      return problem(check, "not a symbolic link");
    case LinkLookup::Kind::kError:
      break;
  }
  return problem(check, "cannot be inspected");
}

Finding anchorFinding(const FileFacts& anchor, bool loads, std::int32_t checkStatus) {
  const std::string check = "code-signing root " + std::string(kCodeSigningAnchorPath);
  if (anchor.kind == FileFacts::Kind::kMissing) {
    return problem(check, "missing: no client can be admitted");
  }
  if (anchor.kind != FileFacts::Kind::kFile) return problem(check, "not a regular file");
  if (!anchor.readable) return problem(check, "not readable by this user");
  if (anchor.ownerUid != 0 || (anchor.mode & 022) != 0) {
    return problem(check, "writable by someone other than root");
  }
  if (!loads) return problem(check, "not a PEM certificate");
  if (checkStatus != 0) {
    return problem(check, std::string("present, but this program is not admitted under it (") +
                              codesign::statusName(checkStatus) + ")");
  }
  return ok(check, "present, readable, and this program's signature chains to it");
}

std::vector<Finding> doctor() {
  std::vector<Finding> findings;
  const std::uint32_t uid = callingUserId();

  for (std::uint16_t port : kWebPorts)
    findings.push_back(portFinding(port, tcpListenersOnPort(port), uid));

  if (auto names = directoryEntries(kResolverDir); !names) {
    if (fileFacts(kResolverDir).kind == FileFacts::Kind::kMissing) {
      findings.push_back(info("resolver files", std::string("no directory ") + kResolverDir));
    } else {
      findings.push_back(problem("resolver files", names.error().description));
    }
  } else if (names->empty()) {
    findings.push_back(info("resolver files", std::string("none in ") + kResolverDir));
  } else {
    for (const std::string& name : *names) {
      findings.push_back(resolverFinding(
          name, readSmallFile(std::string(kResolverDir) + "/" + name, kResolverFileLimit)));
    }
  }

  if (auto home = homeOf(uid)) {
    RootCAFacts ca;
    ca.path = *home + "/" + kRootCARelativePath;
    ca.file = fileFacts(ca.path);
    if (auto bytes = readSmallFile(ca.path, kCertificateFileLimit); !bytes) {
      ca.fingerprint = bytes.error();
    } else if (auto fps = certificateFingerprints(*bytes); fps.empty()) {
      ca.fingerprint = Error{0, "not a certificate"};
    } else {
      ca.fingerprint = fps.front();
    }
    ca.toolInstalled = fileFacts(kKeychainTool).kind == FileFacts::Kind::kFile;
    if (ca.toolInstalled && ca.fingerprint) {
      if (auto listed = keychainFingerprints()) {
        ca.keychain = std::move(*listed);
      } else {
        ca.keychainError = listed.error().description;
      }
    }
    findings.push_back(rootCAFinding(ca));
  } else {
    findings.push_back(problem("root CA", "the calling user has no home directory"));
  }

  const FileFacts payload = fileFacts(kCLIPayload);
  const FileFacts installed = fileFacts(kInstalledCLI);
  Result<bool> same = false;
  if (payload.kind == FileFacts::Kind::kFile && installed.kind == FileFacts::Kind::kFile) {
    same = sameContents(kInstalledCLI, kCLIPayload);
  }
  findings.push_back(cliFinding(payload, installed, same));
  findings.push_back(cliLinkFinding(installed, lookUpLink(kCLILink)));

  const std::string anchorPath(kCodeSigningAnchorPath);
  const auto anchor = codesign::anchorFromPemFile(anchorPath);
  std::int32_t status = codesign::errSecCSReqFailed;
  std::shared_ptr<const codesign::Requirement> requirement;
  std::shared_ptr<const codesign::StaticCode> self;
  if (anchor && codesign::requirementCreateWithString(codeSigningRequirement(), requirement) == 0 &&
      codesign::staticCodeCreateWithPath(selfExecutablePath(), self) == 0) {
    status = codesign::staticCodeCheckValidity(*self, *requirement, anchor.get());
  }
  findings.push_back(anchorFinding(fileFacts(anchorPath), anchor != nullptr, status));
  return findings;
}

}  // namespace tamsel::client::helperctl
