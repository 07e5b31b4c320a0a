// The HTTP page host over libmicrohttpd (epoll, internal thread pool).
//
// One request's life: the URI callback keeps the raw request target (the
// query string must reach the page undecoded); the access handler is called
// once the headers are in, then with each piece of the body, then a last
// time with none, when the page runs and its answer is queued; the
// completion callback frees the request's state. Nothing here may throw
// into the library: every callback catches.
#include "kvdn/http_host.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>
#include <unordered_map>

#include "http_exchange.h"
#include "http_session.h"
#include "kvdn/error.h"
#include "kvdn/memory_host.h"
#include "kvdn/object.h"
#include "kvdn/text.h"

namespace kvdn {

using namespace http_internal;

struct HttpHost::Impl {
  HttpHostOptions options;
  ClassRegistry classes;
  std::shared_ptr<Application> application = std::make_shared<HttpApplication>();
  std::shared_ptr<SessionStore> sessions;
  std::unordered_map<std::string, std::shared_ptr<PageEntry>> pages;
  WorkerPool pageThreads;
  RequestLogger requestLog;                      // running while serve() does, when options.requestLog is set
  std::set<std::shared_ptr<PageJob>> suspended;  // under `mutex`
  bool draining = false;                         // under `mutex`: no connection is suspended any more
  int listenFd = -1;
  int port = 0;
  MHD_Daemon* daemon = nullptr;

  std::mutex mutex;
  std::condition_variable changed;
  bool stopRequested = false;         // under `mutex`
  std::atomic<bool> refusing{false};  // set with stopRequested; read by onAccept
  bool serving = false;
  std::atomic<int> inFlight{0};
  // Form bytes held by requests not yet answered (see maxBodyBytesInFlight).
  std::atomic<std::size_t> bodyBytes{0};
  std::filesystem::path tempFolder;
  // Open connections per peer address (see maxConnectionsPerAddress).
  std::mutex addressMutex;
  std::unordered_map<std::string, unsigned> connectionsByAddress;  // under addressMutex
  std::set<std::string> unlimited;                                 // numeric, as numericAddress writes them

  // ---- callbacks (static trampolines into the object)

  // Keeps the raw target, then empties the query the library is about to
  // split: pages read the query from the raw target, never from the
  // library's arguments, and the library keeps each argument in the
  // connection's fixed memory (MHD_OPTION_CONNECTION_MEMORY_LIMIT), where a
  // few hundred fields left no room to answer at all: the connection was
  // closed without a word. The library passes the request line's own
  // buffer here and splits the query after this call (from the '?' on, up
  // to its end): a '\0' right after the '?' leaves it nothing to split. A
  // target too long for the buffer is answered 414 by the library itself.
  static void* onUri(void* cls, const char* uri, MHD_Connection*) {
    auto* state = new (std::nothrow) RequestState;
    if (state && uri) state->target = uri;
    if (uri) {
      if (char* query = const_cast<char*>(std::strchr(uri, '?')); query && query[1] != '\0') query[1] = '\0';
    }
    (void)cls;
    return state;
  }

  static void onCompleted(void* cls, MHD_Connection* connection, void** conCls, MHD_RequestTerminationCode) {
    auto* self = static_cast<Impl*>(cls);
    auto* state = static_cast<RequestState*>(*conCls);
    if (state && state->started && state->status != 0 && self->options.requestLog) {
      try {
        RequestRecord record;
        record.time = state->arrived;
        record.address = peerAddress(connection).first;
        record.user = state->user;
        record.method = state->method;
        record.path = state->target.substr(0, state->target.find('?'));
        record.status = state->status;
        record.milliseconds = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  std::chrono::steady_clock::now() - state->start)
                                  .count();
        self->requestLog.post(std::move(record));
      } catch (const std::exception&) {
        // Out of memory: the line is lost, never the server.
      }
    }
    if (state && state->started) {
      self->bodyBytes -= state->reserved;
      // Only a stop waits for the answers in flight to end: waking the
      // serving thread on every answer cost a thread switch per request.
      // The lock after the decrement keeps a stop that is just starting to
      // wait from missing the last one.
      if (--self->inFlight == 0) {
        std::lock_guard lock(self->mutex);
        if (self->stopRequested) self->changed.notify_all();
      }
    }
    delete state;
    *conCls = nullptr;
  }

