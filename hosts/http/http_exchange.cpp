// Answers the host builds itself (static files' types, its error pages)
// and the page's ways to shape its response: redirect, headers, status.
#include "http_exchange.h"

#include <fcntl.h>
#include <unistd.h>

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
