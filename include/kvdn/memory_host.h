// The in-memory page host: page objects without a web server, for the
// command-line page host and for tests. Also the fake page host: its switches
// make any ProgID fail to create or any MapPath fail.
#pragma once

#include <filesystem>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "kvdn/export.h"
#include "kvdn/page.h"

namespace kvdn {

struct KVDN_API PageRequest {
  std::string url = "/default.asp";  // request path, without the query
  std::string query;                 // raw query string, undecoded
  std::string form;                  // raw application/x-www-form-urlencoded body
  // Server variables, e.g. {"HTTP_REFERER", "http://localhost/a.asp"}.
  // HTTP_HOST defaults to "localhost", REMOTE_ADDR to "127.0.0.1".
  std::vector<std::pair<std::string, std::string>> serverVariables;
};

// Failure switches of the fake host.
struct KVDN_API HostFailures {
  std::set<std::string> progIds;  // ProgIDs (any case) whose creation fails
  bool mapPath = false;           // every Server.MapPath fails with error 5
};

// A request collection parsed from urlencoded text (percent-decoded as UTF-8,
// "+" as blank). Shared by the hosts. Keys match without regard to ASCII
// letter case; keys() keeps the order of first appearance, item() joins a
// key's values with ", ". Parsing and add() cost time linear in the text:
// keys are found through a hash of their lower-cased form, never by
// comparing each new key with every earlier one (a body of many keys
// would otherwise cost quadratic time).
class KVDN_API UrlEncodedCollection final : public RequestCollection {
 public:
  UrlEncodedCollection() = default;
  explicit UrlEncodedCollection(std::string_view raw);
  void add(std::string key, std::string value);
  std::string item(std::string_view key) const override;
  std::vector<std::string> keys() const override;

 private:
  std::vector<std::pair<std::string, std::vector<std::string>>> items_;
  std::unordered_map<std::string, std::size_t> index_;  // lower-cased key -> position in items_
};

// The number of fields ("key=value" pairs, empty ones not counted) in
// urlencoded text, counted without decoding: what a host checks against its
// limit before it parses a body.
KVDN_API std::size_t urlEncodedFieldCount(std::string_view raw);

KVDN_API std::string percentDecode(std::string_view text, bool plusIsBlank);

// A request as both hosts hand it to a page: the raw query string and form
// body parsed into collections, and the server variables by name (any case;
// the host fills them, "" when absent).
class KVDN_API ParsedRequest final : public Request {
 public:
  ParsedRequest(std::string_view rawQuery, std::string_view rawForm,
                const std::vector<std::pair<std::string, std::string>>& serverVariables);
  const RequestCollection& queryString() const override { return query_; }
  const RequestCollection& form() const override { return form_; }
  std::string serverVariable(std::string_view name) const override;

 private:
  UrlEncodedCollection query_;
  UrlEncodedCollection form_;
  std::vector<std::pair<std::string, std::string>> vars_;  // upper-cased names, last one wins
};

// Maps a virtual path the way Server.MapPath does, against `siteRoot` and the
// request path `url`. Raises err::kInvalidCall for a path outside the root.
KVDN_API std::filesystem::path mapVirtualPath(const std::filesystem::path& siteRoot, std::string_view url,
                                              std::string_view path);

// A visitor's session values, safe to use from several requests of the same
// visitor at once. Keys match case-insensitively; an absent key gives Empty.
class KVDN_API SessionValues final : public Session {
 public:
  Variant value(std::string_view key) const override;
  void setValue(std::string_view key, const Variant& value) override;
  void abandon() override;
  // A copy of every key and value, in the order the keys were first stored.
  std::vector<std::pair<std::string, Variant>> items() const;

 private:
  mutable std::mutex mutex_;
  std::vector<std::pair<std::string, Variant>> values_;
};

class MemoryPage;

class KVDN_API MemoryHost {
 public:
  // `siteRoot` must exist. Registers the library's standard classes.
  explicit MemoryHost(std::filesystem::path siteRoot);

  ClassRegistry& classes() { return *classes_; }
  HostFailures& failures() { return *failures_; }
  const std::filesystem::path& siteRoot() const { return siteRoot_; }

  // A new page context for one request. The host keeps no reference to it.
  std::shared_ptr<MemoryPage> newPage(const PageRequest& request);

 private:
  std::filesystem::path siteRoot_;
  std::shared_ptr<ClassRegistry> classes_;
  std::shared_ptr<HostFailures> failures_;
  std::shared_ptr<Application> application_;
  std::shared_ptr<Session> session_;
};

// One page's context; also the test's window on the response.
class KVDN_API MemoryPage final : public ScriptingContext {
 public:
  MemoryPage(std::shared_ptr<Application> application, std::shared_ptr<Request> request,
             std::shared_ptr<Response> response, std::shared_ptr<Server> server,
             std::shared_ptr<Session> session);
  std::shared_ptr<Application> application() override { return application_; }
  std::shared_ptr<Request> request() override { return request_; }
  std::shared_ptr<Response> response() override { return response_; }
  std::shared_ptr<Server> server() override { return server_; }
  std::shared_ptr<Session> session() override { return session_; }

  // Everything written before the end of the response.
  std::string output() const;
  bool ended() const { return response_->ended(); }

 private:
  std::shared_ptr<Application> application_;
  std::shared_ptr<Request> request_;
  std::shared_ptr<Response> response_;
  std::shared_ptr<Server> server_;
  std::shared_ptr<Session> session_;
};

}  // namespace kvdn