  // Accept policy: once a stop is requested a new connection is closed at
  // once instead of being served; so is one from an address that holds its
  // share of connections already. The count itself is kept by
  // onConnection, which sees every connection that was made.
  static MHD_Result onAccept(void* cls, const sockaddr* addr, socklen_t) {
    auto* self = static_cast<Impl*>(cls);
    if (self->refusing.load()) return MHD_NO;
    try {
      const std::string& address = acceptedAddress(addr).first;
      if (self->unlimited.count(address)) return MHD_YES;
      std::lock_guard lock(self->addressMutex);
      auto it = self->connectionsByAddress.find(address);
      return it == self->connectionsByAddress.end() || it->second < self->options.maxConnectionsPerAddress
                 ? MHD_YES
                 : MHD_NO;
    } catch (const std::exception&) {
      return MHD_NO;
    }
  }

  // Counts the open connections of each address; the connection's state
  // (its peer, written out once) is its socket context from start to close.
  static void onConnection(void* cls, MHD_Connection* connection, void** socketContext,
                           MHD_ConnectionNotificationCode code) {
    auto* self = static_cast<Impl*>(cls);
    try {
      if (code == MHD_CONNECTION_NOTIFY_STARTED) {
        const MHD_ConnectionInfo* info =
            MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
        auto state = std::make_unique<ConnectionState>();
        state->peer = acceptedAddress(info ? info->client_addr : nullptr);
        std::lock_guard lock(self->addressMutex);
        ++self->connectionsByAddress[state->peer.first];
        *socketContext = state.release();
      } else if (code == MHD_CONNECTION_NOTIFY_CLOSED && *socketContext) {
        std::unique_ptr<ConnectionState> state(static_cast<ConnectionState*>(*socketContext));
        *socketContext = nullptr;
        std::lock_guard lock(self->addressMutex);
        auto it = self->connectionsByAddress.find(state->peer.first);
        if (it != self->connectionsByAddress.end() && --it->second == 0) self->connectionsByAddress.erase(it);
      }
    } catch (const std::exception&) {
      // Out of memory: this connection goes uncounted.
    }
  }

