// HelperSubprocess: runs one external tool to completion and hands back what it wrote to its
// standard output and standard error, with its termination status. Stateless: every call makes
// its own process, pipes and buffers and drops them before it returns.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/pinned_home.h"
#include "platform/result.h"

namespace tamsel::HelperSubprocess {

struct Output {
  std::string stdout;  // raw bytes, in order, up to end of stream
  std::string stderr;  // raw bytes, in order, up to end of stream
  // The exit code; for a tool ended by a signal, the signal number (the two are not told apart).
  std::int32_t status = 0;
};

// An Output once the tool was started (whatever its status), or the launch error: its code is
// the errno of the failed start, its description names the executable and the reason.
using RunResult = Result<Output>;

// Runs executable (an absolute path; no search path) with arguments after its own name. The
// tool inherits the helper's standard input, environment and working directory and sees no
// descriptor above 2. Returns once the tool has closed both streams and exited; no time limit.
RunResult run(const std::string& executable, const std::vector<std::string>& arguments);

// The smaller form for tools whose output matters only when they fail: standard output is
// inherited from the helper and only standard error is captured (stdout stays empty).
RunResult runCapturingStderr(const std::string& executable,
                             const std::vector<std::string>& arguments);

// The same two, for a tool given a path inside a user's home: it runs confined to the pinned
// home (PinnedHome::startConfined), following no link inside it.
RunResult run(const PinnedHome& home, const std::string& executable,
              const std::vector<std::string>& arguments);
RunResult runCapturingStderr(const PinnedHome& home, const std::string& executable,
                             const std::vector<std::string>& arguments);

}  // namespace tamsel::HelperSubprocess
