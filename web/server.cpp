// SPDX-License-Identifier: GPL-2.0-or-later
#include "web/server.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <vector>

#include "core/call_record.h"
#include "core/clock.h"
#include "core/console.h"
#include "core/id_list.h"
#include "core/link_status.h"
#include "web/metrics_text.h"
#include "web/model.h"

namespace {

// ---- limits ----

constexpr size_t STREAM_MAX = 16;                // event streams at once; one more gets 503
constexpr size_t STREAM_BACKLOG = 256 * 1024;    // bytes a stream may have waiting before it is dropped
constexpr int STREAM_SNDBUF = 32 * 1024;         // the kernel's share of a stream's backlog
constexpr unsigned CONNECTIONS_MAX = 64;         // connections in all
constexpr unsigned CONNECTIONS_PER_ADDRESS = 8;  // from one address
constexpr size_t CONNECTION_MEMORY = 32 * 1024;  // request headers and the write buffer of one connection
constexpr int64_t PROGRESS_MS = 1000;            // call_progress of a call on the air

// The web thread's stack.  It touches 16 KiB of it (web_stats().stack_touched,
// with every endpoint, 16 streams and calls relayed), the thread's own
// descriptor and TLS at its top included: MHD's epoll pass keeps its event
// array there, nlohmann's serializer a 512-byte buffer per level of a
// document four levels deep, snprintf a few KiB.  256 KiB leave it sixteen
// times that for what the libraries may do on paths not measured; a locked
// process (MCL_ONFAULT) pays only for the pages touched.  Sanitizer builds
// need far more.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr size_t WEB_STACK_BYTES = 8 * 1024 * 1024;
#else
constexpr size_t WEB_STACK_BYTES = 256 * 1024;
#endif

const char* const SECURITY_HEADERS[][2] = {
    {"Content-Security-Policy", "default-src 'self'"},
    {"X-Content-Type-Options", "nosniff"},
    {"Referrer-Policy", "no-referrer"},
    {"X-Frame-Options", "DENY"},
};

// One event stream (/api/events): its bytes not yet handed to the server.
// While it has nothing to send its connection is suspended (no time-out);
// one whose client takes nothing for the request time-out while bytes wait
// is closed by the server, one with STREAM_BACKLOG waiting by us.
struct Stream {
  MHD_Connection* conn = nullptr;
  int fd = -1;
  std::string out;
  size_t taken = 0;  // bytes of `out` already handed over
  int64_t last_put = 0;
  bool suspended = false;
  bool dead = false;  // dropped: the next read ends it
  size_t pending() const { return out.size() - taken; }
};

// ---- state (the thread that runs the server, except where atomic) ----

struct Server {
  MHD_Daemon* daemon = nullptr;
  WebOptions opt;
  bool stopping = false;
  std::vector<Stream*> streams;
  int64_t mono = 0, wall = 0;  // of the current pass
  int64_t next_progress = -1;  // -1: no call on the air, or nobody to tell
};
Server srv;

std::atomic<uint16_t> bound_port{0};
std::atomic<uint64_t> passes{0}, dropped_streams{0}, refused_streams{0};
std::atomic<int> open_streams{0};
std::atomic<size_t> stack_touched{0};

const WebAsset* assets_override = nullptr;
size_t assets_override_count = 0;

// The eventfd of the call record's events: made once and kept for the whole
// process, so that a voice thread's write never meets a descriptor closed
// under it.
int wake_fd = -1;

// The web thread.
pthread_t thread;
bool thread_running = false;
std::atomic<bool> stop_requested{false};
void* stack_base = nullptr;

int64_t wall_now_ms() {
  struct timespec t;
  clock_gettime(CLOCK_REALTIME, &t);
  return static_cast<int64_t>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

std::string address_text(uint32_t addr, uint16_t port) {
  char buf[32];
  snprintf(buf, sizeof buf, "%u.%u.%u.%u:%u", addr >> 24, (addr >> 16) & 255, (addr >> 8) & 255, addr & 255, port);
  return buf;
}

// ---- responses ----

void add_headers(MHD_Response* r, const char* type, bool page_file) {
  for (const auto& h : SECURITY_HEADERS) MHD_add_response_header(r, h[0], h[1]);
  MHD_add_response_header(r, "Cache-Control", page_file ? "no-cache" : "no-store");
  if (type != nullptr) MHD_add_response_header(r, "Content-Type", type);
}

MHD_Result respond(MHD_Connection* c, unsigned status, const void* body, size_t len, const char* type,
                   bool page_file = false, bool persistent = false) {
  MHD_Response* r = MHD_create_response_from_buffer(len, const_cast<void*>(body),
                                                    persistent ? MHD_RESPMEM_PERSISTENT : MHD_RESPMEM_MUST_COPY);
  if (r == nullptr) return MHD_NO;
  add_headers(r, type, page_file);
  if (status == MHD_HTTP_METHOD_NOT_ALLOWED) MHD_add_response_header(r, "Allow", "GET, HEAD");
  if (status == MHD_HTTP_SERVICE_UNAVAILABLE) MHD_add_response_header(r, "Retry-After", "10");
  const MHD_Result ret = MHD_queue_response(c, status, r);
  MHD_destroy_response(r);
  return ret;
}

MHD_Result respond_text(MHD_Connection* c, unsigned status, const char* text) {
  return respond(c, status, text, strlen(text), "text/plain; charset=utf-8", false, true);
}

MHD_Result respond_json(MHD_Connection* c, const nlohmann::ordered_json& j) {
  const std::string body = json_text(j);
  return respond(c, MHD_HTTP_OK, body.data(), body.size(), "application/json");
}

// ---- the query: nothing but a limit 1..200 ----

struct Query {
  int keys = 0;
  bool bad = false;
  size_t limit = LASTHEARD_DEFAULT;
};

MHD_Result query_arg(void* cls, MHD_ValueKind, const char* key, const char* value) {
  Query* q = static_cast<Query*>(cls);
  if (++q->keys > 1 || key == nullptr || strcmp(key, "limit") != 0 || value == nullptr) {
    q->bad = true;
    return MHD_NO;
  }
  size_t n = 0, digits = 0;
  for (const char* p = value; *p != '\0'; ++p, ++digits) {
    if (*p < '0' || *p > '9' || digits >= 3) {
      q->bad = true;
      return MHD_NO;
    }
    n = n * 10 + static_cast<size_t>(*p - '0');
  }
  if (digits == 0 || n < 1 || n > LASTHEARD_KEEP) q->bad = true;
  q->limit = n;
  return q->bad ? MHD_NO : MHD_YES;
}

// ---- the page's files ----

const WebAsset* find_asset(const char* url) {
  if (url[0] != '/') return nullptr;
  const char* name = url[1] == '\0' ? "index.html" : url + 1;
  const WebAsset* table = assets_override != nullptr ? assets_override : web_builtin_assets;
  const size_t n = assets_override != nullptr ? assets_override_count : web_builtin_asset_count;
  for (size_t i = 0; i < n; ++i)
    if (strcmp(table[i].name, name) == 0) return &table[i];
  return nullptr;
}

// ---- event streams ----

// Ends a stream; `slow`: because its client does not read.
void drop_stream(Stream* s, bool slow) {
  s->dead = true;
  std::string().swap(s->out);
  s->taken = 0;
  if (slow) dropped_streams.fetch_add(1, std::memory_order_relaxed);
  if (s->suspended) {
    s->suspended = false;
    MHD_resume_connection(s->conn);  // its next read ends it
  } else if (s->fd >= 0) {
    // The server waits to write to a client that reads nothing: the next
    // write fails and the server closes the connection.
    shutdown(s->fd, SHUT_RDWR);
  }
}

// A suspended connection is out of the server's sight: a client that
// hangs up (or sends anything, which a stream's client never does) is
// noticed here, and its stream ends.
void check_hangups() {
  pollfd fds[STREAM_MAX];
  Stream* of[STREAM_MAX];
  nfds_t n = 0;
  for (Stream* s : srv.streams)
    if (s->suspended && !s->dead && s->fd >= 0 && n < STREAM_MAX) {
      fds[n] = pollfd{s->fd, POLLIN | POLLRDHUP, 0};
      of[n++] = s;
    }
  if (n == 0 || poll(fds, n, 0) <= 0) return;
  for (nfds_t i = 0; i < n; ++i)
    if (fds[i].revents != 0) drop_stream(of[i], false);
}

void put(Stream* s, const std::string& text) {
  if (s->dead || text.empty()) return;
  if (s->pending() + text.size() > STREAM_BACKLOG) {
    drop_stream(s, true);
    return;
  }
  s->out += text;
  s->last_put = srv.mono;
  if (s->suspended) {
    s->suspended = false;
    MHD_resume_connection(s->conn);
  }
}

void put_all(const std::string& text) {
  for (Stream* s : srv.streams) put(s, text);
}

ssize_t stream_read(void* cls, uint64_t, char* buf, size_t max) {
  try {
    Stream* s = static_cast<Stream*>(cls);
    if (s->dead || srv.stopping) return MHD_CONTENT_READER_END_WITH_ERROR;
    const size_t n = s->pending() < max ? s->pending() : max;
    if (n == 0) {
      // Nothing to send: the connection sleeps until put() wakes it.
      s->out.clear();
      s->taken = 0;
      s->suspended = true;
      MHD_suspend_connection(s->conn);
      return 0;
    }
    memcpy(buf, s->out.data() + s->taken, n);
    s->taken += n;
    if (s->taken == s->out.size()) {
      s->out.clear();
      s->taken = 0;
    } else if (s->taken > STREAM_BACKLOG / 4) {
      s->out.erase(0, s->taken);
      s->taken = 0;
    }
    return static_cast<ssize_t>(n);
  } catch (...) {
    return MHD_CONTENT_READER_END_WITH_ERROR;
  }
}

void stream_free(void* cls) {
  Stream* s = static_cast<Stream*>(cls);
  for (size_t i = 0; i < srv.streams.size(); ++i)
    if (srv.streams[i] == s) {
      srv.streams.erase(srv.streams.begin() + static_cast<std::ptrdiff_t>(i));
      break;
    }
  open_streams.store(static_cast<int>(srv.streams.size()), std::memory_order_relaxed);
  delete s;
}

MHD_Result open_stream(MHD_Connection* c, bool head) {
  if (head) return respond(c, MHD_HTTP_OK, "", 0, "text/event-stream");
  if (srv.streams.size() >= STREAM_MAX) {
    refused_streams.fetch_add(1, std::memory_order_relaxed);
    return respond_text(c, MHD_HTTP_SERVICE_UNAVAILABLE, "too many event streams\n");
  }
  auto s = std::make_unique<Stream>();
  s->conn = c;
  s->last_put = srv.mono;
  s->out = "retry: 3000\n\n";
  const char* last_id = MHD_lookup_connection_value(c, MHD_HEADER_KIND, "Last-Event-ID");
  if (last_id == nullptr || !sse_replay(last_id, &s->out))
    s->out += sse_snapshot(srv.wall, srv.mono, *id_list_current());
  srv.streams.reserve(STREAM_MAX);
  MHD_Response* r = MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 16 * 1024, stream_read, s.get(), stream_free);
  if (r == nullptr) return MHD_NO;
  srv.streams.push_back(s.release());  // stream_free takes it out again
  open_streams.store(static_cast<int>(srv.streams.size()), std::memory_order_relaxed);
  add_headers(r, "text/event-stream", false);
  if (const MHD_ConnectionInfo* i = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CONNECTION_FD)) {
    srv.streams.back()->fd = i->connect_fd;
    const int size = STREAM_SNDBUF;
    setsockopt(i->connect_fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
  }
  const MHD_Result ret = MHD_queue_response(c, MHD_HTTP_OK, r);
  MHD_destroy_response(r);
  return ret;
}

// ---- requests ----

MHD_Result handle(MHD_Connection* c, const char* url, const char* method) {
  const bool head = strcmp(method, "HEAD") == 0;
  if (!head && strcmp(method, "GET") != 0) return respond_text(c, MHD_HTTP_METHOD_NOT_ALLOWED, "only GET and HEAD\n");
  const WebAsset* asset = nullptr;
  const bool known = strcmp(url, "/api/status") == 0 || strcmp(url, "/api/lastheard") == 0 ||
                     strcmp(url, "/api/history") == 0 || strcmp(url, "/api/events") == 0 ||
                     strcmp(url, "/metrics") == 0 || (asset = find_asset(url)) != nullptr;
  if (!known) return respond_text(c, MHD_HTTP_NOT_FOUND, "not found\n");
  Query q;
  MHD_get_connection_values(c, MHD_GET_ARGUMENT_KIND, query_arg, &q);
  if (q.bad) return respond_text(c, MHD_HTTP_BAD_REQUEST, "no query parameter but limit=1..200\n");

  if (asset != nullptr)
    return respond(c, MHD_HTTP_OK, asset->data, asset->size, web_asset_type(asset->name), true, true);
  if (strcmp(url, "/api/events") == 0) return open_stream(c, head);
  if (strcmp(url, "/metrics") == 0) {
    const std::string text = metrics_text(take_metrics_snapshot(web_model_start_ms()));
    return respond(c, MHD_HTTP_OK, text.data(), text.size(), "text/plain; version=0.0.4; charset=utf-8");
  }
  if (strcmp(url, "/api/history") == 0) return respond_json(c, history_json(srv.wall));
  const auto ids = id_list_current();
  if (strcmp(url, "/api/lastheard") == 0) return respond_json(c, lastheard_json(q.limit, *ids));
  return respond_json(c, status_json(srv.wall, srv.mono, *ids));
}

MHD_Result on_request(void*, MHD_Connection* c, const char* url, const char* method, const char*, const char*,
                      size_t* upload_size, void** con_cls) {
  try {
    if (*con_cls != nullptr) {  // answered at the first call; a request body is ignored
      *upload_size = 0;
      return MHD_YES;
    }
    *con_cls = c;
    if (url == nullptr || method == nullptr) return MHD_NO;
    return handle(c, url, method);
  } catch (...) {
    try {
      return respond_text(c, MHD_HTTP_INTERNAL_SERVER_ERROR, "internal error\n");
    } catch (...) {
      return MHD_NO;  // the connection is closed
    }
  }
}

MHD_Result on_accept(void*, const sockaddr* a, socklen_t len) {
  if (a == nullptr || a->sa_family != AF_INET || len < static_cast<socklen_t>(sizeof(sockaddr_in))) return MHD_NO;
  sockaddr_in in;
  memcpy(&in, a, sizeof in);
  return web_allowed(srv.opt, ntohl(in.sin_addr.s_addr)) ? MHD_YES : MHD_NO;
}

unsigned connection_count() {
  const MHD_DaemonInfo* i = MHD_get_daemon_info(srv.daemon, MHD_DAEMON_INFO_CURRENT_CONNECTIONS);
  return i != nullptr ? i->num_connections : 0;
}

// ---- the thread ----

size_t guard_bytes() {
  return static_cast<size_t>(sysconf(_SC_PAGESIZE));
}

size_t measure_stack() {
  if (stack_base == nullptr) return 0;
  const size_t page = guard_bytes();
  std::vector<unsigned char> vec(WEB_STACK_BYTES / page);
  if (mincore(stack_base, WEB_STACK_BYTES, vec.data()) != 0) return 0;
  size_t n = 0;
  for (unsigned char v : vec) n += v & 1;
  return n * page;
}

void* web_main(void*) {
  while (!stop_requested.load()) {
    const int64_t wait = web_pass(mono_ms(), wall_now_ms());
    stack_touched.store(measure_stack(), std::memory_order_relaxed);
    pollfd fds[2 + STREAM_MAX];
    const size_t n = web_poll_fds(fds, 2 + STREAM_MAX);
    poll(fds, n, wait < 0 ? -1 : wait > 3600000 ? 3600000 : static_cast<int>(wait));
  }
  web_close();
  return nullptr;
}

bool parse_quad(const char* s, size_t len, uint32_t* out) {
  char buf[16];
  if (len == 0 || len >= sizeof buf) return false;
  memcpy(buf, s, len);
  buf[len] = '\0';
  in_addr a;
  if (inet_pton(AF_INET, buf, &a) != 1) return false;
  *out = ntohl(a.s_addr);
  return true;
}

// Decimal digits only, at most `max`.  Checked digit by digit: where
// unsigned long has 32 bits (armhf) ten digits would wrap around.
bool parse_number(const char* s, size_t len, unsigned long max, unsigned long* out) {
  if (len == 0 || len > 10) return false;
  unsigned long v = 0;
  for (size_t i = 0; i < len; ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
    v = v * 10 + static_cast<unsigned long>(s[i] - '0');
    if (v > max) return false;
  }
  *out = v;
  return true;
}

}  // namespace