  static MHD_Result onRequest(void* cls, MHD_Connection* connection, const char* url, const char* method,
                              const char*, const char* uploadData, size_t* uploadSize, void** conCls) {
    auto* self = static_cast<Impl*>(cls);
    auto* state = static_cast<RequestState*>(*conCls);
    if (!state) return MHD_NO;  // out of memory in onUri: drop the connection
    try {
      if (!state->started) {
        state->started = true;
        state->start = std::chrono::steady_clock::now();
        state->arrived = std::chrono::system_clock::now();
        state->method = method ? method : "";
        ++self->inFlight;
        // A body declared too long is read and dropped, so that the client
        // (which sends it whole before it reads) gets the 413 page; one far
        // past the limit is answered at once and the connection closed.
        if (!self->servesHost(MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Host")))
          return self->send(connection, self->unknownHost(), *state);
        const char* length = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Content-Length");
        const unsigned long long declared = length ? std::strtoull(length, nullptr, 10) : 0;
        if (declared > self->options.maxBodyBytes) {
          state->refusal = 413;
          if (declared / 4 > self->options.maxBodyBytes)
            return self->send(connection, self->tooLarge(), *state);
          return MHD_YES;
        }
        const char* type = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Content-Type");
        if (type && asciiLower(type).find("application/x-www-form-urlencoded") != std::string::npos) {
          // The form's whole length is set aside now: a request the budget
          // cannot hold is refused before a byte of its body is read.
          if (!self->reserveBody(*state, declared)) return self->send(connection, self->busy(), *state);
          state->body = std::make_shared<BodyBuffer>(self->options.bodyInMemoryBytes, self->tempFolder);
        }
        return MHD_YES;
      }
      if (*uploadSize > 0) {
        self->receive(*state, uploadData, *uploadSize);
        *uploadSize = 0;
        return MHD_YES;
      }
      if (state->job) {
        // Called again after the page thread (or the shutdown) resumed it.
        std::unique_lock lock(state->job->mutex);
        if (!state->job->done) return MHD_NO;
        Answer answer = std::move(state->job->answer);
        lock.unlock();
        return self->send(connection, std::move(answer), *state);
      }
      if (state->refusal == 413) return self->send(connection, self->tooLarge(), *state);
      if (state->refusal) return self->send(connection, self->busy(), *state);
      return self->handle(connection, url ? url : "", method ? method : "", *state);
    } catch (const std::exception& e) {
      std::cerr << "kvdn-http: " << (method ? method : "") << " " << state->target
                << ": unexpected failure: " << e.what() << std::endl;
      return self->send(connection, self->failure(500, state->target.substr(0, state->target.find('?'))),
                        *state);
    }
  }

  // A body piece: kept (within the request's and the host's limits) or
  // dropped. A form without a declared length sets its bytes aside as they
  // come; past the budget it is refused with 503 once it has been read.
  void receive(RequestState& state, const char* data, std::size_t size) {
    state.received += size;
    if (state.refusal) return;
    if (state.received > options.maxBodyBytes) {
      state.refusal = 413;
    } else if (state.body && state.received > state.reserved &&
               !reserveBody(state, state.received - state.reserved)) {
      state.refusal = 503;
    } else if (state.body && !state.body->append(data, size)) {
      state.refusal = 503;
    }
    if (state.refusal) {
      state.body.reset();
      bodyBytes -= state.reserved;
      state.reserved = 0;
    }
  }

  // Sets `bytes` more of the in-flight budget aside for the request; false
  // when the budget cannot hold them.
  bool reserveBody(RequestState& state, std::size_t bytes) {
    std::size_t held = bodyBytes.load();
    do {
      if (bytes > options.maxBodyBytesInFlight || held > options.maxBodyBytesInFlight - bytes) return false;
    } while (!bodyBytes.compare_exchange_weak(held, held + bytes));
    state.reserved += bytes;
    return true;
  }

  // A socket address as numeric address and port ("" when unknown).
  static std::pair<std::string, std::string> numericAddress(const sockaddr* addr) {
    char host[NI_MAXHOST] = "";
    char service[NI_MAXSERV] = "";
    if (!addr) return {};
    const socklen_t len = addr->sa_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
    if (getnameinfo(addr, len, host, sizeof host, service, sizeof service, NI_NUMERICHOST | NI_NUMERICSERV) ==
        0)
      return {host, service};
    return {};
  }

  // numericAddress of a connection being accepted, written out once: the
  // accept policy and then the connection's start (on the same server
  // thread) both need it.
  static const std::pair<std::string, std::string>& acceptedAddress(const sockaddr* addr) {
    thread_local sockaddr_storage last{};
    thread_local std::pair<std::string, std::string> written;
    const socklen_t len = !addr                         ? 0
                          : addr->sa_family == AF_INET6 ? sizeof(sockaddr_in6)
                                                        : sizeof(sockaddr_in);
    if (len == 0 || std::memcmp(&last, addr, len) != 0 || last.ss_family == 0) {
      written = numericAddress(addr);
      std::memset(&last, 0, sizeof last);
      if (len) std::memcpy(&last, addr, len);
    }
    return written;
  }

  // The peer's numeric address and port ("" when unknown): the connection's
  // own copy, written out when it was accepted.
  static std::pair<std::string, std::string> peerAddress(MHD_Connection* connection) {
    if (const MHD_ConnectionInfo* info =
            MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT)) {
      if (info->socket_context) return static_cast<const ConnectionState*>(info->socket_context)->peer;
    }
    if (const MHD_ConnectionInfo* info =
            MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS))
      return numericAddress(info->client_addr);
    return {};
  }

