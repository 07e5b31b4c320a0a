// connOpen / connClose: the object's one database connection.
#include <string>

#include "helpers/trap.h"
#include "kvdn/db_class.h"

namespace kvdn {

void DbClass::connOpen() {
  const std::string kind = asciiUpper(dbType.joinText());
  if (kind == "SQL") {
    connString_ =
        Variant("Provider=sqloledb; server=" + sqlservername.joinText() + ";uid=" + sqluid.joinText() +
                ";pwd=" + sqlpwd.joinText() + ";database=" + database.joinText());
  }
  std::string accessFile;
  if (kind == "ACCESS") {
    accessFile = server().mapPath(database.joinText());
    connString_ = Variant("Provider=Microsoft.Jet.OLEDB.4.0; Data source=" + accessFile);
  }
  // Creation failures (and MapPath above) go to the page untrapped.
  std::shared_ptr<Connection> fresh;
  if (kind == "ACCESS" && accessMaker_) fresh = accessMaker_(accessFile);
  madeConn_ = fresh;
  if (!fresh) fresh = create<Connection>("adodb.Connection");
  // A connection that is only released would stay open until the object
  // dies; under load that leaks database handles, so close it first.
  std::shared_ptr<Connection> previous = std::move(conn);
  conn = fresh;
  if (previous && previous->isOpen()) {
    // The old connection is being dropped anyway; its close failure must
    // not stand in the way of the new open.
    trap::keepGoing([&] { previous->close(); });
  }
  try {
    // Each property becomes one attribute of the string: a ";" in one would
    // end it and start another (a server, a database of the value's
    // choosing), whichever way it were quoted for the driver.
    if (kind == "SQL") {
      for (const auto& [name, value] :
           {std::pair<const char*, const Variant*>{"sqlservername", &sqlservername},
            {"sqluid", &sqluid},
            {"sqlpwd", &sqlpwd},
            {"database", &database}}) {
        if (value->joinText().find(';') != std::string::npos)
          raise(err::kDbFail,
                std::string("The value of ") + name +
                    " holds a ';', which a driver may read as the start of another attribute: refused");
      }
    }
    conn->open(connString_.joinText(), "", "", adCmdUnspecified);
  } catch (const ComError& e) {
    response().write("数据库打开失败！<br>" + std::to_string(e.number()) + "<br>" + e.description());
    response().end();
  }
}

void DbClass::connClose() {
  connection().close();  // raises 91 when nothing, the provider's error when not open
  conn.reset();
}

}  // namespace kvdn
