// Someone who names a folder or asks for help must not get the current directory shared with
// the network instead: every argument is answered before anything is opened.
#include "server/arguments.h"

#include <cstdio>
#include <iostream>

#include "dirhttp_version.h"
#include "platform/win32.h"
#include "server/console_text.h"

namespace dirhttp {
namespace {

bool asks_for_help(const std::string& argument) {
  return argument == "--help" || argument == "-h" || (kSlashQuestionMarkIsHelp && argument == "/?");
}

constexpr char kAbout[] =
    "Usage: dirhttp [--help | --version]\n"
    "\n"
    "Serves the current directory to web browsers, read only: start it in the\n"
    "folder to share. It listens on TCP port 8080 of every network address of\n"
    "this machine, so anyone who can reach the machine can read that folder.\n"
    "It prints the local address http://localhost:8080/, opens the default\n"
    "browser there on a desktop, and serves until it is stopped with Ctrl+C.\n"
    "It takes no other arguments: there is nothing to configure.\n"
    "\n";

std::string usage() {
  const std::string help_switches = kSlashQuestionMarkIsHelp ? "-h, --help, /?" : "-h, --help    ";
  return std::string(kAbout) + "  " + help_switches + "  print this help and exit\n" +
         "  --version       print the version and exit\n" + "\n" + "The manual: " + kManualPlace +
         ".\n";
}

std::string version() {
  return "dirhttp " DIRHTTP_VERSION "\n" DIRHTTP_COPYRIGHT
         "\n"
         "MIT License: free to use, copy, change and share, with no warranty.\n";
}

ArgumentsAnswer refuse(const std::string& argument) {
  const std::string shown = "'" + escape_console_text(argument) + "'";
  const bool option = argument.size() > 1 && argument[0] == '-';
  const std::string line =
      option ? "dirhttp: unknown option " + shown + " (see dirhttp --help)\n"
             : "dirhttp: unexpected argument " + shown +
                   ": it serves the directory it is started in (see dirhttp --help)\n";
  return {false, 1, "", line};
}

}  // namespace

ArgumentsAnswer answer_arguments(const std::vector<std::string>& arguments) {
  if (arguments.empty()) return {true, 0, "", ""};
  const std::string& first = arguments[0];
  if (!asks_for_help(first) && first != "--version") return refuse(first);
  if (arguments.size() > 1) return refuse(arguments[1]);
  return {false, 0, asks_for_help(first) ? usage() : version(), ""};
}

int print_answer(const ArgumentsAnswer& answer) {
  std::cout << answer.out << std::flush;
  std::cerr << answer.error << std::flush;
  return answer.exit_status;
}

}  // namespace dirhttp