  // Queues `answer`. Its body is handed to the library as it is (freed
  // with the response), never copied.
  MHD_Result send(MHD_Connection* connection, Answer answer, RequestState& state) {
    state.status = answer.status;
    state.user = std::move(answer.user);
    auto* body = new std::string(std::move(answer.body));
    MHD_Response* response = MHD_create_response_from_buffer_with_free_callback_cls(
        body->size(), body->data(), [](void* text) { delete static_cast<std::string*>(text); }, body);
    if (!response) {
      delete body;
      return MHD_NO;
    }
    MHD_add_response_header(response, "Content-Type", answer.contentType.c_str());
    MHD_add_response_header(response, "X-Content-Type-Options", "nosniff");
    MHD_add_response_header(response, "X-Frame-Options", "SAMEORIGIN");
    MHD_add_response_header(response, "Referrer-Policy", "same-origin");
    for (const auto& [name, value] : answer.headers) {
      MHD_add_response_header(response, name.c_str(), value.c_str());
    }
    const MHD_Result queued = MHD_queue_response(connection, static_cast<unsigned>(answer.status), response);
    MHD_destroy_response(response);
    return queued;
  }

  // The host's own 404 and 500 bodies: the site's when it gave a maker.
  std::string failurePage(int status, const std::string& path) const {
    if (options.errorPage) {
      try {
        return options.errorPage(status, path);
      } catch (const std::exception&) {
        // Fall back to the plain page.
      }
    }
    return status == 404 ? errorPage("404 Not found", path)
                         : errorPage("The page failed", "unexpected failure");
  }

  // An answer of `status` with the host's page for it (see failurePage).
  Answer failure(int status, const std::string& path) const {
    Answer a;
    a.status = status;
    a.body = failurePage(status, path);
    return a;
  }

  // A refusal the host answers itself, before any page: `status` with the
  // host's page of `title` and `text`; `close` ends the connection after it
  // (the body it did not read is not waited for).
  Answer refusal(int status, const std::string& title, const std::string& text, bool close) const {
    Answer a;
    a.status = status;
    a.body = errorPage(title, text);
    if (close) a.headers.emplace_back("Connection", "close");
    return a;
  }

  Answer tooLarge() const {
    return refusal(413, "413 The form is too large",
                   "This server accepts requests of at most " + std::to_string(options.maxBodyBytes) +
                       " bytes (" + std::to_string(options.maxBodyBytes / (1024 * 1024)) +
                       " MB). Send less, or split the data into several requests.",
                   true);
  }

  // Whether the Host header (name and maybe ":port"; an IPv6 address in
  // brackets) names one of options.hostNames.
  bool servesHost(const char* header) const {
    if (options.hostNames.empty()) return true;
    if (!header) return false;
    std::string name = asciiLower(header);
    if (!name.empty() && name[0] == '[') {
      const std::size_t close = name.find(']');
      if (close == std::string::npos) return false;
      name = name.substr(1, close - 1);
    } else if (const std::size_t colon = name.rfind(':'); colon != std::string::npos) {
      name.erase(colon);
    }
    return std::any_of(options.hostNames.begin(), options.hostNames.end(),
                       [&](const std::string& served) { return iequals(served, name); });
  }

  Answer unknownHost() const {
    return refusal(421, "421 Unknown host name",
                   "This server does not serve the name this request was sent to.", true);
  }

  // The answer to a form that the in-flight budget cannot hold now.
  Answer busy() const {
    Answer a = refusal(503, "503 The server is busy",
                       "Too many forms are being sent to this server at once. Try again in a moment.", true);
    a.headers.insert(a.headers.begin(), {"Retry-After", "5"});
    return a;
  }

  Answer tooManyFields() const {
    return refusal(413, "413 The form has too many fields",
                   "This server accepts at most " + std::to_string(options.maxFormFields) +
                       " fields in the address and the form together.",
                   false);
  }

