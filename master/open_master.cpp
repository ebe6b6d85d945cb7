// SPDX-License-Identifier: GPL-2.0-or-later
#include "master/open_master.h"

#include <netinet/in.h>

#include <cstring>
#include <mutex>

#include "core/config.h"
#include "core/console.h"
#include "core/link_status.h"
#include "core/metrics.h"
#include "core/udp.h"
#include "master/hytera_link.h"

namespace {

constexpr int HRNP_LEN = 12, RCP_MIN_LEN = 19, ID_REPLY_LEN = 25;
constexpr uint8_t OP_DATA = 0x00, OP_DATA_ACK = 0x10, OP_CLOSE_ACK = 0xFA, OP_CLOSE = 0xFB, OP_ACCEPT = 0xFD,
                  OP_CONNECT = 0xFE;
constexpr uint16_t RCP_ID = 0x0004, RCP_IDENTITY = 0x02D4, RCP_REPLY = 0x8000;
constexpr int64_t NEVER = INT64_MIN / 2;

void put_be16(uint8_t* p, unsigned v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}

void seal_word(uint8_t* m, int len) {
  put_be16(m + 10, rdac_check_word(m, len));
}

// Our HRNP header: version 4, block 0, from 0x10 to 0x20.
void hrnp_header(uint8_t* m, uint8_t op, uint16_t pn, int len) {
  static const uint8_t head[6] = {0x7E, 0x04, 0x00, 0x00, 0x10, 0x20};
  memcpy(m, head, sizeof head);
  m[3] = op;
  put_be16(m + 6, pn);
  put_be16(m + 8, static_cast<unsigned>(len));
  m[10] = m[11] = 0;
}

class Answers {
 public:
  explicit Answers(RdacAnswers& out) : out_(out) {}
  void control(uint8_t op, uint16_t pn) {
    uint8_t* m = next(HRNP_LEN);
    hrnp_header(m, op, pn, HRNP_LEN);
    seal_word(m, HRNP_LEN);
  }
  // 02 | opcode LE | 06 00 | 00 (success) | RptrID LE | the request's last byte
  void like_id_reply(uint16_t opcode, uint16_t pn, uint8_t last) {
    uint8_t* m = next(ID_REPLY_LEN);
    hrnp_header(m, OP_DATA, pn, ID_REPLY_LEN);
    const uint8_t rcp[6] = {
        0x02, static_cast<uint8_t>(opcode), static_cast<uint8_t>(opcode >> 8), ID_REPLY_LEN - RCP_MIN_LEN, 0x00, 0x00};
    memcpy(m + 12, rcp, sizeof rcp);
    for (int i = 0; i < 4; ++i) m[18 + i] = static_cast<uint8_t>(RptrID >> (8 * i));
    m[22] = last;
    m[24] = 0x03;
    m[23] = rdac_check_byte(m, ID_REPLY_LEN);
    seal_word(m, ID_REPLY_LEN);
  }
  void identity(const uint8_t* filled, int len, uint16_t pn) {
    uint8_t* m = next(len);
    memcpy(m, filled, static_cast<size_t>(len));
    put_be16(m + 6, pn);
    seal_word(m, len);
  }

 private:
  uint8_t* next(int len) {
    out_.len[out_.count] = len;
    return out_.msg[out_.count++];
  }
  RdacAnswers& out_;
};

}  // namespace

void p2p_request(uint8_t command, uint8_t out[P2P_REQUEST_LEN]) {
  memset(out, 0, P2P_REQUEST_LEN);
  memcpy(out, "P2P", 3);
  out[20] = command;
}

void p2p_heartbeat(uint8_t seq, uint8_t out[P2P_HEARTBEAT_LEN]) {
  static const uint8_t tmpl[P2P_HEARTBEAT_LEN] = {0x5A, 0x5A, 0x5A, 0x5A, 0x0A, 0x00, 0x00, 0x00, 0x14, 0x00,
                                                  0x00, 0x00, 0x00, 0x5A, 0x59, 0x5A, 0x00, 0x00, 0x00, 0x00};
  memcpy(out, tmpl, sizeof tmpl);
  out[12] = seq;
}

