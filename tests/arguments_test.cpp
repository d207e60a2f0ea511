// The answers to the command line: serve, help, version, or a one-line refusal.
#include "server/arguments.h"

#include <gtest/gtest.h>

#include <ostream>
#include <regex>
#include <string>
#include <vector>

#include "platform/win32.h"

namespace dirhttp {
namespace {

enum class Kind { kServe, kHelp, kVersion, kRefused };

struct ArgumentsCase {
  const char* name;
  std::vector<std::string> arguments;
  Kind kind;
  std::string error;  // the line a refusal prints
};

const ArgumentsCase kCases[] = {
    {"NoneServes", {}, Kind::kServe, ""},
    {"LongHelp", {"--help"}, Kind::kHelp, ""},
    {"ShortHelp", {"-h"}, Kind::kHelp, ""},
    {"Version", {"--version"}, Kind::kVersion, ""},
    {"DirectoryIsRefused",
     {"Pictures"},
     Kind::kRefused,
     "dirhttp: unexpected argument 'Pictures': it serves the directory it is started in (see "
     "dirhttp --help)\n"},
    {"DotIsRefused",
     {"."},
     Kind::kRefused,
     "dirhttp: unexpected argument '.': it serves the directory it is started in (see dirhttp "
     "--help)\n"},
    {"EmptyArgumentIsRefused",
     {""},
     Kind::kRefused,
     "dirhttp: unexpected argument '': it serves the directory it is started in (see dirhttp "
     "--help)\n"},
    {"UnknownLongOption",
     {"--port=9000"},
     Kind::kRefused,
     "dirhttp: unknown option '--port=9000' (see dirhttp --help)\n"},
    {"UnknownShortOption",
     {"-p"},
     Kind::kRefused,
     "dirhttp: unknown option '-p' (see dirhttp --help)\n"},
    {"DoubleDash", {"--"}, Kind::kRefused, "dirhttp: unknown option '--' (see dirhttp --help)\n"},
    {"OptionsAreCaseSensitive",
     {"--HELP"},
     Kind::kRefused,
     "dirhttp: unknown option '--HELP' (see dirhttp --help)\n"},
    {"HelpWithAnotherArgument",
     {"--help", "Pictures"},
     Kind::kRefused,
     "dirhttp: unexpected argument 'Pictures': it serves the directory it is started in (see "
     "dirhttp --help)\n"},
    {"VersionTwice",
     {"--version", "--version"},
     Kind::kRefused,
     "dirhttp: unknown option '--version' (see dirhttp --help)\n"},
    {"DirectoryBeforeHelp",
     {"Pictures", "--help"},
     Kind::kRefused,
     "dirhttp: unexpected argument 'Pictures': it serves the directory it is started in (see "
     "dirhttp --help)\n"},
    {"ControlBytesShownAsHex",
     {"\x1B]0;owned\x07\x1B[2J\r"},
     Kind::kRefused,
     "dirhttp: unexpected argument '\\x1B]0;owned\\x07\\x1B[2J\\x0D': it serves the directory it "
     "is started in (see dirhttp --help)\n"},
};

// Failures name the case rather than dump its bytes.
void PrintTo(const ArgumentsCase& c, std::ostream* os) { *os << c.name; }

class Arguments : public testing::TestWithParam<ArgumentsCase> {};

TEST_P(Arguments, AreAnswered) {
  const ArgumentsCase& c = GetParam();
  const ArgumentsAnswer answer = answer_arguments(c.arguments);
  EXPECT_EQ(answer.serve, c.kind == Kind::kServe);
  EXPECT_EQ(answer.exit_status, c.kind == Kind::kRefused ? 1 : 0);
  EXPECT_EQ(answer.error, c.error);
  switch (c.kind) {
    case Kind::kServe:
    case Kind::kRefused:
      EXPECT_EQ(answer.out, "");
      break;
    case Kind::kHelp:
      EXPECT_EQ(answer.out.rfind("Usage: dirhttp [--help | --version]\n", 0), 0u) << answer.out;
      break;
    case Kind::kVersion:
      EXPECT_TRUE(std::regex_search(answer.out, std::regex("^dirhttp [0-9]+\\.[0-9]+\\.[0-9]+\n")))
          << answer.out;
      break;
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, Arguments, testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Arguments, HelpTellsWhatItServesThePortTheOptionsAndTheManual) {
  const std::string help = answer_arguments({"--help"}).out;
  for (const char* part :
       {"current directory", "port 8080", "Ctrl+C", "--version", "-h, --help", kManualPlace}) {
    EXPECT_NE(help.find(part), std::string::npos) << part << " missing from:\n" << help;
  }
  EXPECT_EQ(help.find("/?") != std::string::npos, kSlashQuestionMarkIsHelp) << help;
}

TEST(Arguments, SlashQuestionMarkAsksForHelpOnlyWhereTheSystemDoes) {
  const ArgumentsAnswer answer = answer_arguments({"/?"});
  EXPECT_EQ(answer.exit_status, kSlashQuestionMarkIsHelp ? 0 : 1);
  EXPECT_EQ(answer.out == answer_arguments({"-h"}).out, kSlashQuestionMarkIsHelp);
}

TEST(Arguments, VersionNamesTheCopyrightAndLicense) {
  const std::string version = answer_arguments({"--version"}).out;
  EXPECT_NE(version.find("\nCopyright (c) "), std::string::npos) << version;
  EXPECT_NE(version.find("MIT License"), std::string::npos) << version;
}

}  // namespace
}  // namespace dirhttp