const char* web_asset_type(const char* name) {
  static const char* const types[][2] = {{".html", "text/html; charset=utf-8"},
                                         {".css", "text/css; charset=utf-8"},
                                         {".js", "text/javascript; charset=utf-8"},
                                         {".svg", "image/svg+xml"},
                                         {".png", "image/png"},
                                         {".ico", "image/x-icon"},
                                         {".json", "application/json"},
                                         {".txt", "text/plain; charset=utf-8"},
                                         {".woff2", "font/woff2"}};
  const char* dot = strrchr(name, '.');
  if (dot != nullptr)
    for (const auto& t : types)
      if (strcmp(dot, t[0]) == 0) return t[1];
  return "application/octet-stream";
}

bool web_parse_http(const char* text, WebOptions* o, std::string* error) {
  const size_t len = strnlen(text, 32);
  const char* colon = static_cast<const char*>(memchr(text, ':', len));
  uint32_t addr = 0x7F000001;
  unsigned long port = 0;
  const char* p = colon != nullptr ? colon + 1 : text;
  const size_t plen = len - static_cast<size_t>(p - text);
  if (len >= 32 || (colon != nullptr && !parse_quad(text, static_cast<size_t>(colon - text), &addr)) ||
      !parse_number(p, plen, 65535, &port) || port == 0) {
    char buf[160];
    snprintf(buf, sizeof buf, "--http %.32s: expected [ADDR:]PORT, an IPv4 address and a port 1..65535", text);
    *error = buf;
    return false;
  }
  o->addr = addr;
  o->port = static_cast<uint16_t>(port);
  return true;
}

