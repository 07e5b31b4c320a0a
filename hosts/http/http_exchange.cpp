// Answers the host builds itself (static files' types, its error pages)
// and the page's ways to shape its response: redirect, headers, status.
#include "http_exchange.h"
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