  // Pages go to the page threads; files and refusals are answered here.
  MHD_Result handle(MHD_Connection* connection, const std::string& path, const std::string& method,
                    RequestState& state) {
    const bool read = method == "GET" || method == "HEAD";
    if (!read && method != "POST") {
      Answer a = refusal(405, "405 Method not allowed", method, false);
      a.headers.emplace_back("Allow", "GET, HEAD, POST");
      return send(connection, a, state);
    }
    if (auto it = pages.find(path); it != pages.end())
      return dispatch(connection, it->second, path, method, state);
    if (read) {
      for (const auto& folder : options.staticFolders) {
        const std::string prefix = "/" + folder + "/";
        if (path.rfind(prefix, 0) == 0)
          return send(connection, staticFile(folder, path.substr(prefix.size())), state);
      }
    }
    return send(connection, failure(404, path), state);
  }

  // A page may wait (on the database, a file, a lock): it runs on a page
  // thread, so the server's threads go on serving every other connection.
  // A page whose recent runs all took a moment (inlinePageMicros) and that
  // has no form to parse runs here on the server's thread instead: for it
  // the hand-over to a page thread and back would cost more than the page.
  MHD_Result dispatch(MHD_Connection* connection, std::shared_ptr<PageEntry> handler, const std::string& path,
                      const std::string& method, RequestState& state) {
    PageInput input;
    input.handler = std::move(handler);
    if (auto q = state.target.find('?'); q != std::string::npos) input.rawQuery = state.target.substr(q + 1);
    input.form = std::move(state.body);
    input.serverVariables = serverVariables(connection, path, method, input.rawQuery);
    const char* cookies = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Cookie");
    input.sessionId = cookieValue(cookies ? cookies : "", kSessionCookie);
    input.path = path;
    input.method = method;
    input.target = state.target;
    if (!input.form && state.received == 0 && input.handler->runsInline(options.inlinePageMicros))
      return send(connection, runTimed(input), state);
    auto job = std::make_shared<PageJob>();
    job->connection = connection;
    {
      // Suspended under the lock, so that resumeUnfinished either sees this
      // job or has already begun the stop: libmicrohttpd aborts the process
      // when it is stopped with a connection still suspended.
      std::lock_guard lock(mutex);
      if (draining) return send(connection, failure(503, path), state);
      state.job = job;
      suspended.insert(job);
      MHD_suspend_connection(connection);
    }
    pageThreads.submit([this, job, input = std::move(input)] {
      Answer answer = runTimed(input);
      {
        std::lock_guard lock(job->mutex);
        if (!job->resumed) {
          job->answer = std::move(answer);
          job->done = true;
          job->resumed = true;
          MHD_resume_connection(job->connection);
        }
      }
      std::lock_guard lock(mutex);
      suspended.erase(job);
    });
    return MHD_YES;
  }

  // At shutdown, after the grace time: connections whose page has not
  // finished are resumed without an answer and so closed (the daemon must
  // not stop with suspended connections).
  void resumeUnfinished() {
    std::lock_guard lock(mutex);
    draining = true;
    for (const auto& job : suspended) {
      std::lock_guard jobLock(job->mutex);
      if (!job->resumed) {
        job->resumed = true;
        MHD_resume_connection(job->connection);
      }
    }
    suspended.clear();
  }

  // A file below one of the static folders; names with "..", empty parts
  // or a backslash are not found.
  Answer staticFile(const std::string& folder, const std::string& rest) const {
    Answer a = failure(404, "/" + folder + "/" + rest);
    if (rest.empty() || rest.find('\\') != std::string::npos || rest.find('\0') != std::string::npos)
      return a;
    std::filesystem::path file = options.siteRoot / folder;
    std::size_t pos = 0;
    while (pos <= rest.size()) {
      std::size_t slash = rest.find('/', pos);
      const std::string part = rest.substr(pos, slash == std::string::npos ? std::string::npos : slash - pos);
      if (part.empty() || part == "." || part == "..") return a;
      file /= part;
      if (slash == std::string::npos) break;
      pos = slash + 1;
    }
    std::error_code ec;
    if (!std::filesystem::is_regular_file(file, ec)) return a;
    std::ifstream in(file, std::ios::binary);
    if (!in) return a;
    std::ostringstream data;
    data << in.rdbuf();
    a.status = 200;
    a.body = data.str();
    a.contentType = contentTypeOf(file);
    a.headers.emplace_back("Cache-Control", "no-cache");
    return a;
  }