bool web_parse_allow(const char* text, WebOptions* o, std::string* error) {
  WebNet nets[WEB_ALLOW_MAX];
  int count = 0;
  const char* p = text;
  for (;;) {
    const char* end = strchr(p, ',');
    const size_t len = end != nullptr ? static_cast<size_t>(end - p) : strlen(p);
    const char* slash = static_cast<const char*>(memchr(p, '/', len));
    uint32_t addr = 0;
    unsigned long bits = 0;
    char buf[160];
    if (count == WEB_ALLOW_MAX) {
      snprintf(buf, sizeof buf, "--http-allow: more than %d networks", WEB_ALLOW_MAX);
      *error = buf;
      return false;
    }
    if (slash == nullptr || !parse_quad(p, static_cast<size_t>(slash - p), &addr) ||
        !parse_number(slash + 1, len - static_cast<size_t>(slash + 1 - p), 32, &bits)) {
      snprintf(buf, sizeof buf, "--http-allow %.*s: expected a.b.c.d/n with n 0..32, several separated by commas",
               static_cast<int>(len < 40 ? len : 40), p);
      *error = buf;
      return false;
    }
    const uint32_t mask = bits == 0 ? 0 : ~uint32_t{0} << (32 - bits);
    nets[count++] = WebNet{addr & mask, mask};
    if (end == nullptr) break;
    p = end + 1;
  }
  memcpy(o->allow, nets, sizeof(WebNet) * static_cast<size_t>(count));
  o->allow_count = count;
  return true;
}

