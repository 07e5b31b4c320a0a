// The member tables of every class against the type library the Windows DLL
// embeds (platform/windows/kvdnAspDll.idl): the same members with the same
// DISPIDs, kinds, argument counts and by-reference arguments, so that what
// an object browser or TypeName reads is what the objects answer. And the
// late binding answers exactly its table: names outside it raise 438,
// argument counts outside a member's raise 450.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "kvdn/db_class.h"
#include "kvdn/error.h"
#include "kvdn/page.h"
#include "support/site_fixture.h"

namespace kvdn {
namespace {

// One object of every class that a page can reach, found the way a page
// reaches them (Fields, Field, Folder, Files and File are not creatable).
std::vector<ObjectPtr> everyClass(const std::filesystem::path& dir) {
  ClassRegistry registry;
  registerStandardClasses(registry);
  std::vector<ObjectPtr> out{std::make_shared<DbClass>(), std::make_shared<Md5Class>()};
  for (const char* progId :
       {"adodb.connection", "adodb.recordset", "scripting.filesystemobject", "adox.catalog", "jro.jetengine"})
    out.push_back(registry.create(progId));
  const std::string file = (dir / "t.mdb").string();
  std::vector<Variant> args{Variant("Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" + file)};
  registry.create("adox.catalog")->invoke("Create", args);
  ObjectPtr conn = registry.create("adodb.connection");
  args = {Variant("Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" + file)};
  conn->invoke("Open", args);
  args = {Variant("select 1 as a")};
  ObjectPtr fields = conn->invoke("Execute", args).toObject()->getProperty("Fields").toObject();
  args = {Variant(0)};
  out.push_back(fields);
  out.push_back(fields->invoke("Item", args).toObject());
  args = {Variant(dir.string())};
  ObjectPtr folder = registry.create("scripting.filesystemobject")->invoke("GetFolder", args).toObject();
  ObjectPtr files = folder->getProperty("Files").toObject();
  args = {Variant("t.mdb")};
  out.push_back(folder);
  out.push_back(files);
  out.push_back(files->invoke("Item", args).toObject());
  return out;
}

// What the type library declares of one member.
struct Declared {
  std::int32_t id = 0;
  std::uint8_t kinds = 0;
  int minArgs = 0, maxArgs = 0;
  std::uint16_t byRef = 0;
};

// dispinterface name -> member name -> what it declares. A property put's
// last argument (the value) is not counted.
std::map<std::string, std::map<std::string, Declared>> readIdl(const std::string& text) {
  std::map<std::string, std::map<std::string, Declared>> out;
  const std::regex interfaceLine(R"(^\s*dispinterface (\w+)\s*$)");
  const std::regex memberLine(
      R"(^\s*\[id\((-?\d+)\)(?:, (propget|propputref|propput))?[^\]]*\] \w+\*? (\w+)\((.*)\);)");
  std::istringstream in(text);
  std::string line, current;
  std::smatch m;
  while (std::getline(in, line)) {
    if (std::regex_match(line, m, interfaceLine)) {
      current = m[1];
      out[current];
      continue;
    }
    if (current.empty() || !std::regex_search(line, m, memberLine)) continue;
    Declared& d = out[current][m[3]];
    d.id = std::stoi(m[1]);
    const std::string kind = m[2];
    d.kinds |= kind == "propget"      ? Member::kGet
               : kind == "propput"    ? Member::kLet
               : kind == "propputref" ? Member::kSet
                                      : Member::kMethod;
    std::vector<std::string> params;
    const std::string list = m[4];
    for (std::size_t at = list.find('['); at != std::string::npos; at = list.find('[', at + 1))
      params.push_back(list.substr(at, list.find(']', at) - at));
    if (kind == "propput" || kind == "propputref") params.pop_back();
    d.maxArgs = static_cast<int>(params.size());
    d.minArgs = 0;
    for (std::size_t i = 0; i < params.size(); ++i) {
      if (params[i].find("optional") == std::string::npos) d.minArgs = static_cast<int>(i) + 1;
      if (params[i].find("out") != std::string::npos) d.byRef |= static_cast<std::uint16_t>(1u << i);
    }
  }
  return out;
}

TEST(TypeLibrary, DeclaresEveryClassAsItsMemberTable) {
  testing::TempDir dir;
  std::ifstream file(std::string(KVDN_SOURCE_DIR) + "/platform/windows/kvdnAspDll.idl");
  ASSERT_TRUE(file) << "platform/windows/kvdnAspDll.idl";
  std::stringstream text;
  text << file.rdbuf();
  auto idl = readIdl(text.str());

  std::size_t classes = 0;
  for (const ObjectPtr& object : everyClass(dir.path())) {
    const MemberTable& table = object->members();
    SCOPED_TRACE(std::string(table.className()));
    ASSERT_TRUE(idl.count(std::string(table.className()))) << "no dispinterface of that name";
    auto declared = idl[std::string(table.className())];
    idl.erase(std::string(table.className()));
    ++classes;
    std::map<std::int32_t, std::string> ids;
    for (const Member& m : table.members()) {
      SCOPED_TRACE(std::string(m.name));
      EXPECT_TRUE(ids.emplace(m.id, std::string(m.name)).second) << "id " << m.id << " twice";
      EXPECT_EQ(table.find(asciiUpper(m.name)), &m) << "names must be unique, letter case ignored";
      ASSERT_TRUE(declared.count(std::string(m.name))) << "not in the type library";
      const Declared d = declared[std::string(m.name)];
      declared.erase(std::string(m.name));
      EXPECT_EQ(d.id, m.id);
      // A get that is also a method is declared as the get.
      const std::uint8_t kinds = (m.kinds & Member::kGet) ? m.kinds & ~Member::kMethod : m.kinds;
      EXPECT_EQ(d.kinds, kinds);
      EXPECT_EQ(d.minArgs, m.minArgs);
      EXPECT_EQ(d.maxArgs, m.maxArgs);
      EXPECT_EQ(d.byRef, m.byRef);
    }
    for (const auto& [name, d] : declared) ADD_FAILURE() << name << " is declared but not in the table";
  }
  EXPECT_EQ(classes, 12u);
  for (const auto& [name, members] : idl) ADD_FAILURE() << "dispinterface " << name << " has no class";
}

// Every binding answers its table and nothing else: names made from the
// members' own (a letter added or dropped, a neighbour's name) are refused
// with 438 by all three calls; a member called with one argument too many
// (or too few) is refused with 450 before anything runs.
TEST(TypeLibrary, LateBindingAnswersOnlyItsTable) {
  testing::TempDir dir;
  for (const ObjectPtr& object : everyClass(dir.path())) {
    const MemberTable& table = object->members();
    SCOPED_TRACE(std::string(table.className()));
    for (const Member& m : table.members()) {
      SCOPED_TRACE(std::string(m.name));
      for (const std::string& name :
           {std::string(m.name) + "x", std::string(m.name).substr(1), std::string(m.name) + " "}) {
        if (table.find(name)) continue;
        std::vector<Variant> args(m.maxArgs);
        const auto number = [](auto&& call) {
          try {
            call();
          } catch (const ComError& e) {
            return e.number();
          }
          return 0;
        };
        EXPECT_EQ(number([&] { object->invoke(name, args); }), err::kNotSupported) << name;
        EXPECT_EQ(number([&] { object->getProperty(name); }), err::kNotSupported) << name;
        EXPECT_EQ(number([&] { object->setProperty(name, Variant()); }), err::kNotSupported) << name;
      }
      if (m.kinds & Member::kMethod) {
        std::vector<Variant> tooMany(m.maxArgs + 1u);
        EXPECT_THROW(
            {
              try {
                object->invoke(m.name, tooMany);
              } catch (const ComError& e) {
                EXPECT_EQ(e.number(), err::kWrongArgCount);
                throw;
              }
            },
            ComError);
        if (m.minArgs > 0) {
          std::vector<Variant> tooFew(m.minArgs - 1u);
          try {
            object->invoke(m.name, tooFew);
            ADD_FAILURE() << "too few arguments accepted";
          } catch (const ComError& e) {
            EXPECT_EQ(e.number(), err::kWrongArgCount);
          }
        }
      }
    }
  }
}

}  // namespace
}  // namespace kvdn