  // The request's server variables (its headers as HTTP_*), copied while
  // the connection is at hand.
  static std::vector<std::pair<std::string, std::string>> serverVariables(MHD_Connection* connection,
                                                                          const std::string& path,
                                                                          const std::string& method,
                                                                          const std::string& rawQuery) {
    const auto [address, remotePort] = peerAddress(connection);
    std::vector<std::pair<std::string, std::string>> vars = {
        {"URL", path},
        {"SCRIPT_NAME", path},
        {"PATH_INFO", path},
        {"QUERY_STRING", rawQuery},
        {"REQUEST_METHOD", method},
        {"REMOTE_ADDR", address},
        {"REMOTE_PORT", remotePort},
    };
    MHD_get_connection_values(
        connection, MHD_HEADER_KIND,
        [](void* cls, MHD_ValueKind, const char* key, const char* value) {
          auto* out = static_cast<std::vector<std::pair<std::string, std::string>>*>(cls);
          std::string name = "HTTP_";
          name += key ? key : "";
          for (char& c : name) {
            if (c == '-') c = '_';
          }
          out->emplace_back(std::move(name), value ? value : "");
          return MHD_YES;
        },
        &vars);
    return vars;
  }

  // run(), its time counted to the page, and whatever escapes it answered
  // with the host's 500 page.
  Answer runTimed(const PageInput& input) {
    const auto began = std::chrono::steady_clock::now();
    Answer answer;
    try {
      answer = run(input);
    } catch (const std::exception& e) {
      std::cerr << "kvdn-http: " << input.method << " " << input.target
                << ": unexpected failure: " << e.what() << std::endl;
      answer = failure(500, input.path);
    }
    const auto took = std::chrono::steady_clock::now() - began;
    input.handler->ran(
        static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(took).count()),
        options.inlinePageMicros);
    return answer;
  }

  Answer run(const PageInput& input) {
    const PageHandler& page = input.handler->handler;
    const std::string& path = input.path;
    const std::string& method = input.method;
    // Parsed here, on the page thread: however large the form, the server's
    // threads go on reading and answering other requests meanwhile.
    const std::string rawForm = input.form ? input.form->text() : std::string();
    if (urlEncodedFieldCount(input.rawQuery) + urlEncodedFieldCount(rawForm) > options.maxFormFields)
      return tooManyFields();
    const std::shared_ptr<Request> request =
        std::make_shared<ParsedRequest>(input.rawQuery, rawForm, input.serverVariables);
    auto session = std::make_shared<HttpSession>(*sessions, input.sessionId, options.secureCookies);
    auto response = std::make_shared<HttpResponse>();
    auto ctx = std::make_shared<HttpContext>(
        application, request, response, std::make_shared<HttpServerObject>(options.siteRoot, path, classes),
        session);
    Answer answer;
    // Pages show personal data: never kept by the browser or a proxy.
    answer.headers.emplace_back("Cache-Control", "no-store");
    if (!options.contentSecurityPolicy.empty())
      answer.headers.emplace_back("Content-Security-Policy", options.contentSecurityPolicy);
    PageEnv env{ctx, nullptr};
    try {
      env.db = std::dynamic_pointer_cast<DbClass>(ctx->server()->createObject("kvdnAspDll.dbClass"));
      if (!env.db) raise(err::kTypeMismatch, "kvdnAspDll.dbClass is not a dbClass");
      env.db->OnStartPage(ctx);
      page(env);
      env.db->OnEndPage();
      session->save();
    } catch (const ComError& e) {
      fail(method, input.target, answer, env, std::to_string(e.number()), e.description(), path);
    } catch (const std::exception& e) {
      fail(method, input.target, answer, env, "-", e.what(), path);
    }
    if (answer.status == 500 && options.errorPage) answer.body = failurePage(500, path);
    if (!session->cookie().empty()) answer.headers.emplace_back("Set-Cookie", session->cookie());
    if (!options.logUserKey.empty()) {
      try {
        answer.user = session->valueIfUsed(options.logUserKey).joinText();
      } catch (const ComError&) {
        // An abandoned session has no user.
      }
    }
    if (answer.status == 500) return answer;
    for (auto& [name, value] : response->headers_) {
      if (asciiLower(name) == "content-type")
        answer.contentType = std::move(value);
      else
        answer.headers.emplace_back(std::move(name), std::move(value));
    }
    answer.status = response->status_;
    if (!response->location_.empty()) answer.headers.emplace_back("Location", response->location_);
    answer.body = std::move(response->body_);
    return answer;
  }

  static void fail(const std::string& method, const std::string& target, Answer& answer, PageEnv& env,
                   const std::string& number, const std::string& description, const std::string& path) {
    std::cerr << "kvdn-http: " << method << " " << target << ": error " << number << ": " << description
              << std::endl;
    if (env.db) {
      try {
        env.db->OnEndPage();
      } catch (const ComError& e) {
        std::cerr << "kvdn-http: OnEndPage: error " << e.number() << ": " << e.description() << std::endl;
      }
    }
    answer.status = 500;
    answer.body =
        "<!DOCTYPE html><html><head><meta charset='utf-8'><title>Page error</title></head><body>"
        "<h1>The page failed</h1><p>Error " +
        htmlEscape(number) + ": " + htmlEscape(description) + "</p><p>Page: " + htmlEscape(path) +
        "</p></body></html>";
  }
};

