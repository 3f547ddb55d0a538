// The findings of tamsel-helperctl doctor: one line each, with a verdict, as text or JSON.
#pragma once

#include <string>
#include <vector>

namespace tamsel::client::helperctl {

enum class Verdict {
  kOk,       // as it should be
  kInfo,     // worth knowing, not wrong
  kProblem,  // something the helper or the user needs fixed
};

struct Finding {
  std::string check;  // what was looked at, e.g. "port 80", "resolver test"
  Verdict verdict = Verdict::kOk;
  std::string detail;
};

// Text: "ok       port 80: free", one line per finding. JSON: one object with "ok" and an
// array "findings" of {"check","verdict","detail"}.
std::string renderFindings(const std::vector<Finding>& findings, bool json);

// 0 when no finding is a problem, else 1.
int findingsExitCode(const std::vector<Finding>& findings);

}  // namespace tamsel::client::helperctl