void rdac_dispatch(const uint8_t* in, int n, uint16_t& next_pn, RdacAnswers& out) {
  out.kind = RdacAnswers::NOT_HRNP;
  out.id_sent = false;
  out.count = 0;
  if (n < HRNP_LEN || in[0] != 0x7E || in[1] != 0x04 || in[2] != 0x00) return;
  Answers a(out);
  const uint16_t pn = static_cast<uint16_t>(in[6] << 8 | in[7]);
  out.kind = RdacAnswers::OTHER;
  if (in[3] == OP_CONNECT) {
    out.kind = RdacAnswers::CONNECT;
    next_pn = 1;
    a.control(OP_ACCEPT, 0);
    return;
  }
  if (in[3] == OP_CLOSE) {
    out.kind = RdacAnswers::CLOSE;
    a.control(OP_CLOSE_ACK, pn);
    return;
  }
  if (in[3] != OP_DATA) return;
  a.control(OP_DATA_ACK, pn);
  if (n < RCP_MIN_LEN || in[12] != 0x02) return;
  const uint16_t opcode = static_cast<uint16_t>(in[13] | in[14] << 8);
  if (opcode & RCP_REPLY) return;  // the master answering us: acknowledged, nothing more
  const uint8_t last = n > RCP_MIN_LEN ? in[n - 3] : 0;
  const bool identity = opcode == RCP_IDENTITY && n >= 25 && in[21] == 0x02 && in[22] <= 0x01;
  if (opcode == RCP_ID) {
    // The master waits for one more DATA after the ID reply; nobody reads it.
    a.like_id_reply(opcode | RCP_REPLY, next_pn++, last);
    a.like_id_reply(opcode | RCP_REPLY, next_pn++, last);
    out.id_sent = true;
  } else if (identity && in[22] == 0x00) {
    a.identity(rdac225, RDAC225_LEN, next_pn++);
  } else if (identity) {
    a.identity(rdac71, RDAC71_LEN, next_pn++);
  } else {
    a.like_id_reply(opcode | RCP_REPLY, next_pn++, last);
  }
}