HttpHost::HttpHost(HttpHostOptions options) : impl_(std::make_unique<Impl>()) {
  impl_->options = std::move(options);
  if (impl_->options.threads <= 0) impl_->options.threads = 8;
  impl_->sessions =
      impl_->options.sessionStore
          ? impl_->options.sessionStore
          : makeMemorySessionStore(
                impl_->options.sessionTimeout, std::max<std::size_t>(1, impl_->options.maxSessions),
                impl_->options.sessionOwnerKey, std::max<std::size_t>(1, impl_->options.maxSessionsPerOwner));
  registerStandardClasses(impl_->classes);
  std::error_code ec;
  impl_->tempFolder = impl_->options.tempFolder.empty() ? std::filesystem::temp_directory_path(ec)
                                                        : impl_->options.tempFolder;
  if (impl_->tempFolder.empty()) impl_->tempFolder = "/tmp";
  for (const std::string& address : impl_->options.unlimitedAddresses) {
    // Written as the accept policy will see it ("::0:1" is "::1").
    addrinfo hints{};
    hints.ai_flags = AI_NUMERICHOST;
    addrinfo* found = nullptr;
    if (getaddrinfo(address.c_str(), nullptr, &hints, &found) == 0 && found) {
      impl_->unlimited.insert(Impl::numericAddress(found->ai_addr).first);
      freeaddrinfo(found);
    }
  }
}

HttpHost::~HttpHost() {
  stop();
  std::unique_lock lock(impl_->mutex);
  impl_->changed.wait(lock, [this] { return !impl_->serving; });
  if (impl_->listenFd >= 0) ::close(impl_->listenFd);
}

ClassRegistry& HttpHost::classes() {
  return impl_->classes;
}

void HttpHost::addPage(const std::string& path, PageHandler handler) {
  impl_->pages[path] = std::make_shared<PageEntry>(std::move(handler));
}

