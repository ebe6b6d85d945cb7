// SPDX-License-Identifier: GPL-2.0-or-later
#include "core/udp.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "core/config.h"
#include "core/console.h"
#include "core/metrics.h"

char LISTEN_IP[16];
int Local_Repeater_srv_sock = -1;
int Local_Repeater_audio_srv_sock = -1;
int Local_Repeater_rdac_srv_sock = -1;
int Corvane_sock = -1;
std::atomic<int32_t> master_voice_port{0};

namespace {

ssize_t system_recv(int sock, uint8_t* buf, size_t cap, sockaddr_in* from, int wait_ms) {
  if (sock < 0) return -1;
  // Wait in poll (negative: without limit), then take the datagram without
  // blocking, whatever mode the socket is in.
  struct pollfd p = {sock, POLLIN, 0};
  if (poll(&p, 1, wait_ms < 0 ? -1 : wait_ms) <= 0) return -1;
  socklen_t alen = sizeof(sockaddr_in);
  memset(from, 0, sizeof *from);
  ssize_t n = recvfrom(sock, buf, cap, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(from), &alen);
  return n < 0 ? -1 : n;
}

ssize_t system_send(int sock, const uint8_t* buf, size_t len, const sockaddr_in* to) {
  if (sock < 0) return -1;
  // Never blocking: a full send queue drops the datagram, as the network would.
  return sendto(sock, buf, len, MSG_DONTWAIT, reinterpret_cast<const sockaddr*>(to), sizeof *to);
}

std::mutex from_lock;
sockaddr_in fromUser2{};

// Shared steps of the three non-blocking opens.
int open_nonblocking(int& sock, int port, const char* create_msg) {
  sock = socket(AF_INET, SOCK_DGRAM, 0);
  if (sock < 0) {
    console_printf(create_msg, errno);
    sock = -1;
    return 1;
  }
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = inet_addr(LISTEN_IP);
  if (bind(sock, reinterpret_cast<sockaddr*>(&a), sizeof a) < 0) {
    console_printf("Failed to bind server socket on IP %s, port %d, errno=%d\n", LISTEN_IP, port, errno);
    close(sock);
    sock = -1;
    return 1;
  }
  fcntl(sock, F_SETFL, fcntl(sock, F_GETFL) | O_NONBLOCK);
  return 0;
}

}  // namespace

const UdpOps udp_ops_system = {system_recv, system_send};
UdpOps udp_ops = udp_ops_system;

int Local_Repeater_srv_open() {
  return open_nonblocking(Local_Repeater_srv_sock, LISTEN_REPEATER_PORT, "Failed to create server socket, errno=%d\n");
}

int Local_Repeater_rdac_srv_open() {
  return open_nonblocking(Local_Repeater_rdac_srv_sock, LISTEN_REPEATER_rdac_PORT,
                          "Failed to create rdac server socket2, errno=%d\n");
}

int Corvane() {
  return open_nonblocking(Corvane_sock, RptrPort, "Failed to create server socket2, errno=%d\n");
}

int Local_Repeater_audio_srv_open() {
  Local_Repeater_audio_srv_sock = socket(AF_INET, SOCK_DGRAM, 0);
  if (Local_Repeater_audio_srv_sock < 0) {
    console_printf("Failed to create server socket2, errno=%d\n", errno);
    Local_Repeater_audio_srv_sock = -1;
    return 1;
  }
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_ANY);
  a.sin_port = htons(LISTEN_REPEATER_AUDIO_PORT);
  // A taken port is not fatal: the master then answers to the port the
  // system picks at the first send.
  (void)bind(Local_Repeater_audio_srv_sock, reinterpret_cast<sockaddr*>(&a), sizeof a);
  return 0;
}

void send_to(int sock, const char* ip, int port, const uint8_t* buf, size_t len) {
  sockaddr_in plug{};
  plug.sin_family = AF_INET;
  plug.sin_port = htons(static_cast<uint16_t>(port));
  plug.sin_addr.s_addr = inet_addr(ip);
  udp_ops.send(sock, buf, len, &plug);
}

namespace {
std::atomic<bool> link_left{false};
}  // namespace

void SEND(uint32_t len, const uint8_t* buf) {
  if (!link_left) send_to(Corvane_sock, RptrIP, RptrPort, buf, len);
}

bool send_repeater_link(const uint8_t* buf, size_t len, const sockaddr_in& to) {
  if (link_left) return false;
  udp_ops.send(Corvane_sock, buf, len, &to);
  return true;
}

void leave_repeater_link(const uint8_t* last, size_t len) {
  link_left = true;  // before the last packet: nothing may follow it
  send_to(Corvane_sock, RptrIP, RptrPort, last, len);
}

bool send_to_master(const uint8_t* buf, size_t len) {
  send_to(Local_Repeater_audio_srv_sock, MasterIP, LISTEN_REPEATER_AUDIO_PORT, buf, len);
  return true;
}

void set_fromUser2(const sockaddr_in& addr) {
  std::lock_guard<std::mutex> g(from_lock);
  fromUser2 = addr;
}

sockaddr_in get_fromUser2() {
  std::lock_guard<std::mutex> g(from_lock);
  return fromUser2;
}

ssize_t recv_from_master(int sock, uint8_t* buf, size_t cap, sockaddr_in* from, int wait_ms) {
  ssize_t n = udp_ops.recv(sock, buf, cap, from, wait_ms);
  if (n < 0) return -1;
  if (from->sin_family != AF_INET || from->sin_addr.s_addr != inet_addr(MasterIP)) {
    count_drop(DROP_STRANGER);
    return -1;
  }
  return n;
}

bool wait_readable(int sock, int wake_fd, int timeout_ms) {
  struct pollfd p[2] = {{sock, POLLIN, 0}, {wake_fd, POLLIN, 0}};
  // poll ignores negative descriptors, so a missing socket just sleeps.
  return poll(p, 2, timeout_ms < 0 ? -1 : timeout_ms) > 0;
}

void reset_udp() {
  Local_Repeater_srv_sock = -1;
  Local_Repeater_audio_srv_sock = -1;
  Local_Repeater_rdac_srv_sock = -1;
  Corvane_sock = -1;
  master_voice_port = 0;
  set_fromUser2(sockaddr_in{});
  link_left = false;
}
