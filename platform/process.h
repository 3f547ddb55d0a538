// Child processes: starting a tool with its output streams in pipes, and reaping it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/result.h"
#include "platform/unique_fd.h"

namespace tamsel {

// Owns a started child. Dropping it waits for the child unless wait() already has, so no path,
// an exception's included, leaves a zombie behind.
class ChildProcess {
 public:
  ChildProcess() = default;
  explicit ChildProcess(std::int32_t pid) : pid_(pid) {}
  ChildProcess(ChildProcess&& other) noexcept : pid_(other.pid_) { other.pid_ = -1; }
  ChildProcess& operator=(ChildProcess&& other) noexcept;
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess();

  std::int32_t pid() const { return pid_; }

  // Waits until the child has exited: its exit code, or the signal number for a child ended by a
  // signal (the two are not told apart); -1 when its status was lost.
  std::int32_t wait();

 private:
  std::int32_t pid_ = -1;
};

struct StartedTool {
  ChildProcess process;
  UniqueFd stdoutRead;  // invalid when standard output is inherited
  UniqueFd stderrRead;
};

// Starts executable (an absolute path; no search) with arguments after its own name. The tool
// gets default signal dispositions with nothing blocked, sees no descriptor above 2, inherits
// standard input, environment and working directory, and writes its standard error (and, with
// captureStdout, its standard output) into a pipe whose read end comes back; the helper keeps no
// write end. A launch error carries the errno and "could not launch <executable>: <reason>".
Result<StartedTool> startTool(const std::string& executable,
                              const std::vector<std::string>& arguments, bool captureStdout);

}  // namespace tamsel
