// Replaces the gateway's sockets with queues: tests feed datagrams to a
// socket descriptor and read back what the gateway sent, and to where.
#pragma once
#include <arpa/inet.h>

#include <cstring>
#include <deque>
#include <string>
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
    incoming().clear();
    sent().clear();
    udp_ops.recv = [](int sock, uint8_t* buf, size_t cap, sockaddr_in* from, int) -> ssize_t {
      auto& q = incoming();
      for (auto it = q.begin(); it != q.end(); ++it) {
        if (it->sock != sock) continue;
        size_t n = it->bytes.size() < cap ? it->bytes.size() : cap;
        if (n) memcpy(buf, it->bytes.data(), n);
        *from = it->peer;
        q.erase(it);
        return static_cast<ssize_t>(n);
      }
      return -1;
    };
    udp_ops.send = [](int sock, const uint8_t* buf, size_t len, const sockaddr_in* to) -> ssize_t {
      sent().push_back({sock, std::vector<uint8_t>(buf, buf + len), *to});
      return static_cast<ssize_t>(len);
    };
  }
  ~FakeNet() { udp_ops = udp_ops_system; }

  void feed(int sock, std::vector<uint8_t> bytes, const char* ip, int port) {
    incoming().push_back({sock, std::move(bytes), make_addr(ip, port)});
  }
  std::vector<FakeDatagram>& sent_list() { return sent(); }
  std::vector<FakeDatagram> take_sent() {
    auto s = sent();
    sent().clear();
    return s;
  }

 private:
  static std::deque<FakeDatagram>& incoming() {
    static std::deque<FakeDatagram> q;
    return q;
  }
  static std::vector<FakeDatagram>& sent() {
    static std::vector<FakeDatagram> s;
    return s;
  }
};
