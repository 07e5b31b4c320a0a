// The installed library: dlopen, self-registration and creation by ProgID
// through the registry file. The objects come from a separate copy of the
// library's code and are used only through the Object virtual functions.
#include "loader.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <link.h>

#include <cstdlib>
#include <fstream>

#include "kvdn/error.h"
#include "kvdn/memory_host.h"
#include "registry_file.h"
#include "support/site_fixture.h"

namespace kvdn::com {
namespace {

const std::filesystem::path kLibrary = std::filesystem::path(KVDN_BINARY_DIR) / "lib" / "libkvdnAspDll.so";

class InstalledLibrary : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(std::filesystem::exists(kLibrary)) << kLibrary << " is missing: build the kvdnAspDll target";
    handle = ::dlopen(kLibrary.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle, nullptr) << ::dlerror();
    registerServer = reinterpret_cast<DllRegisterServerFn>(::dlsym(handle, "DllRegisterServer"));
    unregisterServer = reinterpret_cast<DllUnregisterServerFn>(::dlsym(handle, "DllUnregisterServer"));
    canUnloadNow = reinterpret_cast<DllCanUnloadNowFn>(::dlsym(handle, "DllCanUnloadNow"));
    ASSERT_TRUE(registerServer && unregisterServer && canUnloadNow);
    registryFile = dir.path() / "config" / "registry";
    ::setenv("KVDN_REGISTRY_FILE", registryFile.c_str(), 1);
  }
  void TearDown() override {
    ::unsetenv("KVDN_REGISTRY_FILE");
    // Never dlclose: the loader keeps the library for the process's life.
  }

  kvdn::testing::TempDir dir;
  std::filesystem::path registryFile;
  void* handle = nullptr;
  DllRegisterServerFn registerServer = nullptr;
  DllUnregisterServerFn unregisterServer = nullptr;
  DllCanUnloadNowFn canUnloadNow = nullptr;
};

TEST_F(InstalledLibrary, RegistersItselfAndUnregisters) {
  std::filesystem::create_directories(registryFile.parent_path());
  std::ofstream(registryFile) << "other.class\t{00000000-0000-0000-C000-000000000046}\t/x/other.so\n";

  ASSERT_EQ(registerServer(), S_OK);
  ASSERT_EQ(registerServer(), S_OK);  // again: replaces, does not add
  auto entries = readRegistryFile(registryFile);
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].progId, "other.class");
  EXPECT_EQ(entries[1].progId, "kvdnAspDll.dbClass");
  EXPECT_TRUE(entries[1].clsid == CLSID_dbClass);
  EXPECT_EQ(entries[2].progId, "kvdnAspDll.md5Class");
  EXPECT_TRUE(entries[2].clsid == CLSID_md5Class);
  EXPECT_EQ(entries[1].library, std::filesystem::canonical(kLibrary));
  EXPECT_EQ(entries[2].library, entries[1].library);

  ASSERT_EQ(unregisterServer(), S_OK);
  entries = readRegistryFile(registryFile);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].progId, "other.class");
}

TEST_F(InstalledLibrary, CreatesByProgIdAndBindsLate) {
  ASSERT_EQ(registerServer(), S_OK);
  ClassRegistry registry;
  EXPECT_EQ(registerFromRegistryFile(registry, registryFile), 2u);
  ASSERT_EQ(canUnloadNow(), S_OK);  // nothing loaded yet
  {
    ObjectPtr db = registry.create("KVDNASPDLL.DBCLASS");
    ASSERT_NE(db, nullptr);
    EXPECT_EQ(canUnloadNow(), S_FALSE);

    db->setProperty("dbType", Variant("access"));
    EXPECT_EQ(db->getProperty("DBTYPE").str(), "access");
    EXPECT_TRUE(db->getProperty("sqluid").isEmpty());

    std::vector<Variant> args{Variant(1)};
    Variant notice = db->invoke("softFabuInfo", args);
    ASSERT_TRUE(notice.isString());
    EXPECT_EQ(notice.str(), "");

    // An error raised by the loaded copy reaches us as our ComError.
    std::vector<Variant> none;
    try {
      db->invoke("noSuchMethod", none);
      ADD_FAILURE() << "no error";
    } catch (const ComError& e) {
      EXPECT_EQ(e.number(), err::kNotSupported);
    }
    try {
      db->invoke("findTableName", none);
      ADD_FAILURE() << "no error";
    } catch (const ComError& e) {
      EXPECT_EQ(e.number(), err::kWrongArgCount);
    }

    // Page binding with this program's page objects.
    kvdn::testing::TempDir site;
    MemoryHost host(site.path());
    auto page = host.newPage({});
    std::vector<Variant> ctx{Variant(page)};
    db->invoke("OnStartPage", ctx);
    db->invoke("OnEndPage", none);
  }
  EXPECT_EQ(canUnloadNow(), S_OK);  // the last ObjectPtr released the instance

  ObjectPtr md5 = registry.create("kvdnAspDll.md5Class");
  ASSERT_NE(md5, nullptr);
  std::vector<Variant> text{Variant("abc")};
  EXPECT_EQ(md5->invoke("MD5", text).str(), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_THROW(md5->getProperty("dbType"), ComError);
}

TEST_F(InstalledLibrary, ErrorsOfLoading) {
  // A real library without our exports: the C library this program runs on.
  std::string libc;
  ::dl_iterate_phdr(
      [](dl_phdr_info* info, size_t, void* out) {
        std::string name = info->dlpi_name ? info->dlpi_name : "";
        if (name.find("/libc.so") == std::string::npos) return 0;
        *static_cast<std::string*>(out) = name;
        return 1;
      },
      &libc);
  ASSERT_FALSE(libc.empty());
  struct Case {
    std::filesystem::path library;
    CLSID clsid;
    HRESULT expected;
  } cases[] = {
      {dir.path() / "missing.so", CLSID_dbClass, HRESULT_MOD_NOT_FOUND},
      {kLibrary, IID_IKvdnObject, CLASS_E_CLASSNOTAVAILABLE},
      {libc, CLSID_dbClass, CO_E_ERRORINDLL},
  };
  for (const auto& c : cases) {
    try {
      createFromLibrary(c.library, c.clsid);
      ADD_FAILURE() << c.library;
    } catch (const ComError& e) {
      EXPECT_EQ(e.number(), c.expected) << c.library << ": " << e.description();
    }
  }
}

TEST_F(InstalledLibrary, RegistryEntryForAMissingLibraryFailsOnCreate) {
  updateRegistryFile(registryFile, {{"kvdnAspDll.dbClass", CLSID_dbClass, dir.path() / "gone.so"}});
  ClassRegistry registry;
  registry.add("kvdnAspDll.dbClass", [] { return ObjectPtr(); });
  EXPECT_EQ(registerFromRegistryFile(registry, registryFile), 1u);  // replaces the factory
  try {
    registry.create("kvdnAspDll.dbClass");
    ADD_FAILURE() << "created";
  } catch (const ComError& e) {
    EXPECT_EQ(e.number(), HRESULT_MOD_NOT_FOUND);
    EXPECT_NE(e.description().find("gone.so"), std::string::npos) << e.description();
  }
}

}  // namespace
}  // namespace kvdn::com
