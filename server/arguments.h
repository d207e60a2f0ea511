// The command line: no argument serves; --help and --version are answered without serving, and
// anything else is refused, so that no argument is ever silently ignored.
#pragma once

#include <string>
#include <vector>

namespace dirhttp {

/// What to do about a command line.
struct ArgumentsAnswer {
  bool serve;         ///< True for no argument: start serving, print nothing here.
  int exit_status;    ///< Otherwise the program ends with this status, after printing:
  std::string out;    ///< the text for standard output (help, version),
  std::string error;  ///< the one line for standard error (a refused argument).
};

/// The answer to `arguments` (the command line without the program's name). None: serve.
/// --help or -h (and /? where that is the system's way to ask) alone: the usage; --version
/// alone: "dirhttp X.Y.Z" and the copyright; both with status 0. Anything else, or any second
/// argument: one line naming the first argument not understood, control bytes shown as \xHH,
/// and pointing to --help; status 1.
ArgumentsAnswer answer_arguments(const std::vector<std::string>& arguments);

/// Writes `answer`'s texts to standard output and standard error and returns its exit status.
int print_answer(const ArgumentsAnswer& answer);

}  // namespace dirhttp
