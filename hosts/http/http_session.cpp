// Session ids from the kernel's random source and the session cookie read
// back from a request's Cookie header.
#include <sys/random.h>

#include <cerrno>

#include "http_session.h"

namespace kvdn {

std::string newRandomId() {
  unsigned char bytes[16];
  std::size_t got = 0;
  while (got < sizeof bytes) {
    const ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
    if (n > 0) {
      got += static_cast<std::size_t>(n);
    } else if (n < 0 && errno != EINTR) {
      raise(err::kCannotCreate, "no random bytes for a session id");
    }
  }
  static const char* hex = "0123456789abcdef";
  std::string id;
  for (unsigned char b : bytes) {
    id += hex[b >> 4];
    id += hex[b & 15];
  }
  return id;
}

namespace http_internal {

std::string cookieValue(const std::string& cookies, const std::string& name) {
  std::size_t pos = 0;
  while (pos < cookies.size()) {
    std::size_t end = cookies.find(';', pos);
    if (end == std::string::npos) end = cookies.size();
    std::string pair = cookies.substr(pos, end - pos);
    std::size_t start = pair.find_first_not_of(' ');
    if (start != std::string::npos) pair = pair.substr(start);
    if (pair.rfind(name + "=", 0) == 0) return pair.substr(name.size() + 1);
    pos = end + 1;
  }
  return {};
}

}  // namespace http_internal

}  // namespace kvdn