bool web_allowed(const WebOptions& o, uint32_t ip) {
  if ((o.addr >> 24) == 127 || o.allow_count == 0) return true;
  for (int i = 0; i < o.allow_count && i < WEB_ALLOW_MAX; ++i)
    if ((ip & o.allow[i].mask) == o.allow[i].net) return true;
  return false;
}

void web_set_mode(WebOptions* o, const char* mode) {
  snprintf(o->mode, sizeof o->mode, "%s", mode);
}

bool web_open(const WebOptions& o) {
  if (srv.daemon != nullptr) return false;
  srv.opt = o;
  srv.stopping = false;
  srv.next_progress = -1;
  const std::string where = address_text(o.addr, o.port);
  const int64_t start = start_wall_ms.load() != 0 ? start_wall_ms.load() : wall_now_ms();
  web_model_reset(start, srv.opt.mode);

  // Our own listening socket: a failure to bind has its own errno to report.
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(o.addr);
  sa.sin_port = htons(o.port);
  const int on = 1;
  if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
      bind(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0 || listen(fd, 32) != 0) {
    const int err = errno;
    if (fd >= 0) close(fd);
    console_printf("Dashboard not started: %s: %s\n", where.c_str(), strerror(err));
    return false;
  }
  socklen_t salen = sizeof sa;
  getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &salen);

  if (wake_fd < 0) wake_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  srv.daemon =
      MHD_start_daemon(MHD_USE_EPOLL | MHD_ALLOW_SUSPEND_RESUME, 0, on_accept, nullptr, on_request, nullptr,
                       MHD_OPTION_LISTEN_SOCKET, fd, MHD_OPTION_CONNECTION_LIMIT, CONNECTIONS_MAX,
                       MHD_OPTION_PER_IP_CONNECTION_LIMIT, CONNECTIONS_PER_ADDRESS, MHD_OPTION_CONNECTION_MEMORY_LIMIT,
                       CONNECTION_MEMORY, MHD_OPTION_CONNECTION_TIMEOUT, o.request_timeout_s, MHD_OPTION_END);
  if (srv.daemon == nullptr || wake_fd < 0) {
    if (srv.daemon != nullptr) MHD_stop_daemon(srv.daemon);
    srv.daemon = nullptr;
    close(fd);
    console_printf("Dashboard not started: %s: the HTTP server could not start\n", where.c_str());
    return false;
  }
  bound_port.store(ntohs(sa.sin_port));
  call_record_set_wake_fd(wake_fd);
  return true;
}

