// SPDX-License-Identifier: GPL-2.0-or-later
// The gateway's four UDP sockets, the send operations and the last-sender
// records.
#pragma once
#include <netinet/in.h>
#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

inline constexpr int LISTEN_REPEATER_PORT = 62005;        // service socket
inline constexpr int LISTEN_REPEATER_AUDIO_PORT = 62006;  // audio socket, everything to the master
inline constexpr int LISTEN_REPEATER_rdac_PORT = 62007;   // RDAC socket

// Local bind address text of the service, RDAC and Motorola-side sockets.
extern char LISTEN_IP[16];

// Socket descriptors, -1 until opened and after a failed open.  Opened by the
// main thread before any worker starts, never changed afterwards.
extern int Local_Repeater_srv_sock;
extern int Local_Repeater_audio_srv_sock;
extern int Local_Repeater_rdac_srv_sock;
extern int Corvane_sock;

// Open operations: 0 on success, 1 on failure (with their message printed).
int Local_Repeater_srv_open();
int Local_Repeater_audio_srv_open();
int Local_Repeater_rdac_srv_open();
int Corvane();

// The operating-system seam of every receive and send, so that tests can
// run the threads' passes without real sockets.  Replaced only while no
// worker thread runs.
struct UdpOps {
  // Receives one datagram into buf (at most cap bytes).  wait_ms < 0 blocks,
  // 0 returns at once, > 0 waits at most that long.  Returns the length, or
  // -1 when nothing was received; *from gets the sender.
  ssize_t (*recv)(int sock, uint8_t* buf, size_t cap, sockaddr_in* from, int wait_ms);
  // Sends one datagram; the result is ignored by every caller.
  ssize_t (*send)(int sock, const uint8_t* buf, size_t len, const sockaddr_in* to);
};
extern UdpOps udp_ops;
extern const UdpOps udp_ops_system;

// Fills a destination record of its own (family, port, address converted
// from dotted-quad text with inet_addr) and sends len bytes on sock.
void send_to(int sock, const char* ip, int port, const uint8_t* buf, size_t len);

// Sends len bytes from Corvane_sock to RptrIP:RptrPort.
void SEND(uint32_t len, const uint8_t* buf);

// Sends len bytes from Corvane_sock to `to` on the repeater's link, unless
// the gateway has left the link; false then.
bool send_repeater_link(const uint8_t* buf, size_t len, const sockaddr_in& to);
// Leaving the repeater's link: `last` (the de-registration) goes to
// RptrIP:RptrPort, and from then on nothing more on the link.
void leave_repeater_link(const uint8_t* last, size_t len);

// The DMR port an open master granted (OpenMasterPort); 0 while it has
// granted none, and then nothing is sent to it.
extern std::atomic<int32_t> master_voice_port;

// Sends len bytes from the audio socket to the master's port 62006 (the
// classic login; the open master's DMR port: open_master_send).  True.
bool send_to_master(const uint8_t* buf, size_t len);

// The sender of the latest accepted datagram from the repeater; voice for
// the repeater goes there.  Copied whole under a small lock.
void set_fromUser2(const sockaddr_in& addr);
sockaddr_in get_fromUser2();

// Receives on one of the master-side sockets (62005, 62006, 62007).  A
// datagram from any address other than MasterIP is dropped as if nothing had
// arrived (and counted: metrics.dropped[DROP_STRANGER]), so strangers can
// neither refresh timers nor inject traffic.  The
// sender goes into *from.  Returns the length or -1.
ssize_t recv_from_master(int sock, uint8_t* buf, size_t cap, sockaddr_in* from, int wait_ms);

// Waits until sock (or wake_fd, when not negative) is readable or timeout_ms
// has passed (negative: no limit).  Returns true when something is readable.
// Used by the worker threads' loops to sleep until they have work.
bool wait_readable(int sock, int wake_fd, int timeout_ms);

// Start-of-run state: sockets -1, fromUser2 cleared, no DMR port granted,
// on the repeater's link.
void reset_udp();
