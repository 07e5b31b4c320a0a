#include "registry_file.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>

#include "kvdn/error.h"
#include "support/site_fixture.h"

namespace kvdn::com {
namespace {

std::string slurp(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void spit(const std::filesystem::path& file, const std::string& text) {
  std::ofstream out(file, std::ios::binary);
  out << text;
}

// Sets (or, with nullopt, unsets) an environment variable for one scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, std::optional<std::string> value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value) {
      ::setenv(name, value->c_str(), 1);
    } else {
      ::unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (old_) {
      ::setenv(name_, old_->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

TEST(Guid, FormatsAndParsesBack) {
  EXPECT_EQ(formatGuid(IID_IUnknown), "{00000000-0000-0000-C000-000000000046}");
  EXPECT_EQ(formatGuid(CLSID_dbClass), "{6B3F2A41-9C7D-4E52-A1B8-3D0E5F7C2A91}");
  for (const GUID& g : {IID_IUnknown, IID_IClassFactory, IID_IKvdnObject, CLSID_dbClass, CLSID_md5Class}) {
    auto back = parseGuid(formatGuid(g));
    ASSERT_TRUE(back);
    EXPECT_TRUE(*back == g) << formatGuid(g);
  }
  auto lower = parseGuid("{6b3f2a41-9c7d-4e52-a1b8-3d0e5f7c2a91}");
  ASSERT_TRUE(lower);
  EXPECT_TRUE(*lower == CLSID_dbClass);
  EXPECT_FALSE(CLSID_dbClass == CLSID_md5Class);
}

TEST(Guid, RejectsMalformedText) {
  for (const char* text : {
           "6B3F2A41-9C7D-4E52-A1B8-3D0E5F7C2A91",     // no braces
           "{6B3F2A41-9C7D-4E52-A1B8-3D0E5F7C2A9}",    // short
           "{6B3F2A41-9C7D-4E52-A1B8-3D0E5F7C2A911}",  // long
           "{6B3F2A41-9C7D-4E52-A1B83-D0E5F7C2A91}",   // hyphen misplaced
           "{6B3F2A4G-9C7D-4E52-A1B8-3D0E5F7C2A91}",   // not hex
           "{6B3F2A41-9C7D-4E52-A1B8-3D0E5F7C2A9 }",   // blank
           "",
       }) {
    EXPECT_FALSE(parseGuid(text)) << text;
  }
}

TEST(RegistryLine, Parse) {
  const std::string id = formatGuid(CLSID_dbClass);
  struct Case {
    std::string line;
    bool valid;
  } cases[] = {
      {"kvdnAspDll.dbClass\t" + id + "\t/opt/lib/libkvdnAspDll.so", true},
      {"kvdnAspDll.dbClass\t" + id + "\t/opt/lib/libkvdnAspDll.so\r", true},
      {"kvdnAspDll.dbClass\t" + id, false},
      {"kvdnAspDll.dbClass\t" + id + "\t/opt/lib/x.so\textra", false},
      {"\t" + id + "\t/opt/lib/x.so", false},
      {"kvdnAspDll.dbClass\t" + id + "\tlib/x.so", false},
      {"kvdnAspDll.dbClass\t" + id + "\t", false},
      {"kvdnAspDll.dbClass\tnot-a-guid\t/opt/lib/x.so", false},
      {"# kvdnAspDll.dbClass\t" + id, false},
      {"", false},
  };
  for (const auto& c : cases) {
    auto entry = parseRegistryLine(c.line);
    EXPECT_EQ(entry.has_value(), c.valid) << c.line;
    if (entry) {
      EXPECT_EQ(entry->progId, "kvdnAspDll.dbClass");
      EXPECT_TRUE(entry->clsid == CLSID_dbClass);
      EXPECT_EQ(entry->library, "/opt/lib/libkvdnAspDll.so");
    }
  }
}

TEST(RegistryLine, FormatRefusesWhatTheFormatCannotCarry) {
  EXPECT_EQ(formatRegistryLine({"kvdnAspDll.md5Class", CLSID_md5Class, "/l/a.so"}),
            "kvdnAspDll.md5Class\t{6B3F2A42-9C7D-4E52-A1B8-3D0E5F7C2A91}\t/l/a.so");
  for (const RegistryEntry& bad : std::vector<RegistryEntry>{
           {"", CLSID_dbClass, "/l/a.so"},
           {"a\tb", CLSID_dbClass, "/l/a.so"},
           {"a\nb", CLSID_dbClass, "/l/a.so"},
           {"a", CLSID_dbClass, "l/a.so"},
           {"a", CLSID_dbClass, "/l/a\tb.so"},
           {"a", CLSID_dbClass, "/l/a\nb.so"},
       }) {
    try {
      formatRegistryLine(bad);
      ADD_FAILURE() << "accepted " << bad.progId << " " << bad.library;
    } catch (const ComError& e) {
      EXPECT_EQ(e.number(), err::kInvalidCall);
    }
  }
}

TEST(RegistryFile, MissingFileHasNoEntries) {
  kvdn::testing::TempDir dir;
  EXPECT_TRUE(readRegistryFile(dir.path() / "none").empty());
}

TEST(RegistryFile, UpdateReplacesSameProgIdAndKeepsOtherLines) {
  kvdn::testing::TempDir dir;
  const auto file = dir.path() / "deep" / "er" / "registry";
  updateRegistryFile(file, {{"kvdnAspDll.dbClass", CLSID_dbClass, "/old/a.so"},
                            {"kvdnAspDll.md5Class", CLSID_md5Class, "/old/a.so"}});
  // Someone else's lines in between, and a comment.
  spit(file,
       slurp(file) + "# comment\nother.thing\t" + formatGuid(IID_IUnknown) + "\t/x/other.so\nnot an entry\n");

  updateRegistryFile(file, {{"KVDNASPDLL.DBCLASS", CLSID_dbClass, "/new/b.so"}});
  const std::string dbLine = "KVDNASPDLL.DBCLASS\t{6B3F2A41-9C7D-4E52-A1B8-3D0E5F7C2A91}\t/new/b.so\n";
  const std::string md5Line = "kvdnAspDll.md5Class\t{6B3F2A42-9C7D-4E52-A1B8-3D0E5F7C2A91}\t/old/a.so\n";
  const std::string foreign =
      "# comment\nother.thing\t{00000000-0000-0000-C000-000000000046}\t/x/other.so\n"
      "not an entry\n";
  EXPECT_EQ(slurp(file), md5Line + foreign + dbLine);

  auto entries = readRegistryFile(file);
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].progId, "kvdnAspDll.md5Class");
  EXPECT_EQ(entries[1].progId, "other.thing");
  EXPECT_EQ(entries[2].library, "/new/b.so");

  updateRegistryFile(file, {}, {"kvdnaspdll.md5class", "kvdnAspDll.dbClass"});
  EXPECT_EQ(slurp(file), foreign);
  // No temporary file is left behind.
  for (const auto& e : std::filesystem::directory_iterator(file.parent_path())) {
    EXPECT_EQ(e.path().filename().string().find(".tmp."), std::string::npos) << e.path();
  }
}

TEST(RegistryFile, RefusedEntryLeavesFileUntouched) {
  kvdn::testing::TempDir dir;
  const auto file = dir.path() / "registry";
  updateRegistryFile(file, {{"kvdnAspDll.dbClass", CLSID_dbClass, "/a.so"}});
  const std::string before = slurp(file);
  EXPECT_THROW(updateRegistryFile(file, {{"kvdnAspDll.md5Class", CLSID_md5Class, "/a.so"},
                                         {"kvdnAspDll.dbClass", CLSID_dbClass, "relative.so"}}),
               ComError);
  EXPECT_EQ(slurp(file), before);
}

TEST(RegistryFile, UnwritableFolderRaises) {
  kvdn::testing::TempDir dir;
  spit(dir.path() / "plain", "a file, not a folder");
  try {
    updateRegistryFile(dir.path() / "plain" / "registry", {{"kvdnAspDll.dbClass", CLSID_dbClass, "/a.so"}});
    ADD_FAILURE() << "no error";
  } catch (const ComError& e) {
    EXPECT_EQ(e.number(), err::kDbFail);
  }
}

TEST(RegistryFile, DefaultLocation) {
  struct Case {
    std::optional<std::string> explicitFile, xdg, home;
    std::string expected;
  } cases[] = {
      {"/r/file", "/x", "/h", "/r/file"},
      {"", "/x", "/h", "/x/kvdn/registry"},
      {std::nullopt, "/x", "/h", "/x/kvdn/registry"},
      {std::nullopt, "relative", "/h", "/h/.config/kvdn/registry"},
      {std::nullopt, std::nullopt, "/h", "/h/.config/kvdn/registry"},
  };
  for (const auto& c : cases) {
    ScopedEnv a("KVDN_REGISTRY_FILE", c.explicitFile);
    ScopedEnv b("XDG_CONFIG_HOME", c.xdg);
    ScopedEnv h("HOME", c.home);
    EXPECT_EQ(defaultRegistryFile(), c.expected) << c.expected;
  }
}

}  // namespace
}  // namespace kvdn::com
