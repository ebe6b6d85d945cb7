// SPDX-License-Identifier: GPL-2.0-or-later
// Replaces the gateway's sockets with queues: tests feed datagrams to a
// socket descriptor and read back what the gateway sent, and to where.
#pragma once
#include <arpa/inet.h>

#include <algorithm>
#include <cstdio>
#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "core/udp.h"

struct FakeDatagram {
  int sock;
  std::vector<uint8_t> bytes;
  sockaddr_in peer;  // sender (incoming) or destination (outgoing)

  std::string ip() const { return inet_ntoa(peer.sin_addr); }
  int port() const { return ntohs(peer.sin_port); }
};

inline sockaddr_in make_addr(const char* ip, int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = inet_addr(ip);
  return a;
}

class FakeNet {
 public:
  FakeNet() {
    incoming_.clear();
    sent_.clear();
    udp_ops.recv = [](int sock, uint8_t* buf, size_t cap, sockaddr_in* from, int) -> ssize_t {
      auto it = std::find_if(incoming_.begin(), incoming_.end(), [&](const FakeDatagram& d) { return d.sock == sock; });
      if (it == incoming_.end()) return -1;
      const size_t n = std::min(it->bytes.size(), cap);
      std::copy_n(it->bytes.begin(), n, buf);
      *from = it->peer;
      incoming_.erase(it);
      return static_cast<ssize_t>(n);
    };
    udp_ops.send = [](int sock, const uint8_t* buf, size_t len, const sockaddr_in* to) -> ssize_t {
      sent_.push_back({sock, std::vector<uint8_t>(buf, buf + len), *to});
      return static_cast<ssize_t>(len);
    };
  }
  ~FakeNet() { udp_ops = udp_ops_system; }

  void feed(int sock, std::vector<uint8_t> bytes, const char* ip, int port) {
    incoming_.push_back({sock, std::move(bytes), make_addr(ip, port)});
  }
  std::vector<FakeDatagram> take_sent() { return std::exchange(sent_, {}); }
  // The same, one "socket>ip:port first-byte/length" text per datagram
  // (the byte in hexadecimal).
  std::vector<std::string> take_summary() {
    std::vector<std::string> out;
    for (const FakeDatagram& d : take_sent()) {
      char s[64];
      snprintf(s, sizeof s, "%d>%s:%d %02X/%zu", d.sock, d.ip().c_str(), d.port(), d.bytes.empty() ? 0 : d.bytes[0],
               d.bytes.size());
      out.push_back(s);
    }
    return out;
  }

 private:
  static inline std::deque<FakeDatagram> incoming_;
  static inline std::vector<FakeDatagram> sent_;
};
