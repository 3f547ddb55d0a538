#include "client/helperctl_report.h"

#include <algorithm>

#include "client/helperctl_output.h"

namespace tamsel::client::helperctl {
namespace {

const char* verdictName(Verdict v) {
  switch (v) {
    case Verdict::kOk:
      return "ok";
    case Verdict::kInfo:
      return "info";
    case Verdict::kProblem:
      return "problem";
  }
  return "problem";
}

bool allWell(const std::vector<Finding>& findings) {
  return std::none_of(findings.begin(), findings.end(),
                      [](const Finding& f) { return f.verdict == Verdict::kProblem; });
}

// Finding texts come from file names and tool output: keep each on its one line.
std::string oneLine(std::string text) {
  for (char& c : text) {
    if (c == '\n' || c == '\r' || c == '\t') c = ' ';
  }
  return text;
}

}  // namespace

std::string renderFindings(const std::vector<Finding>& findings, bool json) {
  std::string out;
  if (json) {
    out = std::string("{\"ok\":") + (allWell(findings) ? "true" : "false") + ",\"findings\":[";
    for (std::size_t i = 0; i < findings.size(); ++i) {
      const Finding& f = findings[i];
      if (i) out += ',';
      out += "{\"check\":" + jsonString(f.check) + ",\"verdict\":\"" + verdictName(f.verdict) +
             "\",\"detail\":" + jsonString(f.detail) + "}";
    }
    return out + "]}\n";
  }
  for (const Finding& f : findings) {
    std::string verdict = verdictName(f.verdict);
    verdict.resize(8, ' ');
    out += verdict + oneLine(f.check) + ": " + oneLine(f.detail) + "\n";
  }
  return out;
}

int findingsExitCode(const std::vector<Finding>& findings) {
  return allWell(findings) ? 0 : 1;
}

}  // namespace tamsel::client::helperctl