namespace {

enum State { REGISTER, RDAC_PORT, RDAC, DMR_PORT, ONLINE };
enum LogKind {
  LOG_REGISTERING,
  LOG_RETRY,
  LOG_REGISTERED,
  LOG_RDAC_PORT,
  LOG_EXCHANGE,
  LOG_DMR_PORT,
  LOG_LOST,
  LOG_REFUSED,
  LOG_FAILED,
  LOG_IGNORED,
  LOG_KINDS
};

struct Link {
  State state = REGISTER;
  int tries = 0;                                 // of the state's command or trigger
  int64_t due = 0;                               // its next send
  int64_t last_sent[3] = {NEVER, NEVER, NEVER};  // 0x10, 0x11, 0x12
  int64_t since = NEVER;                         // start of this login attempt: counts as heard
  uint16_t rdac_port = 0, dmr_port = 0;
  bool exchange = false;    // from CONNECT to CLOSE, or until HRNP falls silent
  int64_t hrnp_at = NEVER;  // latest HRNP datagram
  bool answered = false;    // a short answer to the latest trigger
  int64_t keepalive_at = 0, rdac_keepalive_at = 0;
  uint8_t heartbeat_seq = 0;
  uint16_t next_pn = 1;
  bool id_sent = false;  // the master asked for the ID since we were last logged in
  int64_t logged_at[LOG_KINDS] = {};
  bool logged[LOG_KINDS] = {};
};

std::mutex link_lock;
Link om;
uint8_t rdac_rx[400];     // RDAC worker
uint8_t service_rx[224];  // service worker
RdacAnswers answers;      // RDAC worker

bool may_log(LogKind k, int64_t now, int64_t interval = OM_LOG_INTERVAL_MS) {
  if (om.logged[k] && now - om.logged_at[k] < interval) return false;
  om.logged[k] = true;
  om.logged_at[k] = now;
  return true;
}

void send_zero(int sock, int port) {
  static const uint8_t zero[1] = {0};
  send_to(sock, MasterIP, port, zero, sizeof zero);
}

void send_command(uint8_t command, int64_t now) {
  uint8_t req[P2P_REQUEST_LEN];
  p2p_request(command, req);
  send_to(Local_Repeater_srv_sock, MasterIP, OpenMasterPort, req, sizeof req);
  om.last_sent[command - P2P_REGISTER] = now;
  ++om.tries;
  om.due = now + OM_REPEAT_MS;
}

// The command of the new state goes out at `at`, but never within 11 s of
// its previous one: the master ignores such a repeat.
void enter(State s, int64_t at) {
  om.state = s;
  om.tries = 0;
  om.due = at;
  const int c = s == REGISTER ? 0 : s == DMR_PORT ? 1 : s == RDAC_PORT ? 2 : -1;
  if (c >= 0 && om.due < om.last_sent[c] + OM_REPEAT_MS) om.due = om.last_sent[c] + OM_REPEAT_MS;
}

void start_over(int64_t now) {
  master_online = 0;
  master_timer = 0;
  master_voice_port = 0;
  om.rdac_port = om.dmr_port = 0;
  om.exchange = false;
  om.since = now;
  enter(REGISTER, now);
}

int64_t heard() {
  const int64_t h = master_heard_ms();
  return h > om.since ? h : om.since;
}

void register_duty(int64_t now) {
  if (om.tries == 0) {
    if (may_log(LOG_REGISTERING, now))
      console_printf("%s Open master %s:%d: registering\n", refresh_ts().text, MasterIP, OpenMasterPort);
  } else if (may_log(LOG_RETRY, now, OM_RETRY_LOG_INTERVAL_MS)) {
    if (om.id_sent)
      console_printf(
          "%s Open master %s:%d: registration keeps failing after the ID was sent; "
          "the master may not know RptrID %u\n",
          refresh_ts().text, MasterIP, OpenMasterPort, RptrID);
    else
      console_printf("%s Open master %s:%d: no answer to the registration, still trying\n", refresh_ts().text, MasterIP,
                     OpenMasterPort);
  }
  send_command(P2P_REGISTER, now);
}

void port_request_duty(int64_t now) {
  const bool dmr = om.state == DMR_PORT;
  if (om.tries == OM_TRIES) {
    if (may_log(LOG_FAILED, now)) {
      if (dmr && om.id_sent)
        console_printf(
            "%s Open master: no DMR port after %d requests, registering again; "
            "the master may not know RptrID %u\n",
            refresh_ts().text, OM_TRIES, RptrID);
      else
        console_printf("%s Open master: no %s port after %d requests, registering again\n", refresh_ts().text,
                       dmr ? "DMR" : "RDAC", OM_TRIES);
    }
    start_over(now);
    if (now >= om.due) register_duty(now);
    return;
  }
  send_command(dmr ? P2P_DMR_PORT : P2P_RDAC_PORT, now);
}

void trigger_duty(int64_t now) {
  if (om.answered || om.tries == OM_TRIES) {
    // An answer without CONNECT: the master's copy of our identity is fresh.
    enter(DMR_PORT, now);
    om.rdac_keepalive_at = now + OM_RDAC_KEEPALIVE_MS;
    if (now >= om.due) port_request_duty(now);
    return;
  }
  send_zero(Local_Repeater_rdac_srv_sock, om.rdac_port);
  ++om.tries;
  om.due = now + OM_CONNECT_WAIT_MS;
}

void duties(int64_t now) {
  if (om.state != REGISTER && now - heard() >= OM_LOST_MS) {
    if (may_log(LOG_LOST, now))
      console_printf("%s Open master %s: link lost (nothing heard for %d s), registering again\n", refresh_ts().text,
                     MasterIP, static_cast<int>(OM_LOST_MS / 1000));
    start_over(now);
  }
  if (om.exchange && now - om.hrnp_at >= OM_RDAC_KEEPALIVE_MS) {
    om.exchange = false;  // abandoned by the master
    if (om.state == RDAC) om.due = now;
  }
  if (now >= om.due) {
    switch (om.state) {
      case REGISTER:
        register_duty(now);
        break;
      case RDAC_PORT:
      case DMR_PORT:
        port_request_duty(now);
        break;
      case RDAC:
        if (!om.exchange) trigger_duty(now);
        break;
      case ONLINE:
        break;
    }
  }
  if (om.state == ONLINE) {
    if (now >= om.keepalive_at) {
      send_zero(Local_Repeater_audio_srv_sock, om.dmr_port);
      uint8_t hb[P2P_HEARTBEAT_LEN];
      p2p_heartbeat(++om.heartbeat_seq, hb);
      send_to(Local_Repeater_srv_sock, MasterIP, OpenMasterPort, hb, sizeof hb);
      om.keepalive_at = now + OM_KEEPALIVE_MS;
    }
    const int64_t left = heard() + OM_LOST_MS - now;
    master_timer = static_cast<int32_t>(left < 1000 ? 1 : left / 1000);
  }
  if ((om.state == DMR_PORT || om.state == ONLINE) && !om.exchange && now >= om.rdac_keepalive_at) {
    send_zero(Local_Repeater_rdac_srv_sock, om.rdac_port);
    om.rdac_keepalive_at = now + OM_RDAC_KEEPALIVE_MS;
  }
}

void on_rdac(int n, const sockaddr_in& from, int64_t now) {
  rdac_dispatch(rdac_rx, n, om.next_pn, answers);
  // Answers go back where the request came from: the master's RDAC port.
  for (int i = 0; i < answers.count; ++i)
    udp_ops.send(Local_Repeater_rdac_srv_sock, answers.msg[i], static_cast<size_t>(answers.len[i]), &from);
  if (answers.id_sent) om.id_sent = true;
  switch (answers.kind) {
    case RdacAnswers::NOT_HRNP:
      // 'A' (or anything short) answers a trigger or keep-alive; longer
      // non-HRNP datagrams are a master's idle answers: both ignored.
      if (n <= 2) om.answered = true;
      return;
    case RdacAnswers::CONNECT:
      om.exchange = true;
      om.answered = false;
      break;
    case RdacAnswers::CLOSE:
      if (om.exchange) {
        om.exchange = false;
        if (may_log(LOG_EXCHANGE, now))
          console_printf("%s Open master: RDAC exchange done, sent call sign %s, ID %u, TX %d Hz, RX %d Hz\n",
                         refresh_ts().text, RptrCall, RptrID, RptrQRGtx, RptrQRGrx);
        if (om.state == RDAC) enter(DMR_PORT, now + OM_DMR_REQUEST_DELAY_MS);
        om.rdac_keepalive_at = now + OM_RDAC_KEEPALIVE_MS;
      }
      break;
    case RdacAnswers::OTHER:
      break;
  }
  om.hrnp_at = now;
}

// Returns true when the login moved on (the RDAC worker has new duties).
bool on_service(int n, int64_t now) {
  const uint8_t* b = service_rx;
  if (n == 1 && b[0] == 0x00) {
    if (om.state == REGISTER) return false;
    if (may_log(LOG_REFUSED, now))
      console_printf("%s Open master %s: not registered, registering again\n", refresh_ts().text, MasterIP);
    start_over(now);
    return true;
  }
  static const uint8_t heartbeat_head[4] = {0x5A, 0x5A, 0x5A, 0x5A};
  if (n == P2P_HEARTBEAT_LEN && memcmp(b, heartbeat_head, 4) == 0) return false;
  if (n == 72) return false;  // voice, before the master learned our DMR port: dropped
  if (n <= 20 || memcmp(b, "P2P", 3) != 0) {
    if (may_log(LOG_IGNORED, now))
      console_printf("%s Open master: %d-byte datagram on the service socket ignored\n", refresh_ts().text, n);
    return false;
  }
  const uint8_t command = b[20];
  const bool redirect = b[4] == 0x0B && n >= 28 && b[n - 4] == 0xFF && b[n - 3] == 0x01;
  const uint16_t port = static_cast<uint16_t>(b[n - 2] | b[n - 1] << 8);
  if (!redirect) {
    if (command != P2P_REGISTER || om.state != REGISTER || om.tries == 0) return false;
    if (may_log(LOG_REGISTERED, now))
      console_printf("%s Open master: registered, asking for the RDAC port\n", refresh_ts().text);
    enter(RDAC_PORT, now);
    return true;
  }
  if (port == 0) return false;
  if (command == P2P_RDAC_PORT && om.state == RDAC_PORT) {
    om.rdac_port = port;
    om.exchange = om.answered = false;
    enter(RDAC, now + OM_TRIGGER_DELAY_MS);
    if (may_log(LOG_RDAC_PORT, now))
      console_printf("%s Open master: RDAC port %u granted, waiting for the exchange\n", refresh_ts().text, port);
    return true;
  }
  if (command == P2P_DMR_PORT && (om.state == DMR_PORT || om.state == ONLINE)) {
    const bool news = om.state != ONLINE || port != om.dmr_port;
    om.state = ONLINE;
    om.dmr_port = port;
    om.id_sent = false;
    om.keepalive_at = now;  // the first keep-alive at once
    master_voice_port = port;
    if (news) {
      master_timer = 30;
      master_online = 1;
      metrics_add(metrics.logins[LINK_MASTER]);
      if (may_log(LOG_DMR_PORT, now))
        console_printf("%s Open master %s: DMR port %u granted, logged in\n", refresh_ts().text, MasterIP, port);
    }
    return true;
  }
  return false;
}

}  // namespace

