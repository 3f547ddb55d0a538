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

struct Command {
  const char* name;
  const char* flags;        // single-letter options without a value
  const char* valued;       // single-letter options with a value
  std::size_t minOperands;  // after the options
  std::size_t maxOperands;
  const char* usage;
};

constexpr Command kCommands[] = {
    {"find-certificate", "ap", "", 1, 1, "find-certificate -a -p KEYCHAIN"},
    {"delete-certificate", "", "Z", 1, 1, "delete-certificate -Z SHA1 KEYCHAIN"},
    {"add-certificates", "", "k", 1, SIZE_MAX, "add-certificates -k KEYCHAIN FILE..."},
    {"add-trusted-cert", "d", "rk", 1, 1, "add-trusted-cert -d -r trustRoot [-k KEYCHAIN] FILE"},
    {"remove-trusted-cert", "d", "k", 1, 1, "remove-trusted-cert -d [-k KEYCHAIN] FILE"},
};

struct Arguments {
  std::set<char> flags;
  std::map<char, std::string> values;
  std::vector<std::string> operands;
};

struct UsageError {
  std::string problem;
};

// Options first ("-ap" groups flags; a value follows its letter or comes as the next argument),
// then operands; "--" ends the options.
bool parse(const Command& command, const std::vector<std::string>& args, Arguments& out,
           UsageError& error) {
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
          if (++i == args.size()) {
            error.problem = std::string("option -") + letter + " needs a value";
            return false;
          }
          value = args[i];
        }
        out.values[letter] = value;
        break;
      } else {
        error.problem = std::string("unknown option -") + letter;
        return false;
      }
    }
  }
  out.operands.assign(args.begin() + static_cast<std::ptrdiff_t>(i), args.end());
  if (out.operands.size() < command.minOperands || out.operands.size() > command.maxOperands) {
    error.problem = out.operands.size() < command.minOperands ? "missing operand" : "extra operand";
    return false;
  }
  return true;
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

// Checks what parse cannot: required options and their values.
bool complete(const Command& command, const Arguments& a, UsageError& error) {
  const std::string name = command.name;
  const auto need = [&](bool present, const char* what) {
    if (!present && error.problem.empty()) error.problem = what;
    return present;
  };
  if (name == "find-certificate")
    return need(a.flags.count('a') && a.flags.count('p'), "needs -a and -p");
  if (name == "delete-certificate") {
    return need(a.values.count('Z'), "needs -Z SHA1") &&
           need(isSha1(a.values.at('Z')), "-Z needs a SHA-1 of 40 hexadecimal digits");
  }
  if (name == "add-certificates") return need(a.values.count('k'), "needs -k KEYCHAIN");
  if (name == "add-trusted-cert") {
    return need(a.flags.count('d'), "needs -d (only administrator trust settings are kept)") &&
           need(a.values.count('r') && a.values.at('r') == "trustRoot", "needs -r trustRoot");
  }
  return need(a.flags.count('d'), "needs -d (only administrator trust settings are kept)");
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

int run(const Command& command, const Arguments& a) {
  const std::string name = command.name;
  const auto keychain = [&] {
    const auto it = a.values.find('k');
    return it != a.values.end() ? it->second : std::string(security::kSystemKeychain);
  };
  Status status;
  if (name == "find-certificate") {
    Result<std::string> pem = security::findCertificates(a.operands[0]);
    if (!pem) {
      status = pem.error();
    } else if (std::fwrite(pem->data(), 1, pem->size(), stdout) != pem->size() ||
               std::fflush(stdout) != 0) {
      status = Error{0, "cannot write the listing to standard output"};
    }
  } else if (name == "delete-certificate") {
    status = security::deleteCertificate(a.operands[0], a.values.at('Z'));
  } else if (name == "add-certificates") {
    status = security::addCertificates(keychain(), a.operands);
  } else if (name == "add-trusted-cert") {
    status = security::addTrustedCertificate(keychain(), a.operands[0]);
  } else {
    status = security::removeTrustedCertificate(keychain(), a.operands[0]);
  }
  if (status) return 0;
  report(status.error().description);
  return kFailed;
}

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
    UsageError error;
    if (!parse(command, {args.begin() + 1, args.end()}, parsed, error) ||
        !complete(command, parsed, error)) {
      report(std::string(command.name) + ": " + error.problem + "; usage: security " +
             command.usage);
      return kUsageError;
    }
    return run(command, parsed);
  }
  report("unknown command " + args[0] + "; see security --help");
  return kUsageError;
}
