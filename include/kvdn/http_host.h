// The HTTP page host: page objects over a real HTTP server, one dbClass per
// request. Pages are C++ functions registered by path.
//
// The server is event-driven (libmicrohttpd, epoll, a small pool of worker
// threads): idle kept-alive connections and clients that send their headers
// slowly cost a socket and a little memory each, never a thread. Pages run
// on page threads of their own (the connection waits, suspended), so a page
// that waits on the database delays no other connection.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "kvdn/db_class.h"
#include "kvdn/export.h"
#include "kvdn/page.h"
#include "kvdn/session_store.h"

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
  // Adds a header to the answer ("Content-Type" replaces the page's type,
  // text/html). Names and values must hold no line breaks (refused: the
  // call then does nothing). The page goes on.
  void header(std::string_view name, std::string_view value) const;
  // Sends a redirect (302) and ends the response.
  void redirect(const std::string& location) const;
  // The HTTP status of the answer (200 unless set); the page goes on.
  void status(int code) const;
  // Gives the visitor a new session id and an empty session, dropping the
  // old one: call at login before storing the user, so that an id planted
  // before the login (a fixed cookie) never becomes a logged-in session.
  void renewSession() const;
  std::string query(std::string_view key) const { return request().queryString().item(key); }
  std::string form(std::string_view key) const { return request().form().item(key); }
};

using PageHandler = std::function<void(PageEnv&)>;

// One answered request, for an operator's request log.
struct RequestRecord {
  std::chrono::system_clock::time_point time;  // when the request arrived
  std::string address;                         // the peer's own address
  std::string user;                            // the session value named by logUserKey ("" if none)
  std::string method;
  std::string path;  // without the query
  int status = 0;
  long long milliseconds = 0;  // from arrival to the answer queued
  // Records dropped since the one before this (the log fell behind and
  // its backlog was full).
  long long droppedBefore = 0;
};

// 128 bits from the kernel's cryptographic generator as 32 hex digits (the
// session ids; pages use it for their own secrets). Raises
// err::kCannotCreate when the kernel gives none.
KVDN_API std::string newRandomId();

