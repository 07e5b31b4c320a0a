// The in-memory page host.
#include "kvdn/memory_host.h"

#include <algorithm>
#include <map>

#include "kvdn/error.h"

namespace kvdn {

// ---------------------------------------------------------------------------
// Request collections.

namespace {
int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}
}  // namespace

std::string percentDecode(std::string_view text, bool plusIsBlank) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '%' && i + 2 < text.size()) {
      int hi = hexValue(text[i + 1]);
      int lo = hexValue(text[i + 2]);
      if (hi >= 0 && lo >= 0) {
        out.push_back(static_cast<char>(hi * 16 + lo));
        i += 2;
        continue;
      }
    }
    out.push_back(c == '+' && plusIsBlank ? ' ' : c);
  }
  return out;
}

UrlEncodedCollection::UrlEncodedCollection(std::string_view raw) {
  std::size_t pos = 0;
  while (pos <= raw.size()) {
    std::size_t amp = raw.find('&', pos);
    if (amp == std::string_view::npos) amp = raw.size();
    std::string_view pair = raw.substr(pos, amp - pos);
    if (!pair.empty()) {
      std::size_t eq = pair.find('=');
      std::string_view key = pair.substr(0, eq);
      std::string_view value = eq == std::string_view::npos ? std::string_view() : pair.substr(eq + 1);
      add(percentDecode(key, true), percentDecode(value, true));
    }
    pos = amp + 1;
  }
}

void UrlEncodedCollection::add(std::string key, std::string value) {
  const auto [it, added] = index_.try_emplace(asciiLower(key), items_.size());
  if (!added) {
    items_[it->second].second.push_back(std::move(value));
    return;
  }
  items_.emplace_back(std::move(key), std::vector<std::string>{std::move(value)});
}

std::string UrlEncodedCollection::item(std::string_view key) const {
  const auto it = index_.find(asciiLower(key));
  if (it == index_.end()) return {};
  const std::vector<std::string>& values = items_[it->second].second;
  std::string joined;
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i) joined += ", ";
    joined += values[i];
  }
  return joined;
}

std::size_t urlEncodedFieldCount(std::string_view raw) {
  std::size_t count = 0;
  std::size_t pos = 0;
  while (pos <= raw.size()) {
    std::size_t amp = raw.find('&', pos);
    if (amp == std::string_view::npos) amp = raw.size();
    if (amp > pos) ++count;
    pos = amp + 1;
  }
  return count;
}

std::vector<std::string> UrlEncodedCollection::keys() const {
  std::vector<std::string> out;
  out.reserve(items_.size());
  for (const auto& item : items_) out.push_back(item.first);
  return out;
}

// ---------------------------------------------------------------------------
// Path mapping.

std::filesystem::path mapVirtualPath(const std::filesystem::path& siteRoot, std::string_view url,
                                     std::string_view path) {
  std::string p(path);
  std::replace(p.begin(), p.end(), '\\', '/');
  std::string base;
  if (p.empty() || p[0] != '/') {
    std::string u(url);
    std::replace(u.begin(), u.end(), '\\', '/');
    std::size_t slash = u.rfind('/');
    base = slash == std::string::npos ? std::string() : u.substr(0, slash);
  }
  const std::string full = base + "/" + p;
  std::vector<std::string_view> parts;  // into `full`
  std::size_t pos = 0;
  while (pos <= full.size()) {
    std::size_t next = full.find('/', pos);
    if (next == std::string::npos) next = full.size();
    const std::string_view seg = std::string_view(full).substr(pos, next - pos);
    if (seg == "..") {
      if (parts.empty()) {
        raise(err::kInvalidCall, "The path '" + std::string(path) + "' leaves the site root");
      }
      parts.pop_back();
    } else if (!seg.empty() && seg != ".") {
      parts.push_back(seg);
    }
    pos = next + 1;
  }
  // As `siteRoot / seg / ...` makes it on POSIX (this host's only
  // platform), in one string: a separator unless the text so far is empty
  // or already ends in one. Pages map a path on every request.
  std::string out = siteRoot.native();
  for (std::string_view seg : parts) {
    if (!out.empty() && out.back() != '/') out += '/';
    out += seg;
  }
  return std::filesystem::path(std::move(out));
}

// ---------------------------------------------------------------------------
// Page objects.

ParsedRequest::ParsedRequest(std::string_view rawQuery, std::string_view rawForm,
                             const std::vector<std::pair<std::string, std::string>>& serverVariables)
    : query_(rawQuery), form_(rawForm) {
  for (const auto& [name, value] : serverVariables) vars_.emplace_back(asciiUpper(name), value);
}

