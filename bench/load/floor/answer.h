// The fixed answer both floor servers give to every request, and what they
// share around it: arguments, the listening socket, the stop signal.
//
//   PROGRAM HEAD_FILE BODY_FILE PORT THREADS
//
// HEAD_FILE holds the answer's own header lines ("Name: value", one a line,
// CR LF or LF), as the site sends them for the page being imitated; the
// lines a server writes itself per answer (Date, Content-Length,
// Connection, Transfer-Encoding, Server) and the status line are skipped
// here, so a `curl -D` dump can be given as it is. BODY_FILE is the body.
// PORT 0 picks a free one. Once listening, the program prints
// "listening on http://127.0.0.1:PORT/" on stdout and nothing per request;
// SIGTERM or SIGINT ends it with status 0. Bench code: a malformed argument
// ends the program with status 2 and a message.
#pragma once

#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace floorbench {

struct Answer {
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
};

struct Arguments {
  Answer answer;
  int port = 0;
  int threads = 1;
};

[[noreturn]] inline void fail(const std::string& what) {
  std::cerr << what << std::endl;
  std::exit(2);
}

inline std::string readFile(const char* path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) fail(std::string("cannot read ") + path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

inline bool sameName(const std::string& a, const char* b) {
  return a.size() == std::strlen(b) && strncasecmp(a.c_str(), b, a.size()) == 0;
}

inline Answer readAnswer(const char* headFile, const char* bodyFile) {
  Answer answer;
  std::istringstream lines(readFile(headFile));
  std::string line;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::size_t colon = line.find(':');
    if (line.empty() || line.compare(0, 5, "HTTP/") == 0 || colon == std::string::npos || colon == 0)
      continue;
    std::string name = line.substr(0, colon);
    const std::size_t start = line.find_first_not_of(" \t", colon + 1);
    std::string value = start == std::string::npos ? std::string() : line.substr(start);
    bool own = false;
    for (const char* skipped : {"Date", "Content-Length", "Connection", "Transfer-Encoding", "Server"})
      own = own || sameName(name, skipped);
    if (!own) answer.headers.emplace_back(std::move(name), std::move(value));
  }
  answer.body = readFile(bodyFile);
  return answer;
}

inline Arguments parseArguments(int argc, char** argv) {
  if (argc != 5) fail(std::string("usage: ") + argv[0] + " HEAD_FILE BODY_FILE PORT THREADS");
  Arguments args;
  args.answer = readAnswer(argv[1], argv[2]);
  char* end = nullptr;
  const long port = std::strtol(argv[3], &end, 10);
  if (*end != '\0' || port < 0 || port > 65535) fail(std::string("bad port: ") + argv[3]);
  const long threads = std::strtol(argv[4], &end, 10);
  if (*end != '\0' || threads < 1 || threads > 256) fail(std::string("bad thread count: ") + argv[4]);
  args.port = static_cast<int>(port);
  args.threads = static_cast<int>(threads);
  return args;
}

// A non-blocking listening socket on 127.0.0.1:port (backlog 1024, as the
// site's), SO_REUSEPORT when `shared` so that each thread may have its own.
// Returns the descriptor; `port` becomes the bound port.
inline int listenOn(int& port, bool shared) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) fail(std::string("socket: ") + std::strerror(errno));
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (shared) setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 1024) != 0)
    fail("cannot listen on 127.0.0.1:" + std::to_string(port) + ": " + std::strerror(errno));
  socklen_t length = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  port = ntohs(address.sin_port);
  return fd;
}

// Blocks SIGTERM and SIGINT in the calling thread and every thread it starts
// afterwards (call it first in main), and ignores SIGPIPE; waitForStop then
// returns once either arrives.
inline sigset_t blockStopSignals() {
  std::signal(SIGPIPE, SIG_IGN);
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);
  return stop;
}

inline void waitForStop(const sigset_t& stop) {
  int number = 0;
  while (sigwait(&stop, &number) != 0) {
  }
}

// As many descriptors as the system allows this process (the site does the
// same); returns the connection limit the site would then use.
inline unsigned raiseFileLimit(unsigned wanted) {
  rlimit files{};
  if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
  }
  if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur != RLIM_INFINITY &&
      files.rlim_cur < wanted + 64)
    return files.rlim_cur > 128 ? static_cast<unsigned>(files.rlim_cur - 64) : 64;
  return wanted;
}

inline void announce(int port) {
  std::printf("listening on http://127.0.0.1:%d/\n", port);
  std::fflush(stdout);
}

}  // namespace floorbench