struct KVDN_API HttpHostOptions {
  std::filesystem::path siteRoot;  // must exist
  std::string address = "127.0.0.1";
  int port = 8080;    // 0 picks a free port
  int threads = 8;    // page threads: pages running at once
  int ioThreads = 2;  // server threads reading requests and sending answers
  // A page whose last runs took at most this many microseconds on average
  // (and no single one much longer), asked without a form, runs on the
  // server thread that read the request instead of a page thread: no hand
  // over and back. A page's first runs, any form, and a page that has begun
  // to take longer go to the page threads, so a page that waits holds a
  // server thread for one run at most. 0: every page on a page thread. The
  // answers are the same either way.
  std::uint32_t inlinePageMicros = 500;
  // The names the site is reached by (any letter case, without the port):
  // a request whose Host header names another (or none) is answered 421
  // before any page runs, so that a page on another site whose name was
  // rebound to this server's address cannot drive a visitor's browser
  // against it. Empty: any Host is taken.
  std::vector<std::string> hostNames;
  // Folders below the site root served as static files (never the database).
  std::vector<std::string> staticFolders = {"static"};
  // A session idle longer than this is dropped (the visitor gets a new one).
  std::chrono::milliseconds sessionTimeout = std::chrono::minutes(20);
  // At most this many sessions are kept; a new one past it replaces the
  // least recently used. A session exists only once a page stores a value.
  std::size_t maxSessions = 10000;
  // The session value that names the visitor's account ("" for none): an
  // account keeps at most maxSessionsPerOwner sessions (its least recently
  // used one goes), and no account's live session is dropped to make room
  // for another (see makeMemorySessionStore).
  std::string sessionOwnerKey;
  std::size_t maxSessionsPerOwner = 20;
  // Where sessions are kept; unset: in this process's memory (sessionTimeout
  // and maxSessions apply). A database store (makeDatabaseSessionStore)
  // lets several processes serve one site.
  std::shared_ptr<SessionStore> sessionStore;
  // Request bodies (URL-encoded forms) up to this many bytes reach the page;
  // a longer one is answered 413 before any page runs. Bodies of any other
  // type are read and dropped (pages see only URL-encoded forms).
  std::size_t maxBodyBytes = 8 * 1024 * 1024;
  // Fields (key=value pairs) of the query string and the form together; a
  // request with more is answered 413 before any page runs. Forms are
  // parsed on the page threads, never on the server's.
  std::size_t maxFormFields = 5000;
  // Bytes of form bodies held at once by all requests not yet answered,
  // counted by their Content-Length as soon as the headers are in (as they
  // arrive when there is none). A request that would pass it is answered
  // 503 at once, its body unread.
  std::size_t maxBodyBytesInFlight = 128 * 1024 * 1024;
  // A body longer than this is written to an unnamed temporary file in
  // `tempFolder` as it arrives instead of being kept in memory, so that
  // slow senders of large forms hold disk, not memory. "" is the system's
  // folder ($TMPDIR, else /tmp).
  std::size_t bodyInMemoryBytes = 64 * 1024;
  std::filesystem::path tempFolder;
  // Open connections at most (the process's file limit must allow them);
  // a connection quiet this long, idle or half-sent, is closed.
  unsigned maxConnections = 4000;
  // Open connections from one peer address at most: a further one is
  // closed at once (by up to one per server thread more under a burst).
  // Addresses in `unlimitedAddresses` (numeric; a reverse proxy in front,
  // which carries every visitor's connections) have no such limit.
  unsigned maxConnectionsPerAddress = 256;
  std::vector<std::string> unlimitedAddresses;
  std::chrono::seconds connectionTimeout = std::chrono::seconds(30);
  // The site is reached over HTTPS (a TLS proxy in front): the session
  // cookie is then marked Secure.
  bool secureCookies = false;
  // Sent with every page. Inline handlers and scripts stay allowed: the
  // component's markup carries onclick handlers and a script of its own.
  // Called once per answered request, in order, from a thread of its own:
  // a log that blocks (a full pipe, a paused terminal) holds no request.
  // Records wait in a backlog of at most requestLogBacklog; past it they are
  // dropped and counted (RequestRecord::droppedBefore). Must not throw. At
  // stop the backlog is written for at most a moment, then left. Unset: no
  // log.
  std::function<void(const RequestRecord&)> requestLog;
  // Called on the same thread after each batch of records (one or more):
  // requestLog may buffer its lines until then and write them at once.
  // Optional; must not throw.
  std::function<void()> requestLogFlush;
  std::size_t requestLogBacklog = 10000;
  // The session value logged as the request's user.
  std::string logUserKey;
  // The body of the host's own 404 and 500 answers (status, path), e.g. in
  // the site's language and style. Unset: a plain page. Must not throw.
  std::function<std::string(int, const std::string&)> errorPage;
  std::string contentSecurityPolicy =
      "default-src 'self'; script-src 'self' 'unsafe-inline'; style-src 'self' 'unsafe-inline'; "
      "img-src 'self' data:; object-src 'none'; base-uri 'self'; form-action 'self'; "
      "frame-ancestors 'self'";
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
  // Binds and listens; returns false (with a message on stderr, "address in
  // use" for a busy port) when it cannot. The port is never shared with
  // another process (no SO_REUSEPORT).
  bool bind();
  int port() const;
  // Serves until stop(), then stops taking connections, lets the requests in
  // flight finish (for at most `shutdownGrace`) and closes the rest. bind()
  // first. False when the server could not start.
  bool serve();
  // Asks serve() to return; safe from any thread, returns at once.
  void stop();
  static constexpr std::chrono::milliseconds shutdownGrace{700};

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace kvdn
