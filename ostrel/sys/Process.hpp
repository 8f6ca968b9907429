#pragma once
// Child processes without a shell: start, capture output, await exit on the event loop, time out.
#include <chrono>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "ostrel/base/Asio.hpp"

namespace ostrel {

struct CommandResult {
  // Exit code, or minus the signal number when the child was killed by a signal.
  int exitStatus = -1;
  std::string output;
};

// A command that could not be started, or whose line could not be split.
class CommandError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};
// A command that did not end within its time-out; it has been killed and reaped.
class CommandTimeout : public CommandError {
 public:
  using CommandError::CommandError;
};

// Splits a command line into words: blanks separate, single quotes keep everything literally,
// double quotes keep everything but \" and \\, a backslash outside quotes escapes the next
// character. An unterminated quote or a trailing backslash throws CommandError.
std::vector<std::string> splitCommandLine(std::string_view line);

// Runs the command with /dev/null as standard input. With captureOutput its standard output
// (and standard error when mergeStderr) is collected; otherwise both are inherited. A command
// still running after `timeout` is killed with its process group and CommandTimeout is raised.
// Cancelling the awaiting task kills and reaps the child as well.
awaitable<CommandResult> runCommand(std::string commandLine, std::chrono::milliseconds timeout,
                                    bool captureOutput, bool mergeStderr);

}  // namespace ostrel
