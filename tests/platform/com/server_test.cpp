// The class factory and instances of the copy linked into this program.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "kvdn/com.h"
#include "kvdn/db_class.h"
#include "support/site_fixture.h"

namespace kvdn::com {
namespace {

IClassFactory* factoryFor(const CLSID& clsid) {
  void* raw = nullptr;
  EXPECT_EQ(DllGetClassObject(clsid, IID_IClassFactory, &raw), S_OK);
  return static_cast<IClassFactory*>(raw);
}

TEST(ComServer, GetClassObjectRefusals) {
  void* raw = reinterpret_cast<void*>(1);
  EXPECT_EQ(DllGetClassObject(IID_IKvdnObject, IID_IClassFactory, &raw), CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(raw, nullptr);
  raw = reinterpret_cast<void*>(1);
  EXPECT_EQ(DllGetClassObject(CLSID_dbClass, IID_IKvdnObject, &raw), E_NOINTERFACE);
  EXPECT_EQ(raw, nullptr);
  EXPECT_EQ(DllGetClassObject(CLSID_dbClass, IID_IClassFactory, nullptr), E_POINTER);
  EXPECT_EQ(DllCanUnloadNow(), S_OK);  // the refused factory did not leak
}

TEST(ComServer, InstancesReachTheLateBindingObject) {
  for (const CLSID& clsid : {CLSID_dbClass, CLSID_md5Class}) {
    IClassFactory* factory = factoryFor(clsid);
    ASSERT_NE(factory, nullptr);
    void* raw = nullptr;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IKvdnObject, &raw), S_OK);
    factory->Release();
    auto* instance = static_cast<IKvdnObject*>(raw);
    ASSERT_NE(instance->object(), nullptr);
    if (clsid == CLSID_dbClass) {
      EXPECT_NE(dynamic_cast<DbClass*>(instance->object()), nullptr);
    } else {
      EXPECT_NE(dynamic_cast<Md5Class*>(instance->object()), nullptr);
    }

    // IUnknown identity: the same pointer whichever interface asked.
    void* unknown = nullptr;
    ASSERT_EQ(instance->QueryInterface(IID_IUnknown, &unknown), S_OK);
    EXPECT_EQ(unknown, static_cast<void*>(static_cast<IUnknown*>(instance)));
    EXPECT_EQ(static_cast<IUnknown*>(unknown)->Release(), 1u);
    void* none = reinterpret_cast<void*>(1);
    EXPECT_EQ(instance->QueryInterface(IID_IClassFactory, &none), E_NOINTERFACE);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(instance->Release(), 0u);
  }
  EXPECT_EQ(DllCanUnloadNow(), S_OK);
}

TEST(ComServer, PropertiesThroughTheInstance) {
  IClassFactory* factory = factoryFor(CLSID_dbClass);
  void* raw = nullptr;
  ASSERT_EQ(factory->CreateInstance(nullptr, IID_IKvdnObject, &raw), S_OK);
  factory->Release();
  auto* instance = static_cast<IKvdnObject*>(raw);
  instance->object()->setProperty("DBTYPE", Variant("access"));
  EXPECT_EQ(instance->object()->getProperty("dbType").str(), "access");
  EXPECT_TRUE(instance->object()->getProperty("database").isEmpty());
  instance->Release();
}

TEST(ComServer, CreateInstanceRefusals) {
  IClassFactory* factory = factoryFor(CLSID_dbClass);
  ASSERT_NE(factory, nullptr);
  void* raw = reinterpret_cast<void*>(1);
  EXPECT_EQ(factory->CreateInstance(factory, IID_IKvdnObject, &raw), CLASS_E_NOAGGREGATION);
  EXPECT_EQ(raw, nullptr);
  raw = reinterpret_cast<void*>(1);
  EXPECT_EQ(factory->CreateInstance(nullptr, IID_IClassFactory, &raw), E_NOINTERFACE);
  EXPECT_EQ(raw, nullptr);
  EXPECT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, nullptr), E_POINTER);
  factory->Release();
  // The instance made for the refused interface was deleted again.
  EXPECT_EQ(DllCanUnloadNow(), S_OK);
}

TEST(ComServer, CanUnloadOnlyWithoutObjectsAndLocks) {
  ASSERT_EQ(DllCanUnloadNow(), S_OK);
  IClassFactory* factory = factoryFor(CLSID_md5Class);
  EXPECT_EQ(DllCanUnloadNow(), S_FALSE);  // the factory itself counts

  void* raw = nullptr;
  ASSERT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, &raw), S_OK);
  EXPECT_EQ(factory->LockServer(1), S_OK);
  EXPECT_EQ(factory->Release(), 0u);
  EXPECT_EQ(DllCanUnloadNow(), S_FALSE);  // instance and lock

  auto* instance = static_cast<IUnknown*>(raw);
  EXPECT_EQ(instance->AddRef(), 2u);
  EXPECT_EQ(instance->Release(), 1u);
  EXPECT_EQ(instance->Release(), 0u);
  EXPECT_EQ(DllCanUnloadNow(), S_FALSE);  // the lock alone

  factory = factoryFor(CLSID_md5Class);
  EXPECT_EQ(factory->LockServer(0), S_OK);
  EXPECT_EQ(factory->LockServer(0), E_UNEXPECTED);  // more unlocks than locks
  factory->Release();
  EXPECT_EQ(DllCanUnloadNow(), S_OK);
}

TEST(ComServer, RegisteringAProgramIsRefused) {
  // This copy is linked into the test program: there is no library to name.
  kvdn::testing::TempDir dir;
  const auto file = dir.path() / "registry";
  ::setenv("KVDN_REGISTRY_FILE", file.c_str(), 1);
  EXPECT_EQ(DllRegisterServer(), SELFREG_E_CLASS);
  EXPECT_FALSE(std::filesystem::exists(file));
  EXPECT_EQ(DllUnregisterServer(), S_OK);  // nothing to remove
  ::unsetenv("KVDN_REGISTRY_FILE");
}

}  // namespace
}  // namespace kvdn::com