int64_t web_pass(int64_t mono, int64_t wall) {
  passes.fetch_add(1, std::memory_order_relaxed);
  srv.mono = mono;
  srv.wall = wall;
  uint64_t ignored;
  if (wake_fd >= 0) {
    ssize_t r = read(wake_fd, &ignored, sizeof ignored);  // the counter back to 0
    (void)r;
  }
  if (srv.daemon == nullptr) return -1;
  bool any = false;  // a call on the air
  try {
    check_hangups();
    const auto ids = id_list_current();
    RecordEvent ev;
    while (call_record_pop(&ev)) put_all(web_model_take(ev, *ids, mono));

    // Progress of the calls on the air, once a second while anybody listens.
    CallFigures live[CH_COUNT];
    bool on_air[CH_COUNT];
    for (int ch = 0; ch < CH_COUNT; ++ch) any |= on_air[ch] = call_record_live(static_cast<CallChannel>(ch), &live[ch]);
    if (!any || srv.streams.empty()) {
      srv.next_progress = -1;
    } else if (srv.next_progress < 0) {
      srv.next_progress = mono + PROGRESS_MS;
    } else if (mono >= srv.next_progress) {
      for (int ch = 0; ch < CH_COUNT; ++ch)
        if (on_air[ch]) put_all(sse_progress(live[ch], *ids));
      srv.next_progress = mono + PROGRESS_MS;
    }
    for (Stream* s : srv.streams)
      if (mono - s->last_put >= srv.opt.keepalive_ms) put(s, ": keep-alive\n\n");
  } catch (...) {
    // Out of memory at worst: the events are lost, the server goes on.
  }

  // At the connection limit the server takes its listening socket out of its
  // epoll set and puts it back only at the start of a later run: when
  // connections went (or the limit was near), run again, or the thread would
  // sleep with nothing to wake it for a new client.
  unsigned before = connection_count();
  MHD_run(srv.daemon);
  for (int again = 0; again < 3; ++again) {
    const unsigned after = connection_count();
    if (after >= CONNECTIONS_MAX || (after >= before && before + 1 < CONNECTIONS_MAX)) break;
    before = after;
    MHD_run(srv.daemon);
  }
  // A stream opened during the call gets its progress too.
  if (any && !srv.streams.empty() && srv.next_progress < 0) srv.next_progress = mono + PROGRESS_MS;

  int64_t wait = -1;
  MHD_UNSIGNED_LONG_LONG t;
  if (MHD_get_timeout(srv.daemon, &t) == MHD_YES) wait = t > INT64_MAX ? INT64_MAX : static_cast<int64_t>(t);
  auto sooner = [&](int64_t due) {
    const int64_t w = due > mono ? due - mono : 0;
    if (wait < 0 || w < wait) wait = w;
  };
  if (srv.next_progress >= 0) sooner(srv.next_progress);
  for (const Stream* s : srv.streams)
    if (!s->dead) sooner(s->last_put + srv.opt.keepalive_ms);
  return wait;
}

