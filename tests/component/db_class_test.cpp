#include "kvdn/db_class.h"

#include <gtest/gtest.h>

#include <functional>

#include "support/errors.h"
#include "support/site_fixture.h"

namespace kvdn {
namespace {

using ::kvdn::testing::errorOf;

using testing::SiteFixture;

class DbClassTest : public SiteFixture {};

TEST_F(DbClassTest, FreshObjectPropertiesAreEmpty) {
  DbClass db;
  std::vector<Variant> none;
  for (const char* name : {"dbType", "database", "sqlservername", "sqluid", "sqlpwd"}) {
    EXPECT_TRUE(db.getProperty(name).isEmpty()) << name;
  }
  Variant conn = db.getProperty("CONN");
  ASSERT_TRUE(conn.isObject());
  EXPECT_EQ(conn.object(), nullptr);
  db.setProperty("DBTYPE", Variant("access"));
  EXPECT_EQ(db.dbType.joinText(), "access");
  EXPECT_EQ(errorOf([&] { db.getProperty("nothing"); }), err::kNotSupported);
  EXPECT_EQ(errorOf([&] { db.invoke("connOpen", none); }), err::kObjectNotSet);
  std::vector<Variant> one{Variant("x")};
  EXPECT_EQ(errorOf([&] { db.invoke("connOpen", one); }), err::kWrongArgCount);
}

TEST_F(DbClassTest, BindingStoresAndReleasesPageObjects) {
  auto context = host->newPage({});
  DbClass db;
  db.OnStartPage(context);
  EXPECT_EQ(db.requestValue(), context->request());
  EXPECT_EQ(db.responseValue(), context->response());
  EXPECT_EQ(db.serverValue(), context->server());
  EXPECT_EQ(db.sessionValue(), context->session());
  EXPECT_EQ(db.applicationValue(), context->application());
  // Never connected: the release still happens and is not a failure.
  db.OnEndPage();
  EXPECT_FALSE(db.boundToPage());
  EXPECT_EQ(db.requestValue(), nullptr);
  EXPECT_EQ(db.responseValue(), nullptr);
  EXPECT_EQ(db.serverValue(), nullptr);
  EXPECT_EQ(db.sessionValue(), nullptr);
  EXPECT_EQ(db.applicationValue(), nullptr);
}

}  // namespace
}  // namespace kvdn
