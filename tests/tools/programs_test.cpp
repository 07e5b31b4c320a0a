// Every program of the project answers --help (usage on standard output,
// status 0) and --version, and refuses an unknown option with status 2 and
// the usage on standard error only. Every program the build puts in bin/
// answers the first two without doing its work.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "support/site_fixture.h"

namespace kvdn {
namespace {

struct ProgramRun {
  int status = -1;
  std::string out;
  std::string err;
};

std::string slurp(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

class Programs : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    program = std::filesystem::path(KVDN_BINARY_DIR) / "bin" / GetParam();
    if (!std::filesystem::exists(program)) GTEST_SKIP() << program << " is not built";
  }
  ProgramRun run(const std::string& args) {
    const auto out = dir.path() / "stdout";
    const auto err = dir.path() / "stderr";
    const std::string command =
        "'" + program.string() + "' " + args + " </dev/null >'" + out.string() + "' 2>'" + err.string() + "'";
    const int raw = std::system(command.c_str());
    ProgramRun r;
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    r.out = slurp(out);
    r.err = slurp(err);
    return r;
  }

  std::filesystem::path program;
  testing::TempDir dir;
};

TEST_P(Programs, HelpGoesToStandardOutput) {
  for (const char* option : {"--help", "-h"}) {
    if (std::string(GetParam()) == "kvdn-xls-reader" && std::string(option) == "-h") continue;
    const ProgramRun r = run(option);
    EXPECT_EQ(r.status, 0) << option << ": " << r.err;
    EXPECT_EQ(r.out.rfind(std::string("usage: ") + GetParam(), 0), 0u) << option << ": " << r.out;
    EXPECT_EQ(r.err, "") << option;
  }
}

TEST_P(Programs, VersionNamesTheProgram) {
  const ProgramRun r = run("--version");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(std::regex_match(r.out, std::regex(std::string(GetParam()) + " [0-9]+\\.[0-9]+\\.[0-9]+\n")))
      << r.out;
}

TEST_P(Programs, UnknownOptionIsBadUsage) {
  const ProgramRun r = run("--no-such-option");
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("usage: "), std::string::npos) << r.err;
}

INSTANTIATE_TEST_SUITE_P(Each, Programs,
                         ::testing::Values("kvdn-page", "kvdn-site", "kvdn-xls-reader",
                                           "kvdn-access-convert"),
                         [](const auto& p) {
                           std::string name = p.param;
                           for (char& c : name)
                             if (c == '-') c = '_';
                           return name;
                         });

// Every program in bin/ (tests, benchmarks, fuzz replayers, tools, the site,
// the examples), read from the folder when the test runs so that a new
// program is covered without being named here: --help and --version exit 0
// with output and do none of the program's work, which shows as nothing
// left in the temporary folder ($TMPDIR) or the working folder (a benchmark
// that builds its database first, a replayer that reads "--help" as an
// input, a test program that runs its tests).
TEST(EveryProgramInBin, AnswersHelpAndVersionWithoutWork) {
  const std::filesystem::path bin = std::filesystem::path(KVDN_BINARY_DIR) / "bin";
  std::vector<std::filesystem::path> programs;
  for (const auto& entry : std::filesystem::directory_iterator(bin)) {
    const auto perms = entry.status().permissions();
    if (entry.is_regular_file() &&
        (perms & std::filesystem::perms::owner_exec) != std::filesystem::perms::none)
      programs.push_back(entry.path());
  }
  std::sort(programs.begin(), programs.end());
  ASSERT_GE(programs.size(), 3u) << "no programs in " << bin;
  for (const auto& program : programs) {
    const std::string name = program.filename().string();
    for (const std::string option : {"--help", "--version"}) {
      SCOPED_TRACE(name + " " + option);
      testing::TempDir dir;
      const auto tmp = dir.path() / "tmp", work = dir.path() / "work";
      std::filesystem::create_directories(tmp);
      std::filesystem::create_directories(work);
      const auto out = dir.path() / "stdout";
      const std::string command = "cd '" + work.string() + "' && TMPDIR='" + tmp.string() + "' '" +
                                  program.string() + "' " + option + " </dev/null >'" + out.string() +
                                  "' 2>/dev/null";
      const int raw = std::system(command.c_str());
      EXPECT_TRUE(WIFEXITED(raw) && WEXITSTATUS(raw) == 0) << "status " << raw;
      const std::string text = slurp(out);
      if (option == "--version") {
        EXPECT_TRUE(std::regex_match(text, std::regex(name + " [0-9]+\\.[0-9]+\\.[0-9]+\n"))) << text;
      } else {
        EXPECT_NE(text.find_first_not_of(" \n"), std::string::npos) << "no help on standard output";
      }
      EXPECT_TRUE(std::filesystem::is_empty(tmp)) << "left files in $TMPDIR";
      EXPECT_TRUE(std::filesystem::is_empty(work)) << "left files in the working folder";
    }
  }
}

}  // namespace
}  // namespace kvdn
