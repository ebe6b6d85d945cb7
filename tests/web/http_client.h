// SPDX-License-Identifier: GPL-2.0-or-later
// A plain-socket HTTP/1.1 client for the dashboard's tests, on loopback only.
#pragma once
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <string>

// Connects to 127.0.0.1:port from the loopback address `from` (the server
// limits connections per address); -1 on failure.  rcvbuf > 0: the receive
// buffer, set before connecting.
inline int http_connect(uint16_t port, const char* from = "127.0.0.1", int rcvbuf = 0) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (rcvbuf > 0) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  inet_pton(AF_INET, from, &a.sin_addr);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

inline bool http_send(int fd, const std::string& text) {
  return send(fd, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size());
}

// Reads what arrives within ms into *out; false at the end of the stream (or an error).
inline bool http_read_some(int fd, std::string* out, int ms) {
  pollfd p{fd, POLLIN, 0};
  if (poll(&p, 1, ms) <= 0) return true;
  char buf[16384];
  const ssize_t n = recv(fd, buf, sizeof buf, 0);
  if (n <= 0) return false;
  out->append(buf, static_cast<size_t>(n));
  return true;
}

struct HttpReply {
  int status = 0;
  std::string head;  // status line and headers
  std::string body;  // de-chunked
  bool closed = false;
  std::string header(const std::string& name) const {
    const std::string key = "\r\n" + name + ": ";
    const size_t at = head.find(key);
    if (at == std::string::npos) return std::string();
    const size_t from = at + key.size();
    return head.substr(from, head.find("\r\n", from) - from);
  }
};

// Splits the raw bytes read so far; a chunked body is decoded as far as its
// chunks are complete.
inline HttpReply http_parse(const std::string& raw) {
  HttpReply r;
  const size_t end = raw.find("\r\n\r\n");
  if (end == std::string::npos) return r;
  r.head = raw.substr(0, end + 2);
  if (r.head.size() > 12) r.status = atoi(r.head.c_str() + 9);
  std::string rest = raw.substr(end + 4);
  if (r.header("Transfer-Encoding") != "chunked") {
    r.body = rest;
    return r;
  }
  size_t pos = 0;
  for (;;) {
    const size_t line = rest.find("\r\n", pos);
    if (line == std::string::npos) break;
    const size_t n = strtoul(rest.c_str() + pos, nullptr, 16);
    if (n == 0 || line + 2 + n + 2 > rest.size()) break;
    r.body.append(rest, line + 2, n);
    pos = line + 2 + n + 2;
  }
  return r;
}

// Reads until the body contains `want` or the server closes, at most ms.
inline HttpReply http_wait_for(int fd, std::string* raw, const std::string& want, int ms) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  HttpReply r = http_parse(*raw);
  while (r.body.find(want) == std::string::npos && std::chrono::steady_clock::now() < until) {
    const bool open = http_read_some(fd, raw, 50);
    r = http_parse(*raw);
    if (!open) {
      r.closed = true;
      break;
    }
  }
  return r;
}

// One request on a connection of its own, the whole reply.
inline HttpReply http_request(uint16_t port, const std::string& method, const std::string& target,
                              const std::string& extra = "") {
  const int fd = http_connect(port);
  if (fd < 0) return HttpReply{};
  http_send(fd, method + " " + target + " HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n" + extra + "\r\n");
  std::string raw;
  HttpReply r = http_wait_for(fd, &raw, "\x01never", 5000);
  close(fd);
  return r;
}
