// tamsel-codesign: signs files with an appended CMS signature, verifies and displays signatures.
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/build_version.h"
#include "platform/codesign/code_signing.h"
#include "platform/codesign/code_signing_tools.h"
#include "platform/identity.h"

namespace cs = tamsel::codesign;

namespace {

constexpr int kExitOk = 0;
constexpr int kExitInvalid = 1;
constexpr int kExitUsage = 2;
constexpr char kDefaultRequirement[] = "anchor apple generic";

constexpr char kUsage[] =
    "usage:\n"
    "  tamsel-codesign sign --key KEY.pem --cert LEAF.pem [--chain INTERMEDIATES.pem]\n"
    "                       [--identifier ID] FILE [-o OUT]\n"
    "      Appends a signature over FILE's content (replacing one it already carries) and\n"
    "      writes the result atomically to OUT, or back to FILE.\n"
    "  tamsel-codesign verify [--anchor ROOT.pem] [--requirement TEXT] FILE\n"
    "      Checks FILE's signature against ROOT.pem (default: the platform anchor) and the\n"
    "      requirement (default: \"anchor apple generic\"); prints the status number and name.\n"
    "      Exit status: 0 valid, 1 invalid, 2 usage or I/O error.\n"
    "  tamsel-codesign display FILE\n"
    "      Prints what FILE's signature carries (identifier, signer subject, certificates)\n"
    "      without checking it.\n"
    "  tamsel-codesign --help | --version\n";

// Values read from a file are shown with control bytes escaped, so a signature cannot drive the
// terminal.
std::string printable(std::string_view text) {
  std::string out;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
      out += escaped;
    } else {
      out += c;
    }
  }
  return out;
}

int usageError(const std::string& message) {
  std::fprintf(stderr, "tamsel-codesign: %s\n%s", message.c_str(), kUsage);
  return kExitUsage;
}

// Options with one value each ("--key X" or "--key=X") and positional arguments.
struct Arguments {
  std::map<std::string, std::string> options;
  std::vector<std::string> positional;
};

std::optional<std::string> parseArguments(int argc, char** argv, int first,
                                          const std::vector<std::string_view>& known,
                                          Arguments& out) {
  bool onlyPositional = false;
  for (int i = first; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (onlyPositional || arg.empty() || arg[0] != '-' || arg == "-") {
      out.positional.emplace_back(arg);
      continue;
    }
    if (arg == "--") {
      onlyPositional = true;
      continue;
    }
    std::string name(arg);
    std::optional<std::string> value;
    if (const auto eq = name.find('='); eq != std::string::npos && name.starts_with("--")) {
      value = name.substr(eq + 1);
      name.resize(eq);
    }
    bool isKnown = false;
    for (std::string_view k : known) isKnown = isKnown || k == name;
    if (!isKnown) return "unknown option " + name;
    if (!value) {
      if (i + 1 >= argc) return "option " + name + " needs a value";
      value = argv[++i];
    }
    if (out.options.count(name) != 0) return "option " + name + " given twice";
    out.options[name] = *value;
  }
  return std::nullopt;
}

std::string optionOr(const Arguments& args, const std::string& name, const std::string& fallback) {
  auto it = args.options.find(name);
  return it == args.options.end() ? fallback : it->second;
}

int sign(int argc, char** argv) {
  Arguments args;
  if (auto error = parseArguments(argc, argv, 2,
                                  {"--key", "--cert", "--chain", "--identifier", "-o"}, args)) {
    return usageError(*error);
  }
  if (args.positional.size() != 1) return usageError("sign takes exactly one FILE");
  cs::SigningIdentity identity;
  identity.privateKeyPath = optionOr(args, "--key", "");
  identity.certificatePath = optionOr(args, "--cert", "");
  identity.chainPath = optionOr(args, "--chain", "");
  if (identity.privateKeyPath.empty() || identity.certificatePath.empty()) {
    return usageError("sign needs --key and --cert");
  }
  if (auto it = args.options.find("--identifier"); it != args.options.end()) {
    identity.identifier = it->second;
  }
  const std::string& file = args.positional[0];
  const std::string out = optionOr(args, "-o", file);
  if (tamsel::Status status = cs::signFile(file, out, identity); !status) {
    std::fprintf(stderr, "tamsel-codesign: %s\n", status.error().description.c_str());
    return kExitUsage;
  }
  return kExitOk;
}

