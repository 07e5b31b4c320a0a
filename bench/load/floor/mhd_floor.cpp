// libmicrohttpd's floor as the site's host uses it: one fixed answer (see
// answer.h) from a daemon started with the host's flags and options (a pool
// of epoll threads, suspend/resume allowed, its own listening socket, the
// connection limit, idle timeout and backlog, the URI log, completion and
// connection callbacks), driven through the same two calls of the access
// handler per request. Only the work behind the callbacks is gone: they do
// nothing, and one persistent response is queued for every request, so what
// this costs per answer is the library's own.
//
//   mhd_floor HEAD_FILE BODY_FILE PORT THREADS     (THREADS: the host's I/O threads)
#include <microhttpd.h>

#include <chrono>

#include "answer.h"

namespace {

// What the host's defaults are (HttpHostOptions).
constexpr unsigned kMaxConnections = 4000;
constexpr auto kConnectionTimeout = std::chrono::seconds(30);

// Any non-null state: the access handler tells the first call from the
// second by it, as the host does with its per-request state.
int headersSeen;
int started;

void* onUri(void*, const char*, MHD_Connection*) {
  return &headersSeen;
}

void onCompleted(void*, MHD_Connection*, void** state, MHD_RequestTerminationCode) {
  *state = nullptr;
}

void onConnection(void*, MHD_Connection*, void**, MHD_ConnectionNotificationCode) {}

MHD_Result onAccept(void*, const sockaddr*, socklen_t) {
  return MHD_YES;
}

MHD_Result onRequest(void* cls, MHD_Connection* connection, const char*, const char*, const char*,
                     const char*, size_t* uploadSize, void** state) {
  if (*state == &headersSeen) {  // headers in: go on to the body, if any
    *state = &started;
    return MHD_YES;
  }
  if (*uploadSize > 0) {  // a body is read and dropped
    *uploadSize = 0;
    return MHD_YES;
  }
  return MHD_queue_response(connection, MHD_HTTP_OK, static_cast<MHD_Response*>(cls));
}

}  // namespace

int main(int argc, char** argv) {
  const sigset_t stop = floorbench::blockStopSignals();
  floorbench::Arguments args = floorbench::parseArguments(argc, argv);
  const unsigned maxConnections = floorbench::raiseFileLimit(kMaxConnections);
  MHD_Response* response = MHD_create_response_from_buffer(args.answer.body.size(), args.answer.body.data(),
                                                           MHD_RESPMEM_PERSISTENT);
  if (!response) floorbench::fail("mhd_floor: cannot make the response");
  for (const auto& [name, value] : args.answer.headers) {
    if (MHD_add_response_header(response, name.c_str(), value.c_str()) != MHD_YES)
      floorbench::fail("mhd_floor: header refused: " + name);
  }
  const int fd = floorbench::listenOn(args.port, false);
  MHD_Daemon* daemon = MHD_start_daemon(
      MHD_USE_EPOLL_INTERNAL_THREAD | MHD_ALLOW_SUSPEND_RESUME, 0, &onAccept, nullptr, &onRequest, response,
      MHD_OPTION_LISTEN_SOCKET, fd, MHD_OPTION_THREAD_POOL_SIZE, static_cast<unsigned>(args.threads),
      MHD_OPTION_CONNECTION_LIMIT, maxConnections, MHD_OPTION_CONNECTION_TIMEOUT,
      static_cast<unsigned>(kConnectionTimeout.count()), MHD_OPTION_URI_LOG_CALLBACK, &onUri, nullptr,
      MHD_OPTION_NOTIFY_COMPLETED, &onCompleted, nullptr, MHD_OPTION_NOTIFY_CONNECTION, &onConnection,
      nullptr, MHD_OPTION_LISTEN_BACKLOG_SIZE, 1024u, MHD_OPTION_END);
  if (!daemon) floorbench::fail("mhd_floor: the daemon did not start");
  floorbench::announce(args.port);
  floorbench::waitForStop(stop);
  MHD_stop_daemon(daemon);  // closes the listening socket too
  MHD_destroy_response(response);
  return 0;
}
