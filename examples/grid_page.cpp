// A first page: the rows of one table of your own SQLite file as a paged grid,
// served over HTTP. The file's folder is the site root; copy the page script
// (share/kvdnAspDll/site.js of the install, site/www/static/site.js here) into
// its static/ folder, which the host serves, so that the pager works.
//
//   kvdn-example-grid FOLDER/FILE.db TABLE [PORT]     (PORT 0: a free one)
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>

#include "kvdn/http_host.h"

int main(int argc, char** argv) {
  const std::string first = argc > 1 ? argv[1] : "";
  if (first == "--version") return std::cout << "kvdn-example-grid " KVDN_VERSION "\n", 0;
  if (first == "--help" || argc < 3 || argc > 4) {
    (first == "--help" ? std::cout : std::cerr) << "usage: kvdn-example-grid FOLDER/FILE.db TABLE [PORT]\n";
    return first == "--help" ? 0 : 2;
  }
  const std::filesystem::path file = std::filesystem::absolute(argv[1]);
  const std::string table = argv[2];
  kvdn::HttpHostOptions options;
  options.siteRoot = file.parent_path();
  options.port = argc == 4 ? std::atoi(argv[3]) : 8080;
  kvdn::HttpHost host(options);
  host.addPage("/", [&](kvdn::PageEnv& env) {
    env.db->dbType = "ACCESS";                          // the database file (SQLite)
    env.db->database = "/" + file.filename().string();  // site-relative, as Server.MapPath takes it
    env.db->connOpen();
    if (env.ended()) return;  // it could not open the file and wrote why
    // Column 0 is the key (not shown); 20 rows a page, numbered, no edit or
    // delete column, the pager, table class 'grid'.
    const kvdn::Variant grid =
        env.db->dbSelect("select rowid, * from [" + table + "] order by rowid", 20, 1, "", 0, "", 1, "grid");
    if (env.ended()) return;  // a failing statement wrote its report
    // The pager asks for "?ac=call&page=N" and puts the answer into #tableData.
    if (env.query("ac") == "call") return env.write(grid.joinText());
    env.write(
        "<!DOCTYPE html><html><head><meta charset='utf-8'><title>grid</title>"
        "<script src='/static/site.js'></script></head><body><div id='tableData'>" +
        grid.joinText() + "</div></body></html>");
  });
  if (!host.bind()) return 1;
  std::cout << "http://127.0.0.1:" << host.port() << "/" << std::endl;
  return host.serve() ? 0 : 1;
}