int verify(int argc, char** argv) {
  Arguments args;
  if (auto error = parseArguments(argc, argv, 2, {"--anchor", "--requirement"}, args)) {
    return usageError(*error);
  }
  if (args.positional.size() != 1) return usageError("verify takes exactly one FILE");
  const std::string& file = args.positional[0];

  std::shared_ptr<const cs::Requirement> requirement;
  const std::string text = optionOr(args, "--requirement", kDefaultRequirement);
  if (cs::OSStatus s = cs::requirementCreateWithString(text, requirement); s != cs::errSecSuccess) {
    std::fprintf(stderr, "tamsel-codesign: the requirement does not compile: %s\n", text.c_str());
    std::printf("%s: %d %s\n", file.c_str(), s, cs::statusName(s));
    return kExitUsage;
  }
  const std::string anchorPath =
      optionOr(args, "--anchor", std::string(tamsel::kCodeSigningAnchorPath));
  const auto anchor = cs::anchorFromPemFile(anchorPath);
  if (!anchor) {
    std::fprintf(stderr, "tamsel-codesign: cannot read an anchor certificate from %s\n",
                 anchorPath.c_str());
    return kExitUsage;
  }
  std::shared_ptr<const cs::StaticCode> code;
  cs::OSStatus status = cs::staticCodeCreateWithPath(file, code);
  if (status != cs::errSecSuccess) {
    std::fprintf(stderr, "tamsel-codesign: cannot open %s as a regular file\n", file.c_str());
    std::printf("%s: %d %s\n", file.c_str(), status, cs::statusName(status));
    return kExitUsage;
  }
  status = cs::staticCodeCheckValidity(*code, *requirement, anchor.get());
  std::printf("%s: %d %s\n", file.c_str(), status, cs::statusName(status));
  return status == cs::errSecSuccess ? kExitOk : kExitInvalid;
}

int display(int argc, char** argv) {
  Arguments args;
  if (auto error = parseArguments(argc, argv, 2, {}, args)) return usageError(*error);
  if (args.positional.size() != 1) return usageError("display takes exactly one FILE");
  const std::string& file = args.positional[0];
  std::shared_ptr<const cs::StaticCode> code;
  if (cs::staticCodeCreateWithPath(file, code) != cs::errSecSuccess) {
    std::fprintf(stderr, "tamsel-codesign: cannot open %s as a regular file\n", file.c_str());
    return kExitUsage;
  }
  cs::SigningInformation info;
  if (cs::OSStatus s = cs::copySigningInformation(*code, info); s != cs::errSecSuccess) {
    std::printf("%s: %d %s\n", file.c_str(), s, cs::statusName(s));
    return kExitInvalid;
  }
  std::printf("File: %s\n", file.c_str());
  std::printf("Signed bytes: %llu\n", static_cast<unsigned long long>(info.contentLength));
  std::printf("Signature: %u bytes (CMS, SHA-256)\n", info.signatureLength);
  std::printf("Identifier: %s\n", info.identifier ? printable(*info.identifier).c_str() : "(none)");
  std::printf("Signer subject:\n");
  for (const auto& [type, value] : info.leafSubject) {
    std::printf("  %s=%s\n", type.c_str(), printable(value).c_str());
  }
  std::printf("Certificates (signer first):\n");
  for (std::size_t i = 0; i < info.certificates.size(); ++i) {
    const auto& cert = info.certificates[i];
    std::printf("  [%zu] subject: %s\n      issuer:  %s\n      sha256:  %s\n", i,
                printable(cert.subject).c_str(), printable(cert.issuer).c_str(),
                cert.sha256.c_str());
  }
  std::printf("(not checked; use verify)\n");
  return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usageError("no command given");
  const std::string_view command = argv[1];
  if (command == "--help" || command == "-h" || command == "help") {
    std::fputs(kUsage, stdout);
    return kExitOk;
  }
  if (command == "--version") {
    std::printf("tamsel-codesign %.*s\n", static_cast<int>(tamsel::productVersion().size()),
                tamsel::productVersion().data());
    return kExitOk;
  }
  if (command == "sign") return sign(argc, argv);
  if (command == "verify") return verify(argc, argv);
  if (command == "display") return display(argc, argv);
  return usageError("unknown command " + std::string(command));
}
