// The HTTP page host: page objects over a real HTTP server, one dbClass per
// request. Pages are C++ functions registered by path.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "kvdn/export.h"
#include "kvdn/db_class.h"
#include "kvdn/page.h"

namespace kvdn {

// What a page function gets: its context and the dbClass object the host
// created for this request (through Server.CreateObject, bound with
// OnStartPage; OnEndPage runs after the page returns).
struct KVDN_API PageEnv {
  std::shared_ptr<ScriptingContext> context;
  std::shared_ptr<DbClass> db;

  Request& request() const { return *context->request(); }
  Response& response() const { return *context->response(); }
  Server& server() const { return *context->server(); }
  Session& session() const { return *context->session(); }
  // Shorthands.
  void write(std::string_view text) const { response().write(text); }
  // True once Response.End ran: the page must not go on (nothing it writes
  // reaches the client anyway).
  bool ended() const { return response().ended(); }
  // Sends a redirect (302) and ends the response.
  void redirect(const std::string& location) const;
  std::string query(std::string_view key) const { return request().queryString().item(key); }
  std::string form(std::string_view key) const { return request().form().item(key); }
};

using PageHandler = std::function<void(PageEnv&)>;

struct KVDN_API HttpHostOptions {
  std::filesystem::path siteRoot;  // must exist
  std::string address = "127.0.0.1";
  int port = 8080;  // 0 picks a free port
  int threads = 8;  // worker threads
  // Folders below the site root served as static files (never the database).
  std::vector<std::string> staticFolders = {"static"};
  // A session idle longer than this is dropped (the visitor gets a new one).
  std::chrono::milliseconds sessionTimeout = std::chrono::minutes(20);
};

class KVDN_API HttpHost {
 public:
  explicit HttpHost(HttpHostOptions options);
  ~HttpHost();
  HttpHost(const HttpHost&) = delete;
  HttpHost& operator=(const HttpHost&) = delete;

  ClassRegistry& classes();
  // Registers a page for GET and POST at an exact path, e.g. "/admin/user.asp".
  void addPage(const std::string& path, PageHandler handler);
  // Binds the socket; returns false (with a message on stderr) when it cannot.
  bool bind();
  int port() const;
  // Serves until stop(). bind() first.
  bool serve();
  void stop();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace kvdn
