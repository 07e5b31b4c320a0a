// The command-line page host, run as a program on small scripts.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "registry_file.h"
#include "support/site_fixture.h"

namespace kvdn {
namespace {

using Json = nlohmann::json;

const std::filesystem::path kTool = std::filesystem::path(KVDN_BINARY_DIR) / "bin" / "kvdn-page";
const std::filesystem::path kLibrary = std::filesystem::path(KVDN_BINARY_DIR) / "lib" / "libkvdnAspDll.so";

std::string slurp(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

struct ToolRun {
  int status = -1;
  std::string out;
  std::string err;
  Json json;
};

class KvdnPage : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(std::filesystem::exists(kTool)) << kTool << ": build the kvdn-page target";
  }

  // Writes `script` (raw text) to a file and runs the tool on it.
  ToolRun runText(const std::string& script, const std::string& options = "") {
    const auto file = dir.path() / "script.json";
    std::ofstream(file, std::ios::binary) << script;
    return runFile(file, options);
  }
  ToolRun run(const Json& script, const std::string& options = "") { return runText(script.dump(), options); }

  ToolRun runFile(const std::filesystem::path& file, const std::string& options = "") {
    const auto out = dir.path() / "stdout";
    const auto err = dir.path() / "stderr";
    std::string command = "'" + kTool.string() + "' " + options + " '" + file.string() + "' >'" +
                          out.string() + "' 2>'" + err.string() + "'";
    int raw = std::system(command.c_str());
    ToolRun r;
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    r.out = slurp(out);
    r.err = slurp(err);
    if (r.status == 0) r.json = Json::parse(r.out);
    return r;
  }

  // The results of the only page of a successful run.
  Json results(const ToolRun& r) {
    EXPECT_EQ(r.status, 0) << r.err;
    if (r.status != 0) return Json::array();
    return r.json.at("pages").at(0).at("results");
  }

  kvdn::testing::TempDir dir;
};

TEST_F(KvdnPage, ValuesMapBothWays) {
  const Json values[] = {"text",
                         "",
                         "12",
                         0,
                         -7,
                         2147483647,
                         3000000000LL,
                         -3000000000LL,
                         1.5,
                         1.0,
                         -0.25,
                         true,
                         false,
                         nullptr,
                         {{"empty", true}},
                         {{"date", "2026-03-04 05:06:07"}},
                         {{"date", "2026-03-04 00:00:00"}}};
  Json calls = Json::array();
  for (const auto& v : values) {
    calls.push_back({{"set", "sqlpwd"}, {"value", v}});
    calls.push_back({{"get", "SQLPWD"}});
  }
  Json got = results(run({{"pages", {{{"calls", calls}}}}}));
  ASSERT_EQ(got.size(), 2 * std::size(values));
  for (std::size_t i = 0; i < std::size(values); ++i) {
    const Json& set = got[2 * i];
    const Json& back = got[2 * i + 1].at("value");
    EXPECT_EQ(set, Json({{"value", {{"empty", true}}}})) << values[i];  // a property let gives Empty
    EXPECT_EQ(back, values[i]);
    // Integers stay integers and other numbers stay floating (== alone would
    // take 1 and 1.0 as equal).
    EXPECT_EQ(back.is_number_integer(), values[i].is_number_integer()) << values[i];
    EXPECT_EQ(back.is_number_float(), values[i].is_number_float()) << values[i];
  }
}

TEST_F(KvdnPage, CallsReportValuesArgumentsAndErrors) {
  Json script = {{"pages",
                  {{{"calls",
                     {{{"call", "strDropDownList"}, {"args", {"男， 女", "女"}}},
                      {{"call", "noSuchMethod"}, {"args", {1}}},
                      {{"call", "findTableName"}},
                      {{"get", "conn"}},
                      {{"exec", "select 1"}},
                      {{"call", "softFabuInfo"}, {"args", {nullptr}}}}}}}}};
  Json got = results(run(script));
  ASSERT_EQ(got.size(), 6u);
  EXPECT_EQ(got[0].at("value"),
            "<option value=''>请选择</option><option value='男'>男</option><option value='女' "
            "selected>女</option>");
  EXPECT_EQ(got[0].at("args"), Json({"男,女", "女"}));  // written back by reference
  EXPECT_EQ(
      got[1],
      Json({{"error", {{"number", 438}, {"description", "Object doesn't support this property or method"}}},
            {"args", {1}}}));
  EXPECT_EQ(got[2].at("error").at("number"), 450);
  EXPECT_EQ(got[2].at("args"), Json::array());
  EXPECT_EQ(got[3].at("value"), Json({{"object", false}}));
  EXPECT_EQ(got[4].at("error").at("number"), 91);  // no connection to run on
  EXPECT_FALSE(got[4].contains("args"));
  EXPECT_EQ(got[5], Json({{"value", ""}, {"args", {nullptr}}}));  // the page went on
}

TEST_F(KvdnPage, EachPageHasItsOwnObjectAndRequest) {
  Json script = {{"pages",
                  {{{"request", {{"url", "/admin/a.asp"}, {"query", "x=1"}}},
                    {"calls", {{{"set", "dbType"}, {"value", "access"}}, {{"get", "dbType"}}}}},
                   {{"calls", {{{"get", "dbType"}}}}},
                   Json::object()}}};
  ToolRun r = run(script);
  ASSERT_EQ(r.status, 0) << r.err;
  const Json& pages = r.json.at("pages");
  ASSERT_EQ(pages.size(), 3u);
  EXPECT_EQ(pages[0].at("results")[1].at("value"), "access");
  EXPECT_EQ(pages[1].at("results")[0].at("value"), Json({{"empty", true}}));
  EXPECT_EQ(pages[2], Json({{"results", Json::array()}, {"response", ""}, {"ended", false}}));
}

TEST_F(KvdnPage, EndedResponseStopsThePage) {
  // Opening a database file that does not exist reports and ends the response.
  Json script = {{"pages",
                  {{{"calls",
                     {{{"set", "dbType"}, {"value", "ACCESS"}},
                      {{"set", "database"}, {"value", "/database/missing.mdb"}},
                      {{"call", "connOpen"}},
                      {{"get", "dbType"}}}}},
                   {{"calls", {{{"get", "dbType"}}}}}}}};
  ToolRun r = run(script);
  ASSERT_EQ(r.status, 0) << r.err;
  const Json& first = r.json.at("pages")[0];
  ASSERT_EQ(first.at("results").size(), 3u) << first.dump();
  EXPECT_EQ(first.at("results")[2], Json({{"value", {{"empty", true}}}, {"args", Json::array()}}));
  EXPECT_TRUE(first.at("ended"));
  EXPECT_EQ(first.at("response").get<std::string>().rfind("数据库打开失败！<br>", 0), 0u)
      << first.at("response");
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "database" / "missing.mdb"));
  // The next page starts afresh.
  EXPECT_EQ(r.json.at("pages")[1].at("results").size(), 1u);
  EXPECT_FALSE(r.json.at("pages")[1].at("ended"));
}

