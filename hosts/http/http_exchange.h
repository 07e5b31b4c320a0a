// Internal to the HTTP host: one request's plumbing, from its state in the
// server's callbacks to the page run on a page thread and its answer.
#pragma once

#include <microhttpd.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "http_session.h"
#include "kvdn/http_host.h"

namespace kvdn::http_internal {

class HttpResponse final : public Response {
 public:
  void write(std::string_view text) override {
    if (!ended_) body_ += text;
  }
  void end() override { ended_ = true; }
  bool ended() const override { return ended_; }
  std::string body_;
  std::string location_;
  std::vector<std::pair<std::string, std::string>> headers_;
  int status_ = 200;
  bool ended_ = false;
};

class HttpServerObject final : public Server {
 public:
  HttpServerObject(const std::filesystem::path& root, std::string url, const ClassRegistry& classes)
      : root_(root), url_(std::move(url)), classes_(classes) {}
  std::string mapPath(std::string_view path) const override {
    return mapVirtualPath(root_, url_, path).string();
  }
  ObjectPtr createObject(std::string_view progId) override { return classes_.create(progId); }

 private:
  const std::filesystem::path& root_;
  std::string url_;
  const ClassRegistry& classes_;
};

class HttpApplication final : public Application {};

class HttpContext final : public ScriptingContext {
 public:
  HttpContext(std::shared_ptr<Application> a, std::shared_ptr<Request> rq, std::shared_ptr<HttpResponse> rs,
              std::shared_ptr<Server> sv, std::shared_ptr<HttpSession> ss)
      : a_(std::move(a)), rq_(std::move(rq)), rs_(std::move(rs)), sv_(std::move(sv)), ss_(std::move(ss)) {}
  std::shared_ptr<Application> application() override { return a_; }
  std::shared_ptr<Request> request() override { return rq_; }
  std::shared_ptr<Response> response() override { return rs_; }
  std::shared_ptr<Server> server() override { return sv_; }
  std::shared_ptr<Session> session() override { return ss_; }
  HttpSession& httpSession() { return *ss_; }

 private:
  std::shared_ptr<Application> a_;
  std::shared_ptr<Request> rq_;
  std::shared_ptr<HttpResponse> rs_;
  std::shared_ptr<Server> sv_;
  std::shared_ptr<HttpSession> ss_;
};

struct PageJob;

// A request body as it arrives: in memory while it is short, then in an
// unnamed temporary file (gone with its descriptor, whatever happens to the
// process). Written by the server thread that reads the request, read by
// the page thread after; never by both at once.
class BodyBuffer {
 public:
  BodyBuffer(std::size_t inMemoryLimit, std::filesystem::path folder)
      : limit_(inMemoryLimit), folder_(std::move(folder)) {}
  ~BodyBuffer();
  BodyBuffer(const BodyBuffer&) = delete;
  BodyBuffer& operator=(const BodyBuffer&) = delete;
  // Appends `size` bytes. False (with a line on stderr) when the temporary
  // file cannot be made or written: the body is then incomplete.
  bool append(const char* data, std::size_t size);
  std::size_t size() const { return size_; }
  bool inFile() const { return fd_ >= 0; }
  // The whole body. Throws std::system_error when the file cannot be read.
  std::string text() const;

 private:
  std::size_t limit_;
  std::filesystem::path folder_;
  std::string memory_;
  int fd_ = -1;
  std::size_t size_ = 0;
};

// One connection as the callbacks see it, from its accept to its close
// (its socket context): what every request on it would otherwise work out
// again.
struct ConnectionState {
  std::pair<std::string, std::string> peer;  // numeric address and port ("" when unknown)
};

// One request as the callbacks see it, from the request line to completion.
struct RequestState {
  std::string target;  // raw request target: path and query, undecoded
  // The body of a URL-encoded form (null for other bodies, which are
  // dropped as they arrive); handed to the page run.
  std::shared_ptr<BodyBuffer> body;
  std::size_t received = 0;      // body bytes read so far
  std::size_t reserved = 0;      // of the host's in-flight body budget, given back at completion
  bool started = false;          // the access handler has seen the headers
  int refusal = 0;               // 413 or 503: the body is dropped and this answered
  std::shared_ptr<PageJob> job;  // set once the page is handed to a page thread
  // For the request log.
  std::chrono::steady_clock::time_point start;
  std::chrono::system_clock::time_point arrived;
  std::string method;
  std::string user;
  int status = 0;
};

struct Answer {
  int status = 200;
  std::string body;
  std::string contentType = "text/html; charset=utf-8";
  std::vector<std::pair<std::string, std::string>> headers;
  std::string user;  // for the request log
};

// A page run handed to the page threads. The connection is suspended
// meanwhile; it is resumed exactly once: by the page thread with the answer,
// or at shutdown without one (the connection is then closed).
struct PageJob {
  std::mutex mutex;
  MHD_Connection* connection = nullptr;
  bool resumed = false;
  bool done = false;
  Answer answer;
};

// A registered page and how long its recent runs took, which decides where
// it runs (see HttpHostOptions::inlinePageMicros). The figures are read and
// written by any thread without a lock: a lost update only shifts the
// average a little.
struct PageEntry {
  explicit PageEntry(PageHandler h) : handler(std::move(h)) {}
  const PageHandler handler;
  std::atomic<std::uint32_t> recentMicros{0};  // moving average over about eight runs
  std::atomic<std::uint32_t> runs{0};          // counted up to kLearned only
  static constexpr std::uint32_t kLearned = 4;