size_t web_poll_fds(pollfd* fds, size_t cap) {
  size_t n = 0;
  const MHD_DaemonInfo* i = srv.daemon != nullptr ? MHD_get_daemon_info(srv.daemon, MHD_DAEMON_INFO_EPOLL_FD) : nullptr;
  if (i != nullptr && n < cap) fds[n++] = pollfd{i->epoll_fd, POLLIN, 0};
  if (wake_fd >= 0 && n < cap) fds[n++] = pollfd{wake_fd, POLLIN, 0};
  for (const Stream* s : srv.streams)
    if (s->suspended && !s->dead && s->fd >= 0 && n < cap) fds[n++] = pollfd{s->fd, POLLIN | POLLRDHUP, 0};
  return n;
}

void web_close() {
  if (srv.daemon == nullptr) return;
  call_record_set_wake_fd(-1);
  // Every stream ends; a suspended connection must be resumed before the
  // server may stop.
  srv.stopping = true;
  for (Stream* s : srv.streams)
    if (s->suspended) {
      s->suspended = false;
      MHD_resume_connection(s->conn);
    }
  MHD_stop_daemon(srv.daemon);  // closes the listening socket and every connection
  srv.daemon = nullptr;
  srv.streams.clear();  // freed with their responses
  open_streams = 0;
  bound_port = 0;
}