std::string ParsedRequest::serverVariable(std::string_view name) const {
  const std::string key = asciiUpper(name);
  for (auto it = vars_.rbegin(); it != vars_.rend(); ++it) {
    if (it->first == key) return it->second;
  }
  return {};
}

namespace {

// Defaults of a request that no web server answered; the page's own
// variables come last and so take precedence.
std::shared_ptr<Request> makeMemoryRequest(const PageRequest& r) {
  std::vector<std::pair<std::string, std::string>> vars = {
      {"URL", r.url},
      {"SCRIPT_NAME", r.url},
      {"PATH_INFO", r.url},
      {"QUERY_STRING", r.query},
      {"REQUEST_METHOD", r.form.empty() ? "GET" : "POST"},
      {"HTTP_HOST", "localhost"},
      {"SERVER_NAME", "localhost"},
      {"REMOTE_ADDR", "127.0.0.1"},
  };
  vars.insert(vars.end(), r.serverVariables.begin(), r.serverVariables.end());
  return std::make_shared<ParsedRequest>(r.query, r.form, vars);
}

class MemoryResponse final : public Response {
 public:
  void write(std::string_view text) override {
    if (!ended_) output_ += text;
  }
  void end() override { ended_ = true; }
  bool ended() const override { return ended_; }
  const std::string& output() const { return output_; }

 private:
  std::string output_;
  bool ended_ = false;
};

class MemoryServer final : public Server {
 public:
  MemoryServer(std::filesystem::path root, std::string url, std::shared_ptr<ClassRegistry> classes,
               std::shared_ptr<HostFailures> failures)
      : root_(std::move(root)),
        url_(std::move(url)),
        classes_(std::move(classes)),
        failures_(std::move(failures)) {}

  std::string mapPath(std::string_view path) const override {
    if (failures_->mapPath) raise(err::kInvalidCall, "Server.MapPath failed (injected failure)");
    return mapVirtualPath(root_, url_, path).string();
  }

  ObjectPtr createObject(std::string_view progId) override {
    for (const auto& failing : failures_->progIds) {
      if (iequals(failing, progId)) {
        raise(err::kCannotCreate,
              "Server.CreateObject failed for " + std::string(progId) + " (injected failure)");
      }
    }
    return classes_->create(progId);
  }

 private:
  std::filesystem::path root_;
  std::string url_;
  std::shared_ptr<ClassRegistry> classes_;
  std::shared_ptr<HostFailures> failures_;
};

class MemoryApplication final : public Application {};

}  // namespace

Variant SessionValues::value(std::string_view key) const {
  std::lock_guard lock(mutex_);
  for (const auto& [k, v] : values_) {
    if (iequals(k, key)) return v;
  }
  return Variant();
}

void SessionValues::setValue(std::string_view key, const Variant& value) {
  std::lock_guard lock(mutex_);
  for (auto& [k, v] : values_) {
    if (iequals(k, key)) {
      v = value;
      return;
    }
  }
  values_.emplace_back(std::string(key), value);
}

void SessionValues::abandon() {
  std::lock_guard lock(mutex_);
  values_.clear();
}

std::vector<std::pair<std::string, Variant>> SessionValues::items() const {
  std::lock_guard lock(mutex_);
  return values_;
}

MemoryHost::MemoryHost(std::filesystem::path siteRoot)
    : siteRoot_(std::move(siteRoot)),
      classes_(std::make_shared<ClassRegistry>()),
      failures_(std::make_shared<HostFailures>()),
      application_(std::make_shared<MemoryApplication>()),
      session_(std::make_shared<SessionValues>()) {
  registerStandardClasses(*classes_);
}

std::shared_ptr<MemoryPage> MemoryHost::newPage(const PageRequest& request) {
  auto server = std::make_shared<MemoryServer>(siteRoot_, request.url, classes_, failures_);
  return std::make_shared<MemoryPage>(application_, makeMemoryRequest(request),
                                      std::make_shared<MemoryResponse>(), std::move(server), session_);
}

MemoryPage::MemoryPage(std::shared_ptr<Application> application, std::shared_ptr<Request> request,
                       std::shared_ptr<Response> response, std::shared_ptr<Server> server,
                       std::shared_ptr<Session> session)
    : application_(std::move(application)),
      request_(std::move(request)),
      response_(std::move(response)),
      server_(std::move(server)),
      session_(std::move(session)) {}

std::string MemoryPage::output() const {
  const auto* memory = dynamic_cast<const MemoryResponse*>(response_.get());
  return memory ? memory->output() : std::string();
}

}  // namespace kvdn
