// The same fixed answer (see answer.h) from libh2o's own event loop: one
// loop per thread, each with its own SO_REUSEPORT listener on the one port
// (the kernel spreads the connections over them), one context per loop over
// a shared configuration, HTTP/1.1 only, no TLS. The handler adds the
// headers (names resolved once, values never copied) and sends the body in
// one final piece with its Content-Length; h2o writes the status line,
// Date and Connection itself.
//
//   h2o_floor HEAD_FILE BODY_FILE PORT THREADS
#define H2O_USE_EPOLL 1
#include <h2o.h>

#include <fcntl.h>

#include <atomic>
#include <cctype>
#include <thread>

#include "answer.h"

namespace {

// As the site's host: a connection quiet this long is closed.
constexpr uint64_t kIdleMillis = 30000;

struct Header {
  const h2o_token_t* token;  // null: not one h2o knows by name
  std::string name, value;
};

std::vector<Header> headers;  // read-only once the loops run
h2o_iovec_t body;
h2o_generator_t generator = {nullptr, nullptr};  // one piece, nothing to pull or stop

int onRequest(h2o_handler_t*, h2o_req_t* req) {
  req->res.status = 200;
  req->res.reason = "OK";
  req->res.content_length = body.len;
  for (const Header& h : headers) {
    if (h.token)
      h2o_add_header(&req->pool, &req->res.headers, h.token, h.name.c_str(), h.value.data(), h.value.size());
    else
      h2o_add_header_by_str(&req->pool, &req->res.headers, h.name.data(), h.name.size(), 0, nullptr,
                            h.value.data(), h.value.size());
  }
  h2o_start_response(req, &generator);
  h2o_iovec_t piece = body;  // h2o_send takes the vector as writable; the bytes are not written
  h2o_send(req, &piece, 1, H2O_SEND_STATE_FINAL);
  return 0;
}

// One event loop and what it owns. `stopping` is set by the main thread,
// which then writes to `wake` so that the loop sees it.
struct Loop {
  h2o_context_t context;
  h2o_accept_ctx_t accept{};
  int listener = -1;
  int wake[2] = {-1, -1};
  std::atomic<bool> stopping{false};
};

void onAccept(h2o_socket_t* listener, const char* error) {
  if (error) return;
  auto* accept = static_cast<h2o_accept_ctx_t*>(listener->data);
  for (int i = 0; i < 16; ++i) {  // a few at a time, as h2o's own server does
    h2o_socket_t* socket = h2o_evloop_socket_accept(listener);
    if (!socket) return;
    h2o_accept(accept, socket);
  }
}

void onWake(h2o_socket_t*, const char*) {}  // the loop returns; run() checks `stopping`

void run(Loop* loop, h2o_globalconf_t* config) {
  h2o_context_init(&loop->context, h2o_evloop_create(), config);
  loop->accept.ctx = &loop->context;
  loop->accept.hosts = config->hosts;
  h2o_socket_t* listener =
      h2o_evloop_socket_create(loop->context.loop, loop->listener, H2O_SOCKET_FLAG_DONT_READ);
  listener->data = &loop->accept;
  h2o_socket_read_start(listener, onAccept);
  h2o_socket_t* wake = h2o_evloop_socket_create(loop->context.loop, loop->wake[0], 0);
  h2o_socket_read_start(wake, onWake);
  while (!loop->stopping.load()) h2o_evloop_run(loop->context.loop, INT32_MAX);
  // Left to the process's end: the listener, open connections, the context.
}

}  // namespace

int main(int argc, char** argv) {
  const sigset_t stop = floorbench::blockStopSignals();
  floorbench::Arguments args = floorbench::parseArguments(argc, argv);
  floorbench::raiseFileLimit(0);
  for (auto& [name, value] : args.answer.headers) {
    std::string lower = name;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const h2o_token_t* token = h2o_lookup_token(lower.data(), lower.size());
    headers.push_back({token, name, value});
  }
  body = h2o_iovec_init(args.answer.body.data(), args.answer.body.size());

  static h2o_globalconf_t config;
  h2o_config_init(&config);
  config.server_name = h2o_iovec_init(nullptr, 0);  // no Server header, as the site sends none
  config.http1.req_timeout = kIdleMillis;
  h2o_hostconf_t* host = h2o_config_register_host(&config, h2o_iovec_init(H2O_STRLIT("default")), 65535);
  h2o_pathconf_t* path = h2o_config_register_path(host, "/", 0);
  h2o_create_handler(path, sizeof(h2o_handler_t))->on_req = onRequest;

  std::vector<Loop> loops(static_cast<std::size_t>(args.threads));
  for (Loop& loop : loops) {
    loop.listener = floorbench::listenOn(args.port, true);  // the first picks the port when it is 0
    if (pipe2(loop.wake, O_CLOEXEC | O_NONBLOCK) != 0) floorbench::fail("pipe2 failed");
  }
  std::vector<std::thread> threads;
  for (Loop& loop : loops) threads.emplace_back(run, &loop, &config);
  floorbench::announce(args.port);
  floorbench::waitForStop(stop);
  for (Loop& loop : loops) {
    loop.stopping = true;
    const char byte = 0;
    if (write(loop.wake[1], &byte, 1) != 1) floorbench::fail("cannot wake a loop");
  }
  for (std::thread& thread : threads) thread.join();
  return 0;
}
