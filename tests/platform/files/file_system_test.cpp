// The file-system object: effects and error numbers, by call and by name.
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <iterator>

#include "kvdn/files.h"
#include "support/errors.h"
#include "support/site_fixture.h"

namespace kvdn {
namespace {

using ::kvdn::testing::errorOf;

namespace fs = std::filesystem;

class FileSystemTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = std::make_unique<testing::TempDir>();
    fso = makeLocalFileSystem();
  }
  std::string at(const char* name) const { return (dir->path() / name).string(); }
  void write(const char* name, const std::string& text) const { std::ofstream(dir->path() / name) << text; }
  std::string read(const char* name) const {
    std::ifstream in(dir->path() / name);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  std::unique_ptr<testing::TempDir> dir;
  std::shared_ptr<FileSystemObject> fso;
};

TEST_F(FileSystemTest, CopyReplacesMoveRefusesDeleteRemoves) {
  write("a.txt", "new");
  write("b.txt", "old");
  fso->copyFile(at("a.txt"), at("b.txt"));
  EXPECT_EQ(read("b.txt"), "new");
  fso->moveFile(at("b.txt"), at("c.txt"));
  EXPECT_FALSE(fso->fileExists(at("b.txt")));
  EXPECT_EQ(read("c.txt"), "new");
  fso->deleteFile(at("c.txt"));
  EXPECT_FALSE(fso->fileExists(at("c.txt")));
  fs::create_directory(dir->path() / "folder");
  EXPECT_FALSE(fso->fileExists(at("folder")));  // a folder is not a file
  EXPECT_FALSE(fso->fileExists(""));
}

TEST_F(FileSystemTest, FailuresCarryTheRuntimeNumbers) {
  write("a.txt", "a");
  write("b.txt", "b");
  struct Case {
    const char* what;
    std::function<void()> call;
    int number;
  } cases[] = {
      {"copy from nothing", [&] { fso->copyFile(at("none"), at("x")); }, err::kFileNotFound},
      {"copy into a missing folder", [&] { fso->copyFile(at("a.txt"), at("no/x")); }, err::kPathNotFound},
      {"copy onto itself", [&] { fso->copyFile(at("a.txt"), at("a.txt")); }, err::kPermissionDenied},
      {"delete nothing", [&] { fso->deleteFile(at("none")); }, err::kFileNotFound},
      {"move onto a file", [&] { fso->moveFile(at("a.txt"), at("b.txt")); }, err::kFileAlreadyExists},
      {"move nothing", [&] { fso->moveFile(at("none"), at("y")); }, err::kFileNotFound},
      {"folder that is not there", [&] { fso->getFolder(at("none")); }, err::kPathNotFound},
  };
  for (const auto& c : cases) EXPECT_EQ(errorOf(c.call), c.number) << c.what;
  EXPECT_EQ(read("a.txt"), "a");
  EXPECT_EQ(read("b.txt"), "b");
}

TEST_F(FileSystemTest, FolderListsFilesOnlyInNameOrder) {
  for (const char* name : {"b.bak", "A.bak", "c.mdb", "a2.bak"}) write(name, "x");
  fs::create_directory(dir->path() / "sub");
  std::vector<std::string> names;
  for (const auto& f : fso->getFolder(dir->path().string())->files()) names.push_back(f->name());
  EXPECT_EQ(names, (std::vector<std::string>{"A.bak", "a2.bak", "b.bak", "c.mdb"}));
}

TEST_F(FileSystemTest, LateBindingAsAPageCallsIt) {
  write("a.txt", "a");
  write("b.txt", "b");
  std::vector<Variant> args{Variant(at("a.txt"))};
  EXPECT_TRUE(fso->invoke("fileexists", args).boolean());
  args = {Variant(at("a.txt")), Variant(at("b.txt")), Variant(false)};
  EXPECT_EQ(errorOf([&] { fso->invoke("CopyFile", args); }), err::kFileAlreadyExists);
  args = {Variant(at("a.txt")), Variant(at("b.txt"))};
  fso->invoke("COPYFILE", args);
  EXPECT_EQ(read("b.txt"), "a");
  args = {Variant(dir->path().string())};
  Variant folder = fso->invoke("GetFolder", args);
  Variant files = folder.object()->getProperty("Files");
  EXPECT_EQ(files.object()->getProperty("Count").toInt32(), 2);
  args = {Variant("B.TXT")};
  EXPECT_EQ(files.object()->invoke("Item", args).object()->getProperty("Name").joinText(), "b.txt");
  args = {};
  EXPECT_EQ(errorOf([&] { fso->invoke("DeleteFile", args); }), err::kWrongArgCount);
  EXPECT_EQ(errorOf([&] { fso->invoke("CreateFolder", args); }), err::kNotSupported);
}

}  // namespace
}  // namespace kvdn
