// security: the keychain tool. Keeps a keychain file of certificates and their administrator
// trust settings; see docs/CERTIFICATES.md.
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "tools/security/commands.h"
#include "tools/security/keychain.h"

namespace {

using namespace tamsel;

constexpr int kFailed = 1;
constexpr int kUsageError = 2;

constexpr const char* kHelp = R"(usage: security COMMAND OPTIONS... OPERANDS...

Keeps a keychain file of certificates and their administrator trust settings.

  find-certificate -a -p KEYCHAIN
      print every certificate as PEM, in the order they were added
  delete-certificate -Z SHA1 KEYCHAIN
      delete the certificate with this SHA-1 (40 hexadecimal digits, either case), and its
      trust setting
  add-certificates -k KEYCHAIN FILE...
      add each FILE's certificate; fails, adding none, when one is there already
  add-trusted-cert -d -r trustRoot [-k KEYCHAIN] FILE
      add FILE's certificate when absent, and trust it as a root (administrator setting)
  remove-trusted-cert -d [-k KEYCHAIN] FILE
      remove the administrator trust setting of FILE's certificate
  --help
      print this text

A FILE holds one certificate, PEM or DER; of several PEM blocks the last counts. KEYCHAIN is
created when a certificate is first added. Where -k is optional, KEYCHAIN is the System
keychain, /Library/Keychains/System.keychain, the only one whose trust settings reach the
system's TLS clients.

Exit status: 0 done, 1 failed, 2 usage error.
)";

struct Arguments {
  std::set<char> flags;
  std::map<char, std::string> values;
  std::vector<std::string> operands;
};

struct Command {
  const char* name;
  const char* flags;        // single-letter options without a value
  const char* valued;       // single-letter options with a value
  std::size_t minOperands;  // after the options
  std::size_t maxOperands;
  const char* usage;
  // What parsing cannot check: required options and their values. Empty when all is well.
  const char* (*missing)(const Arguments&);
  Status (*run)(const Arguments&);
};

// Options first ("-ap" groups flags; a value follows its letter or comes as the next argument),
// then operands; "--" ends the options. The problem found, or the empty text.
std::string parse(const Command& command, const std::vector<std::string>& args, Arguments& out) {
  const std::string_view flags = command.flags, valued = command.valued;
  std::size_t i = 0;
  for (; i < args.size() && args[i].size() > 1 && args[i][0] == '-'; ++i) {
    if (args[i] == "--") {
      ++i;
      break;
    }
    for (std::size_t j = 1; j < args[i].size(); ++j) {
      const char letter = args[i][j];
      if (flags.find(letter) != std::string_view::npos) {
        out.flags.insert(letter);
      } else if (valued.find(letter) != std::string_view::npos) {
        std::string value = args[i].substr(j + 1);
        if (value.empty()) {
          if (++i == args.size()) return std::string("option -") + letter + " needs a value";
          value = args[i];
        }
        out.values[letter] = value;
        break;
      } else {
        return std::string("unknown option -") + letter;
      }
    }
  }
  out.operands.assign(args.begin() + static_cast<std::ptrdiff_t>(i), args.end());
  if (out.operands.size() < command.minOperands) return "missing operand";
  if (out.operands.size() > command.maxOperands) return "extra operand";
  return command.missing(out);
}

bool isSha1(std::string_view text) {
  if (text.size() != 40) return false;
  for (const char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))) {
      return false;
    }
  }
  return true;
}

// The diagnostic on one line: a tool's output inside it may hold line breaks.
void report(const std::string& text) {
  std::string line = text;
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  for (char& c : line) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  std::fprintf(stderr, "security: %s\n", line.c_str());
}

std::string keychainOption(const Arguments& a) {
  const auto it = a.values.find('k');
  return it != a.values.end() ? it->second : std::string(security::kSystemKeychain);
}

constexpr const char* kNeedsAdminDomain = "needs -d (only administrator trust settings are kept)";

constexpr Command kCommands[] = {
    {"find-certificate", "ap", "", 1, 1, "find-certificate -a -p KEYCHAIN",
     [](const Arguments& a) -> const char* {
       return a.flags.count('a') && a.flags.count('p') ? "" : "needs -a and -p";
     },
     [](const Arguments& a) -> Status {
       Result<std::string> pem = security::findCertificates(a.operands[0]);
       if (!pem) return pem.error();
       if (std::fwrite(pem->data(), 1, pem->size(), stdout) != pem->size() ||
           std::fflush(stdout) != 0) {
         return Error{0, "cannot write the listing to standard output"};
       }
       return Status::success();
     }},
    {"delete-certificate", "", "Z", 1, 1, "delete-certificate -Z SHA1 KEYCHAIN",
     [](const Arguments& a) -> const char* {
       if (!a.values.count('Z')) return "needs -Z SHA1";
       return isSha1(a.values.at('Z')) ? "" : "-Z needs a SHA-1 of 40 hexadecimal digits";
     },
     [](const Arguments& a) {
       return security::deleteCertificate(a.operands[0], a.values.at('Z'));
     }},
    {"add-certificates", "", "k", 1, SIZE_MAX, "add-certificates -k KEYCHAIN FILE...",
     [](const Arguments& a) -> const char* {
       return a.values.count('k') ? "" : "needs -k KEYCHAIN";
     },
     [](const Arguments& a) { return security::addCertificates(keychainOption(a), a.operands); }},
    {"add-trusted-cert", "d", "rk", 1, 1, "add-trusted-cert -d -r trustRoot [-k KEYCHAIN] FILE",
     [](const Arguments& a) -> const char* {
       if (!a.flags.count('d')) return kNeedsAdminDomain;
       const auto r = a.values.find('r');
       return r != a.values.end() && r->second == "trustRoot" ? "" : "needs -r trustRoot";
     },
     [](const Arguments& a) {
       return security::addTrustedCertificate(keychainOption(a), a.operands[0]);
     }},
    {"remove-trusted-cert", "d", "k", 1, 1, "remove-trusted-cert -d [-k KEYCHAIN] FILE",
     [](const Arguments& a) -> const char* { return a.flags.count('d') ? "" : kNeedsAdminDomain; },
     [](const Arguments& a) {
       return security::removeTrustedCertificate(keychainOption(a), a.operands[0]);
     }},
};

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
    std::fputs(kHelp, stdout);
    return 0;
  }
  if (args.empty()) {
    report("no command given; see security --help");
    return kUsageError;
  }
  for (const Command& command : kCommands) {
    if (args[0] != command.name) continue;
    Arguments parsed;
    const std::string problem = parse(command, {args.begin() + 1, args.end()}, parsed);
    if (!problem.empty()) {
      report(std::string(command.name) + ": " + problem + "; usage: security " + command.usage);
      return kUsageError;
    }
    const Status status = command.run(parsed);
    if (status) return 0;
    report(status.error().description);
    return kFailed;
  }
  report("unknown command " + args[0] + "; see security --help");
  return kUsageError;
}
