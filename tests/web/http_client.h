// SPDX-License-Identifier: GPL-2.0-or-later
// A plain-socket HTTP/1.1 client for the dashboard's tests, on loopback only.
#pragma once
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>

// Connects to 127.0.0.1:port from the loopback address `from`; rcvbuf > 0
// sets the receive buffer first.  -1 on failure.
inline int http_connect(uint16_t port, const char* from = "127.0.0.1", int rcvbuf = 0) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (rcvbuf > 0) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
  sockaddr_in a{}, to{};
  a.sin_family = to.sin_family = AF_INET;
  inet_pton(AF_INET, from, &a.sin_addr);
  to.sin_port = htons(port);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0)
    return fd;
  close(fd);
  return -1;
}

inline void http_send(int fd, const std::string& text) {
  (void)!send(fd, text.data(), text.size(), MSG_NOSIGNAL);
}

struct HttpReply {
  int status = 0;
  std::string head;  // status line and headers
  std::string body;  // de-chunked as far as the chunks are complete
  bool closed = false;
  std::string header(const std::string& name) const {
    const size_t at = head.find("\r\n" + name + ": ");
    if (at == std::string::npos) return std::string();
    const size_t from = at + name.size() + 4;
    return head.substr(from, head.find("\r\n", from) - from);
  }
};

inline HttpReply http_parse(const std::string& raw) {
  HttpReply r;
  const size_t end = raw.find("\r\n\r\n");
  if (end == std::string::npos) return r;
  r.head = raw.substr(0, end + 2);
  r.status = atoi(r.head.c_str() + 9);
  const std::string rest = raw.substr(end + 4);
  if (r.header("Transfer-Encoding") != "chunked") return r.body = rest, r;
  for (size_t pos = 0, line; (line = rest.find("\r\n", pos)) != std::string::npos;) {
    const size_t n = strtoul(rest.c_str() + pos, nullptr, 16);
    if (n == 0 || line + n + 4 > rest.size()) break;
    r.body.append(rest, line + 2, n);
    pos = line + n + 4;
  }
  return r;
}

// Reads into *raw until the body holds `want` or the server closes, ms at most.
inline HttpReply http_wait_for(int fd, std::string* raw, const std::string& want, int ms) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  HttpReply r = http_parse(*raw);
  while (r.body.find(want) == std::string::npos && std::chrono::steady_clock::now() < until) {
    pollfd p{fd, POLLIN, 0};
    char buf[16384];
    ssize_t n = 1;
    if (poll(&p, 1, 20) > 0 && (n = recv(fd, buf, sizeof buf, 0)) > 0) raw->append(buf, static_cast<size_t>(n));
    r = http_parse(*raw);
    if ((r.closed = n <= 0)) break;
  }
  return r;
}

// One request on a connection of its own: the whole reply.
inline HttpReply http_request(uint16_t port, const std::string& method, const std::string& target,
                              const std::string& extra = "") {
  const int fd = http_connect(port);
  http_send(fd, method + " " + target + " HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n" + extra + "\r\n");
  std::string raw;
  HttpReply r = http_wait_for(fd, &raw, "\x01never", 5000);
  close(fd);
  return r;
}