bool HttpHost::bind() {
  const HttpHostOptions& o = impl_->options;
  const std::string where = o.address + ":" + std::to_string(o.port);
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV | AI_PASSIVE;
  addrinfo* found = nullptr;
  if (getaddrinfo(o.address.c_str(), std::to_string(o.port).c_str(), &hints, &found) != 0 || !found) {
    std::cerr << "kvdn-http: cannot listen on " << where << ": not a numeric address" << std::endl;
    return false;
  }
  // Non-blocking: every worker thread accepts from it.
  const int fd =
      ::socket(found->ai_family, found->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, found->ai_protocol);
  if (fd < 0) {
    std::cerr << "kvdn-http: cannot listen on " << where << ": " << std::strerror(errno) << std::endl;
    freeaddrinfo(found);
    return false;
  }
  // SO_REUSEADDR lets a restart bind while old connections linger in
  // TIME_WAIT; on Linux it does not let a second listener share the port
  // (that would be SO_REUSEPORT, which is deliberately not set).
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (::bind(fd, found->ai_addr, found->ai_addrlen) != 0 || ::listen(fd, 1024) != 0) {
    const int error = errno;
    std::cerr << "kvdn-http: cannot listen on " << where << ": "
              << (error == EADDRINUSE ? std::string("address in use") : std::strerror(error)) << std::endl;
    ::close(fd);
    freeaddrinfo(found);
    return false;
  }
  freeaddrinfo(found);
  sockaddr_storage bound{};
  socklen_t len = sizeof bound;
  getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &len);
  impl_->port = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                                  : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
  impl_->listenFd = fd;
  return true;
}

int HttpHost::port() const {
  return impl_->port;
}

bool HttpHost::serve() {
  Impl& s = *impl_;
  {
    std::lock_guard lock(s.mutex);
    if (s.listenFd < 0 || s.serving) return false;
    s.serving = true;
  }
  s.pageThreads.start(s.options.threads);
  if (s.options.requestLog)
    s.requestLog.start(s.options.requestLog, s.options.requestLogFlush, s.options.requestLogBacklog);
  s.daemon = MHD_start_daemon(
      MHD_USE_EPOLL_INTERNAL_THREAD | MHD_ALLOW_SUSPEND_RESUME, 0, &Impl::onAccept, &s, &Impl::onRequest, &s,
      MHD_OPTION_LISTEN_SOCKET, s.listenFd, MHD_OPTION_THREAD_POOL_SIZE,
      static_cast<unsigned>(std::max(1, s.options.ioThreads)), MHD_OPTION_CONNECTION_LIMIT,
      s.options.maxConnections, MHD_OPTION_CONNECTION_TIMEOUT,
      static_cast<unsigned>(s.options.connectionTimeout.count()), MHD_OPTION_URI_LOG_CALLBACK, &Impl::onUri,
      &s, MHD_OPTION_NOTIFY_COMPLETED, &Impl::onCompleted, &s, MHD_OPTION_NOTIFY_CONNECTION,
      &Impl::onConnection, &s, MHD_OPTION_LISTEN_BACKLOG_SIZE, 1024u, MHD_OPTION_END);
  if (!s.daemon) {
    std::cerr << "kvdn-http: the HTTP server could not start" << std::endl;
    s.pageThreads.stop();
    s.requestLog.stop(std::chrono::milliseconds(0));
    std::lock_guard lock(s.mutex);
    s.serving = false;
    s.changed.notify_all();
    return false;
  }
  std::unique_lock lock(s.mutex);
  s.changed.wait(lock, [&s] { return s.stopRequested; });
  // New connections are refused from now on (onAccept); answers being made
  // or sent are finished, within the grace time; then every connection is
  // closed. Not MHD_quiesce_daemon: with a pool of epoll threads it races
  // the workers' own removal of the listening socket from their epoll sets,
  // and libmicrohttpd aborts the process when it loses that race.
  s.changed.wait_for(lock, shutdownGrace, [&s] { return s.inFlight.load() == 0; });
  lock.unlock();
  s.resumeUnfinished();
  MHD_stop_daemon(s.daemon);  // closes the listening socket too
  s.daemon = nullptr;
  // A page still running past the grace time is waited for here: its
  // connection is gone, but it may be in the middle of a write.
  s.pageThreads.stop();
  s.requestLog.stop(std::chrono::milliseconds(200));
  lock.lock();
  s.listenFd = -1;
  s.serving = false;
  s.changed.notify_all();
  return true;
}

void HttpHost::stop() {
  std::lock_guard lock(impl_->mutex);
  impl_->stopRequested = true;
  impl_->refusing = true;
  impl_->changed.notify_all();
}

}  // namespace kvdn