TEST_F(KvdnPage, ExecRunsOnTheObjectsConnection) {
  Json script = {
      {"setup", {{{"database", "database/app.mdb"}, {"sql", {"create table t(id integer primary key)"}}}}},
      {"pages",
       {{{"calls",
          {{{"set", "dbType"}, {"value", "access"}},
           {{"set", "database"}, {"value", "/database/app.mdb"}},
           {{"call", "connOpen"}},
           {{"exec", "insert into t(id) values (7)"}},
           {{"exec", "insert into nowhere values (1)"}},
           {{"call", "dbShsl"}, {"args", {"select max(id) from t"}}},
           {{"get", "conn"}}}}}}}};
  Json got = results(run(script));
  ASSERT_EQ(got.size(), 7u);
  EXPECT_EQ(got[3], Json({{"value", {{"empty", true}}}}));
  EXPECT_LT(got[4].at("error").at("number").get<int>(), 0);  // the data layer's own error
  EXPECT_EQ(got[5].at("value"), 7);
  EXPECT_EQ(got[6].at("value"), Json({{"object", true}}));
}

TEST_F(KvdnPage, SetupCreatesDatabasesUnderTheSite) {
  Json script = {
      {"site", "www"},
      {"setup",
       {{{"database", "db/inner/app.mdb"},
         {"sql", {"create table t(id integer primary key, name text)", "insert into t(name) values('a')"}}},
        {{"database", "/db/inner/app.mdb"}, {"sql", {"insert into t(name) values('b')"}}}}},
      {"pages", Json::array()}};
  ToolRun r = run(script);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.json, Json({{"pages", Json::array()}}));
  auto rows = kvdn::testing::querySql(dir.path() / "www" / "db" / "inner" / "app.mdb",
                                      "select name from t order by id");
  EXPECT_EQ(rows, (std::vector<std::vector<std::string>>{{"a"}, {"b"}}));
}

