// Answers the host builds itself (static files' types, its error pages)
// and the page's ways to shape its response: redirect, headers, status.
#include "http_exchange.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <system_error>

#include "kvdn/text.h"

namespace kvdn {

namespace http_internal {

const char* contentTypeOf(const std::filesystem::path& file) {
  const std::string ext = asciiLower(file.extension().string());
  if (ext == ".css") return "text/css; charset=utf-8";
  if (ext == ".js") return "text/javascript; charset=utf-8";
  if (ext == ".html" || ext == ".htm") return "text/html; charset=utf-8";
  if (ext == ".png") return "image/png";
  if (ext == ".svg") return "image/svg+xml";
  if (ext == ".ico") return "image/x-icon";
  if (ext == ".gif") return "image/gif";
  if (ext == ".jpg" || ext == ".jpeg") return "image/jpeg";
  if (ext == ".txt") return "text/plain; charset=utf-8";
  return "application/octet-stream";
}

std::string errorPage(const std::string& title, const std::string& text) {
  return "<!DOCTYPE html><html><head><meta charset='utf-8'><title>" + htmlEscape(title) +
         "</title></head><body><h1>" + htmlEscape(title) + "</h1><p>" + htmlEscape(text) +
         "</p></body></html>";
}

void RequestLogger::start(std::function<void(const RequestRecord&)> write, std::function<void()> flush,
                          std::size_t limit) {
  shared_ = std::make_shared<Shared>();
  shared_->write = std::move(write);
  shared_->flush = std::move(flush);
  shared_->limit = std::max<std::size_t>(1, limit);
  thread_ = std::thread([shared = shared_] {
    std::unique_lock lock(shared->mutex);
    while (true) {
      shared->idle = true;
      shared->changed.wait(lock, [&] { return shared->stopping || !shared->backlog.empty(); });
      shared->idle = false;
      if (shared->backlog.empty()) break;
      std::deque<RequestRecord> batch;
      batch.swap(shared->backlog);
      lock.unlock();
      for (const RequestRecord& record : batch) {
        try {
          shared->write(record);
        } catch (const std::exception&) {
          // A log that fails loses its line, never the server.
        }
      }
      if (shared->flush) {
        try {
          shared->flush();
        } catch (const std::exception&) {
          // As above: the lines are lost, never the server.
        }
      }
      lock.lock();
      // Lines that come in meanwhile wait for the next batch instead of
      // waking this thread one by one (post wakes it only when idle).
      shared->changed.wait_for(lock, kLogBatchPause, [&] { return shared->stopping; });
    }
    shared->finished = true;
    shared->changed.notify_all();
  });
}

void RequestLogger::post(RequestRecord record) {
  if (!shared_) return;
  std::lock_guard lock(shared_->mutex);
  if (shared_->stopping) return;
  if (shared_->backlog.size() >= shared_->limit) {
    ++shared_->dropped;
    return;
  }
  record.droppedBefore = shared_->dropped;
  shared_->dropped = 0;
  shared_->backlog.push_back(std::move(record));
  if (shared_->idle) shared_->changed.notify_all();
}

void RequestLogger::stop(std::chrono::milliseconds grace) {
  if (!shared_) return;
  bool finished = false;
  {
    std::unique_lock lock(shared_->mutex);
    shared_->stopping = true;
    shared_->changed.notify_all();
    finished = shared_->changed.wait_for(lock, grace, [this] { return shared_->finished; });
  }
  if (finished)
    thread_.join();
  else
    thread_.detach();
  shared_.reset();
}

BodyBuffer::~BodyBuffer() {
  if (fd_ >= 0) ::close(fd_);
}

namespace {

bool writeAll(int fd, const char* data, std::size_t size) {
  for (std::size_t done = 0; done < size;) {
    const ssize_t n = ::write(fd, data + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      std::cerr << "kvdn-http: a request body could not be written to its temporary file: "
                << std::strerror(n < 0 ? errno : EIO) << std::endl;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

bool BodyBuffer::append(const char* data, std::size_t size) {
  if (fd_ < 0 && memory_.size() + size <= limit_) {
    memory_.append(data, size);
    size_ += size;
    return true;
  }
  if (fd_ < 0) {
    const std::string folder = folder_.string();
    // Unnamed from the start where the file system allows it; else named
    // only for the moment it takes to remove the name.
    fd_ = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd_ < 0) {
      std::string name = (folder_ / "kvdn-body-XXXXXX").string();
      fd_ = ::mkostemp(name.data(), O_CLOEXEC);
      if (fd_ >= 0) ::unlink(name.c_str());
    }
    if (fd_ < 0) {
      std::cerr << "kvdn-http: no temporary file for a request body in " << folder << ": "
                << std::strerror(errno) << std::endl;
      return false;
    }
    if (!writeAll(fd_, memory_.data(), memory_.size())) return false;
    std::string().swap(memory_);
  }
  if (!writeAll(fd_, data, size)) return false;
  size_ += size;
  return true;
}

std::string BodyBuffer::text() const {
  if (fd_ < 0) return memory_;
  std::string out(size_, '\0');
  for (std::size_t done = 0; done < size_;) {
    const ssize_t n = ::pread(fd_, out.data() + done, size_ - done, static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0)
      throw std::system_error(n < 0 ? errno : EIO, std::generic_category(), "reading a request body");
    done += static_cast<std::size_t>(n);
  }
  return out;
}

}  // namespace http_internal

using http_internal::HttpContext;
using http_internal::HttpResponse;

void PageEnv::redirect(const std::string& location) const {
  if (auto* http = dynamic_cast<HttpResponse*>(&response())) {
    http->location_ = location;
    http->status_ = 302;
  }
  response().end();
}

void PageEnv::header(std::string_view name, std::string_view value) const {
  if (name.find_first_of("\r\n:") != std::string_view::npos ||
      value.find_first_of("\r\n") != std::string_view::npos)
    return;
  if (auto* http = dynamic_cast<HttpResponse*>(&response())) http->headers_.emplace_back(name, value);
}

void PageEnv::status(int code) const {
  if (auto* http = dynamic_cast<HttpResponse*>(&response())) http->status_ = code;
}

void PageEnv::renewSession() const {
  if (auto* http = dynamic_cast<HttpContext*>(context.get())) http->httpSession().renew();
}

}  // namespace kvdn