bool web_start(const WebOptions& o) {
  if (thread_running || !web_open(o)) return false;
  stop_requested = false;
  // A stack of our own, mapped untouched (mincore() then tells how much of
  // it the thread used), above a guard page.
  void* map = mmap(nullptr, WEB_STACK_BYTES + guard_bytes(), PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
  stack_base = map == MAP_FAILED ? nullptr : static_cast<char*>(map) + guard_bytes();
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  bool ok = stack_base != nullptr && mprotect(map, guard_bytes(), PROT_NONE) == 0 &&
            pthread_attr_setstack(&attr, stack_base, WEB_STACK_BYTES) == 0;
  // Normal priority whoever starts it.
  sched_param sp{};
  pthread_attr_setinheritsched(&attr, PTHREAD_EXPLICIT_SCHED);
  pthread_attr_setschedpolicy(&attr, SCHED_OTHER);
  pthread_attr_setschedparam(&attr, &sp);
  ok = ok && pthread_create(&thread, &attr, web_main, nullptr) == 0;
  pthread_attr_destroy(&attr);
  if (!ok) {
    if (stack_base != nullptr) munmap(map, WEB_STACK_BYTES + guard_bytes());
    stack_base = nullptr;
    web_close();
    console_printf("Dashboard not started: %s: no thread for it\n", address_text(o.addr, o.port).c_str());
    return false;
  }
  thread_running = true;
  return true;
}

void web_stop() {
  if (!thread_running) {
    web_close();
    return;
  }
  stop_requested = true;
  const uint64_t one = 1;
  ssize_t r = write(wake_fd, &one, sizeof one);
  (void)r;
  pthread_join(thread, nullptr);
  thread_running = false;
  stack_touched.store(measure_stack(), std::memory_order_relaxed);
  munmap(static_cast<char*>(stack_base) - guard_bytes(), WEB_STACK_BYTES + guard_bytes());
  stack_base = nullptr;
}

uint16_t web_port() {
  return bound_port.load();
}

WebStats web_stats() {
  return WebStats{passes.load(), open_streams.load(), dropped_streams.load(), refused_streams.load(),
                  stack_touched.load()};
}

void reset_web() {
  web_stop();
  passes = 0;
  dropped_streams = 0;
  refused_streams = 0;
  stack_touched = 0;
  assets_override = nullptr;
  assets_override_count = 0;
  srv = Server{};
  web_model_reset(0, "classic");
}

void web_set_assets(const WebAsset* table, size_t count) {
  assets_override = table;
  assets_override_count = count;
}