void open_master_rdac_pass(int64_t now_ms) {
  sockaddr_in from{};
  const ssize_t n = recv_from_master(Local_Repeater_rdac_srv_sock, rdac_rx, sizeof rdac_rx, &from, 0);
  std::lock_guard<std::mutex> g(link_lock);
  if (om.since == NEVER) om.since = now_ms;  // the first pass starts the login
  if (n > 0) {
    note_master_heard(now_ms);
    on_rdac(static_cast<int>(n), from, now_ms);
  }
  duties(now_ms);
}

void open_master_service_pass(int64_t now_ms) {
  sockaddr_in from{};
  const ssize_t n = recv_from_master(Local_Repeater_srv_sock, service_rx, sizeof service_rx, &from, 0);
  if (n < 1) return;
  note_master_heard(now_ms);
  bool moved;
  {
    std::lock_guard<std::mutex> g(link_lock);
    moved = on_service(static_cast<int>(n), now_ms);
  }
  if (moved) repeater_rdac_wake();
}

int open_master_wait_ms(int64_t now_ms) {
  std::lock_guard<std::mutex> g(link_lock);
  int64_t next = now_ms + 1000;
  auto sooner = [&](int64_t t) {
    if (t < next) next = t;
  };
  if (om.state != ONLINE && !(om.state == RDAC && om.exchange)) sooner(om.due);
  if (om.state == ONLINE) sooner(om.keepalive_at);
  if ((om.state == DMR_PORT || om.state == ONLINE) && !om.exchange) sooner(om.rdac_keepalive_at);
  return next <= now_ms ? 0 : static_cast<int>(next - now_ms);
}

void reset_open_master() {
  std::lock_guard<std::mutex> g(link_lock);
  om = Link{};
}

bool open_master_send(const uint8_t* buf, size_t len) {
  const int32_t port = master_voice_port.load();
  if (port == 0) return false;
  send_to(Local_Repeater_audio_srv_sock, MasterIP, port, buf, len);
  return true;
}

// ---- the open master behind the master link --------------------------------------

namespace {

bool om_take(const uint8_t* buf, size_t len, const sockaddr_in&, int64_t now_ms, MasterIn* in) {
  note_master_heard(now_ms);
  return hytera_take(buf, len, true, now_ms, in);
}

bool om_send(const MasterOut& out) {
  return hytera_send(out, master_voice_port.load());
}

}  // namespace

// The login keeps its own time on the RDAC worker; its keep-alives go out
// from there (open_master_rdac_pass).  Position reports would be taken for
// voice on the DMR port.
const MasterLink OPEN_MASTER_LINK = {
    "open_master", nullptr,
    nullptr,       hytera_receive,
    nullptr,       nullptr,
    om_take,       om_send,
    nullptr,       "Position reports are not sent to an open master (it would take them for voice)",
    nullptr,
};