  // Whether a run of this page, without a form, may run on the server's
  // thread under `limit` microseconds (0: never).
  bool runsInline(std::uint32_t limit) const {
    return limit > 0 && runs.load(std::memory_order_relaxed) >= kLearned &&
           recentMicros.load(std::memory_order_relaxed) <= limit;
  }
  // Counts a run of `micros`. One run far over the average counts whole, so
  // that a page that has begun to wait leaves the server's threads at once.
  void ran(std::uint64_t micros, std::uint32_t limit) {
    const auto now = static_cast<std::uint32_t>(std::min<std::uint64_t>(micros, 1u << 30));
    const std::uint32_t before = recentMicros.load(std::memory_order_relaxed);
    const std::uint32_t n = runs.load(std::memory_order_relaxed);
    std::uint32_t next = n == 0 ? now : (before * 7u + now) / 8u;
    if (limit > 0 && now > limit) next = std::max(next, now);
    recentMicros.store(next, std::memory_order_relaxed);
    if (n < kLearned) runs.store(n + 1, std::memory_order_relaxed);
  }
};

// What a page run needs, copied from the connection on the server's thread.
// The query and form are parsed on the page thread.
struct PageInput {
  std::shared_ptr<PageEntry> handler;
  std::string rawQuery;
  std::shared_ptr<BodyBuffer> form;  // null: no form
  std::vector<std::pair<std::string, std::string>> serverVariables;
  std::string sessionId;
  std::string path;
  std::string method;
  std::string target;
};

// Fixed threads taking jobs in order. stop() lets the queued and running
// jobs finish and joins.
class WorkerPool {
 public:
  void start(int threads) {
    for (int i = 0; i < threads; ++i) {
      threads_.emplace_back([this] {
        // Named, for top -H and the tests that tell where a page ran.
        pthread_setname_np(pthread_self(), "kvdn-page");
        while (true) {
          std::function<void()> job;
          {
            std::unique_lock lock(mutex_);
            ready_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
            if (jobs_.empty()) return;
            job = std::move(jobs_.front());
            jobs_.pop_front();
          }
          job();
        }
      });
    }
  }
  void submit(std::function<void()> job) {
    std::lock_guard lock(mutex_);
    jobs_.push_back(std::move(job));
    ready_.notify_one();
  }
  void stop() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
      ready_.notify_all();
    }
    for (auto& t : threads_) t.join();
    threads_.clear();
    stopping_ = false;
  }

 private:
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<std::function<void()>> jobs_;
  std::vector<std::thread> threads_;
  bool stopping_ = false;
};

// The request log's writer: records are queued by the server threads (never
// waiting on the log) and handed to the log function in order by a thread
// of its own. A backlog past `limit` is dropped and counted in the next
// record queued. Under load the thread writes in batches, at most one per
// kLogBatchPause, so that a line costs no thread switch; an idle writer is
// woken by the first line.
inline constexpr std::chrono::milliseconds kLogBatchPause{5};
class RequestLogger {
 public:
  ~RequestLogger() { stop(std::chrono::milliseconds(0)); }
  // `flush` (may be empty) is called after each batch handed to `write`.
  void start(std::function<void(const RequestRecord&)> write, std::function<void()> flush, std::size_t limit);
  // From any thread; never blocks on the log.
  void post(RequestRecord record);
  // Lets the thread write the backlog for at most `grace`; a log still
  // blocked then is left to finish (or not) on its own.
  void stop(std::chrono::milliseconds grace);

 private:
  struct Shared {
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<RequestRecord> backlog;
    long long dropped = 0;
    bool stopping = false;
    bool finished = false;
    bool idle = false;  // the thread waits for a line (post wakes it)
    std::size_t limit = 0;
    std::function<void(const RequestRecord&)> write;
    std::function<void()> flush;
  };
  std::shared_ptr<Shared> shared_;  // shared with the thread, which may outlive this
  std::thread thread_;
};

// The content type a static file is served with, by its extension.
const char* contentTypeOf(const std::filesystem::path& file);

// The host's own small error page: `title` and `text`, escaped.
std::string errorPage(const std::string& title, const std::string& text);

}  // namespace kvdn::http_internal
