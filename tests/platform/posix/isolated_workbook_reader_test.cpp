// The isolated workbook reader: whatever its child does (crash, hang, flood
// the pipe, talk nonsense, fail to start), read() raises err::kDbFail in
// bounded time and leaves no child behind; with the real helper it reads
// what the parser reads in process.
#include "isolated_workbook_reader.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cerrno>
#include <chrono>
#include <fstream>

#include "data/xls/test_workbook.h"
#include "support/site_fixture.h"
#include "workbook.h"

namespace kvdn {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAsan = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kAsan = true;
#else
constexpr bool kAsan = false;
#endif
#else
constexpr bool kAsan = false;
#endif

class IsolatedReaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = std::make_unique<testing::TempDir>();
    book = dir->path() / "book.xls";
    testing::writeWorkbook(book, {{"用户",
                                   {{"登录账号", "密码", "入职"},
                                    {"zhang", 123456, nlohmann::json{{"date", "2024-03-05"}}},
                                    {nullptr, "x", nullptr},
                                    {"li", "明文", nullptr}}},
                                  {"空白", {}}});
  }

  // A stand-in helper: a shell script with `body`.
  std::string script(const std::string& name, const std::string& body) {
    const fs::path p = dir->path() / name;
    std::ofstream(p) << "#!/bin/sh\n" << body << "\n";
    ::chmod(p.c_str(), 0755);
    return p.string();
  }

  static bool noChildLeft() {
    int status;
    return ::waitpid(-1, &status, WNOHANG) < 0 && errno == ECHILD;
  }

  std::unique_ptr<testing::TempDir> dir;
  fs::path book;
};

TEST_F(IsolatedReaderTest, ReadsWhatTheParserReads) {
  IsolatedWorkbookReader reader;
  const WorkbookContent isolated = reader.read(book.string());
  const WorkbookContent direct = xls::readWorkbookInProcess(book.string());
  ASSERT_EQ(isolated.sheets.size(), direct.sheets.size());
  for (std::size_t i = 0; i < direct.sheets.size(); ++i) {
    const auto& a = direct.sheets[i];
    const auto& b = isolated.sheets[i];
    EXPECT_EQ(a.name, b.name);
    EXPECT_EQ(a.rows, b.rows);
    EXPECT_EQ(a.columns, b.columns);
    for (unsigned r = 0; r < a.rows; ++r) {
      for (unsigned c = 0; c < a.columns; ++c) {
        EXPECT_EQ(a.cell(r, c).type(), b.cell(r, c).type()) << r << "," << c;
        EXPECT_EQ(a.cell(r, c).joinText(), b.cell(r, c).joinText()) << r << "," << c;
      }
    }
  }
  EXPECT_EQ(isolated.sheets.at(0).cell(1, 2).type(), VarType::Date);
  EXPECT_TRUE(noChildLeft());
}

TEST_F(IsolatedReaderTest, TheParsersOwnFailuresPassThrough) {
  IsolatedWorkbookReader reader;
  std::ofstream(dir->path() / "garbage.xls") << "not a workbook";
  for (const fs::path& p : {dir->path() / "missing.xls", dir->path() / "garbage.xls"}) {
    try {
      reader.read(p.string());
      ADD_FAILURE() << p;
    } catch (const ComError& e) {
      EXPECT_EQ(e.number(), err::kDbFail);
      EXPECT_NE(e.description().find(p.string()), std::string::npos) << e.description();
    }
  }
}

TEST_F(IsolatedReaderTest, AChildThatMisbehavesIsAnOrdinaryFailure) {
  struct Case {
    const char* name;
    std::string helper;
    const char* says;
  } cases[] = {
      {"crash", script("crash.sh", "kill -SEGV $$"), "crashed on it (SIGSEGV)"},
      {"hang", script("hang.sh", "exec sleep 30"), "did not finish within 400 ms"},
      {"hang after closing its output", script("quiet.sh", "exec >&-\nexec sleep 30"), "did not finish"},
      {"flood", script("flood.sh", "exec cat /dev/zero"), "larger than 1048576 bytes"},
      {"nonsense", script("nonsense.sh", "printf 'hello'"), "malformed"},
      {"cut off", script("cut.sh", "printf 'KVXW1S'"), "cut off"},
      {"exit status", script("fail.sh", "exit 7"), "exit status 7"},
      {"no helper", (dir->path() / "no-such-helper").string(), "cannot be started"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    WorkbookIsolation isolation;
    isolation.helperPath = c.helper;
    isolation.timeout = 400ms;
    isolation.maxContentBytes = 1u << 20;
    IsolatedWorkbookReader reader(isolation);
    const auto start = std::chrono::steady_clock::now();
    try {
      reader.read(book.string());
      ADD_FAILURE() << "no failure";
    } catch (const ComError& e) {
      EXPECT_EQ(e.number(), err::kDbFail);
      EXPECT_NE(e.description().find(c.says), std::string::npos) << e.description();
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
    EXPECT_TRUE(noChildLeft());
  }
}

TEST_F(IsolatedReaderTest, TheMemoryLimitHolds) {
  if (kAsan) GTEST_SKIP() << "the address-space limit is not applied under AddressSanitizer";
  WorkbookIsolation isolation;
  isolation.memoryMiB = 2;  // less than the program needs to start
  IsolatedWorkbookReader reader(isolation);
  EXPECT_THROW(reader.read(book.string()), ComError);
  EXPECT_TRUE(noChildLeft());
}

TEST(IsolatedReaderPath, TheHelperIsFoundBesideTheProgram) {
  const fs::path helper = defaultXlsReaderPath();
  EXPECT_EQ(helper.filename(), "kvdn-xls-reader");
  EXPECT_TRUE(fs::is_regular_file(helper)) << helper;
}

}  // namespace
}  // namespace kvdn
