// SPDX-License-Identifier: GPL-2.0-or-later
// The login into an open DMR master that takes Hytera repeaters
// (--open-master): P2P registration on the master's service port, the RDAC
// exchange the master drives, keep-alives and voice on the DMR port it
// grants.  Local ports stay 62005 (P2P), 62007 (RDAC) and 62006 (DMR);
// every remote port but the service port comes from the master's redirects.
//
//   register   0x10 from 62005 to MasterIP:OpenMasterPort, again every 11 s
//   ack 0x10   -> 0x12 (RDAC port), up to 3 tries 11 s apart
//   redirect   -> RDAC port; 0.5 s later one byte 00 from 62007 to it,
//                 again after 5 s without CONNECT (3 times at most)
//   exchange   answered by rdac_dispatch; its CLOSE (or an 'A' without a
//              CONNECT, or 3 triggers unanswered) -> 0x11 1 s later, up to
//                 3 tries 11 s apart
//   redirect   -> DMR port: logged in (master_online 1, voice goes there);
//                 00 from 62006 to it every 5 s, the 20-byte heartbeat to the
//                 service port every 5 s, 00 to the RDAC port every 10 s
//                 unless an exchange runs
// The same command never goes out twice within 11 s.  20 s with nothing
// from the master's address on any of the three sockets, a single byte 00
// on the service socket, or a request that failed 3 times: back to 0x10.
//
// The RDAC worker (repeater_rdac) runs the timers and the RDAC socket; the
// service-socket drain feeds the master's P2P replies in and wakes it.
#pragma once
#include <cstddef>
#include <cstdint>

#include "master/rdac.h"

inline constexpr int P2P_REQUEST_LEN = 24;
inline constexpr int P2P_HEARTBEAT_LEN = 20;
inline constexpr uint8_t P2P_REGISTER = 0x10, P2P_DMR_PORT = 0x11, P2P_RDAC_PORT = 0x12;

inline constexpr int64_t OM_REPEAT_MS = 11000;            // the same command again, no sooner
inline constexpr int64_t OM_LOST_MS = 20000;              // silence that ends the link
inline constexpr int64_t OM_KEEPALIVE_MS = 5000;          // DMR keep-alive and heartbeat
inline constexpr int64_t OM_RDAC_KEEPALIVE_MS = 10000;    // RDAC keep-alive; also ends a stalled exchange
inline constexpr int64_t OM_TRIGGER_DELAY_MS = 500;       // redirect to the first RDAC trigger
inline constexpr int64_t OM_CONNECT_WAIT_MS = 5000;       // trigger to the next one without CONNECT
inline constexpr int64_t OM_DMR_REQUEST_DELAY_MS = 1000;  // CLOSE to 0x11
inline constexpr int OM_TRIES = 3;
inline constexpr int64_t OM_LOG_INTERVAL_MS = 10000;  // one line of a kind at most this often
inline constexpr int64_t OM_RETRY_LOG_INTERVAL_MS = 60000;

// The 24-byte P2P request for a command, and the 20-byte heartbeat.
void p2p_request(uint8_t command, uint8_t out[P2P_REQUEST_LEN]);
void p2p_heartbeat(uint8_t seq, uint8_t out[P2P_HEARTBEAT_LEN]);

// The answers to one datagram on the RDAC socket, by its type alone: an
// HRNP CONNECT gets ACCEPT, CLOSE gets CLOSE_ACK, DATA gets its DATA_ACK and
// then, by RCP opcode, the ID reply and a copy of it (0x0004), the 225-byte
// message (0x02D4 / 02 00), the 71-byte one (0x02D4 / 02 01), nothing more
// for a reply opcode, and a reply like the ID reply for any other request.
// Our DATA messages are numbered from next_pn, which a CONNECT sets back to 1.
inline constexpr int RDAC_MAX_ANSWERS = 3;
struct RdacAnswers {
  enum Kind { NOT_HRNP, CONNECT, CLOSE, OTHER } kind;
  bool id_sent;  // the ID reply is among the answers
  int count;
  int len[RDAC_MAX_ANSWERS];
  uint8_t msg[RDAC_MAX_ANSWERS][RDAC225_LEN];
};
void rdac_dispatch(const uint8_t* in, int n, uint16_t& next_pn, RdacAnswers& out);

// One pass of each worker at monotonic time now_ms.  The RDAC pass takes
// at most one datagram from the RDAC socket and answers it, then does every
// duty that is due; the service pass takes at most one datagram from the
// service socket.
void open_master_rdac_pass(int64_t now_ms);
void open_master_service_pass(int64_t now_ms);
// Until the RDAC worker's next duty (never more than a second).
int open_master_wait_ms(int64_t now_ms);

// Sends a datagram from the audio socket to the DMR port the master
// granted; false while it has granted none.
bool open_master_send(const uint8_t* buf, size_t len);

// Back to the start: not logged in, registration due at once.
void reset_open_master();