TEST_F(KvdnPage, BadInputExitsWithStatusTwo) {
  const std::string cases[] = {
      "{not json",
      "[]",
      R"({"site": 3})",
      R"({"pages": {}})",
      R"({"pages": [{"calls": [{"frobnicate": "x"}]}]})",
      R"({"pages": [{"calls": [{"get": "a", "call": "b"}]}]})",
      R"({"pages": [{"calls": [{"set": "dbType"}]}]})",
      R"({"pages": [{"calls": [{"call": "md5", "args": "x"}]}]})",
      R"({"pages": [{"calls": [{"call": "md5", "args": [[1]]}]}]})",
      R"({"pages": [{"calls": [{"set": "a", "value": {"empty": false}}]}]})",
      R"({"pages": [{"calls": [{"set": "a", "value": {"date": "2026-02-30 00:00:00"}}]}]})",
      R"({"pages": [{"calls": [{"set": "a", "value": {"other": 1}}]}]})",
      R"({"pages": [{"calls": [{"get": 5}]}]})",
      R"({"pages": [{"request": {"query": 5}}]})",
      R"({"pages": [{"request": {"server": {"HTTP_HOST": 1}}}]})",
      R"({"setup": [{"sql": ["select 1"]}]})",
      R"({"setup": [{"database": "../outside.mdb"}]})",
      R"({"setup": [{"database": "a.mdb", "sql": ["this is not sql"]}], "pages": [{}]})",
  };
  for (const auto& text : cases) {
    ToolRun r = runText(text);
    EXPECT_EQ(r.status, 2) << text;
    EXPECT_EQ(r.out, "") << text;  // nothing ran, nothing printed
    EXPECT_NE(r.err, "") << text;
  }
  EXPECT_FALSE(std::filesystem::exists(dir.path().parent_path() / "outside.mdb"));

  ToolRun missing = runFile(dir.path() / "absent.json");
  EXPECT_EQ(missing.status, 2);
  EXPECT_NE(missing.err.find("absent.json"), std::string::npos) << missing.err;
  ToolRun noArgs = runFile("", "--bogus");
  EXPECT_EQ(noArgs.status, 2);
  // One script a run: a second one is refused before either runs.
  const auto first = dir.path() / "first.json";
  std::ofstream(first) << R"({"pages": [{}]})";
  ToolRun two = runFile(first, "'" + first.string() + "'");
  EXPECT_EQ(two.status, 2);
  EXPECT_EQ(two.out, "");
  EXPECT_NE(two.err.find("one script a run"), std::string::npos) << two.err;
}

TEST_F(KvdnPage, ClassesFromARegistryFile) {
  ASSERT_TRUE(std::filesystem::exists(kLibrary)) << kLibrary;
  const auto registry = dir.path() / "registry";
  com::updateRegistryFile(registry,
                          {{"kvdnAspDll.dbClass", com::CLSID_dbClass, std::filesystem::canonical(kLibrary)}});
  // The loaded copy binds to this program's page objects and connection.
  Json script = {{"setup",
                  {{{"database", "database/app.mdb"},
                    {"sql", {"drop table if exists t", "create table t(n)", "insert into t values (5)"}}}}},
                 {"pages",
                  {{{"calls",
                     {{{"set", "dbType"}, {"value", "access"}},
                      {{"get", "dbType"}},
                      {{"call", "strDropDownList"}, {"args", {"a ,b", 1}}},
                      {{"set", "database"}, {"value", "/database/app.mdb"}},
                      {{"call", "connOpen"}},
                      {{"exec", "update t set n = n + 1"}},
                      {{"call", "dbShsl"}, {"args", {"select n from t"}}}}}}}}};
  Json got = results(run(script, "--registry '" + registry.string() + "'"));
  ASSERT_EQ(got.size(), 7u);
  EXPECT_EQ(got[1].at("value"), "access");
  EXPECT_EQ(got[2].at("args")[0], "a,b");
  EXPECT_EQ(got[5], Json({{"value", {{"empty", true}}}}));
  EXPECT_EQ(got[6].at("value"), 6);

  // A registered library that is gone: the page records why it has no object.
  com::updateRegistryFile(registry, {{"kvdnAspDll.dbClass", com::CLSID_dbClass, dir.path() / "gone.so"}});
  ToolRun r = run(script, "--registry '" + registry.string() + "'");
  ASSERT_EQ(r.status, 0) << r.err;
  const Json& page = r.json.at("pages")[0];
  EXPECT_EQ(page.at("error").at("number"), com::HRESULT_MOD_NOT_FOUND);
  EXPECT_EQ(page.at("results"), Json::array());
}

}  // namespace
}  // namespace kvdn
