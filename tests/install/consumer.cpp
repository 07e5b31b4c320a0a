// Uses the installed library as a page would: a database file made by
// createDBfile, filled through the connection, listed by dbSelect through the
// in-memory host. Prints the grid markup; exit status 1 with a message when
// anything raised.
//
//   kvdn_consumer SITE_FOLDER
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <memory>

#include "kvdn/db_class.h"
#include "kvdn/memory_host.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: " << argv[0] << " SITE_FOLDER\n";
    return 2;
  }
  try {
    const std::filesystem::path site = argv[1];
    std::filesystem::create_directories(site);
    kvdn::MemoryHost host(site);
    kvdn::PageRequest request;
    request.url = "/list.asp";
    auto page = host.newPage(request);

    auto db = std::make_shared<kvdn::DbClass>();
    db->OnStartPage(page);
    db->dbType = kvdn::Variant("access");
    db->database = kvdn::Variant("/app.mdb");
    if (!db->createDBfile().toBool()) {
      std::cerr << "createDBfile failed: " << page->output() << "\n";
      return 1;
    }
    db->connOpen();
    if (page->ended()) {
      std::cerr << "connOpen failed: " << page->output() << "\n";
      return 1;
    }
    db->conn->execute("create table 数据 (ID integer primary key autoincrement, 名称 text, 数量 integer)");
    db->conn->execute("insert into 数据 (名称, 数量) values ('甲', 3)");
    db->conn->execute("insert into 数据 (名称, 数量) values ('乙', 5)");
    const kvdn::Variant grid = db->dbSelect(
        kvdn::Variant("select ID, 名称, 数量 from 数据 order by ID"), kvdn::Variant(10), kvdn::Variant(1),
        kvdn::Variant(""), kvdn::Variant(0), kvdn::Variant(""), kvdn::Variant(0), kvdn::Variant("grid"));
    std::cout << grid.joinText() << "\n";
    db->OnEndPage();
    return 0;
  } catch (const kvdn::ComError& e) {
    std::cerr << "error " << e.number() << ": " << e.description() << "\n";
    return 1;
  }
}
