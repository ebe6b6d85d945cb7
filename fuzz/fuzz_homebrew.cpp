// SPDX-License-Identifier: GPL-2.0-or-later
// The HomeBrew login (--homebrew) on the master's datagrams, in every state:
// each datagram goes through the classifier (both readings of RPTACK) and
// the DMRD reader, then into the login, followed by one pass.
//
// The first byte picks the state to start from (bits 0-2: idle, RPTL sent,
// RPTK sent, RPTC sent, RPTO sent, logged in, pausing after a refusal,
// closed; bit 3 sets options), reached with the canned answers of a real
// master.  Then records: flags bit 0 sends from the master's address but
// another port, bit 1 from another address, bit 2 receives nothing, bit 3
// lets the canned master answer what the pass sent, bits 4-7 advance the
// clock by that many 500 ms steps first.
#include <nettle/sha2.h>

#include "core/config.h"
#include "core/link_status.h"
#include "fuzz/harness.h"
#include "master/homebrew.h"
#include "master/homebrew_packet.h"

namespace {

constexpr int AUDIO_SOCK = 6;
constexpr int PORT = 62031;
constexpr uint32_t ID = 3120101;
constexpr const char* PASS = "passw0rd";

const uint8_t SALT_ACK[10] = {'R', 'P', 'T', 'A', 'C', 'K', 0x78, 0x57, 0xDD, 0x86};
const uint8_t ID_ACK[10] = {'R', 'P', 'T', 'A', 'C', 'K', 0x00, 0x2F, 0x9B, 0xE5};
const uint8_t PONG[11] = {'M', 'S', 'T', 'P', 'O', 'N', 'G', 0x00, 0x2F, 0x9B, 0xE5};
const uint8_t NAK[10] = {'M', 'S', 'T', 'N', 'A', 'K', 0x00, 0x2F, 0x9B, 0xE5};

int64_t now;
// What the checker saw: the latest login step sent ('L', 'K', 'C', 'O', 'P'
// for a ping after the last step, 0 none), the salt the login must use, the
// latest ping, whether RPTCL went out; and what the canned master answers.
char last_step;
uint8_t salt[4];
bool salt_known;
int64_t last_ping;
bool said_goodbye;
const uint8_t* pending[4];
size_t pending_len[4];
int pending_count;

bool tagged(const uint8_t* b, size_t n, const char* tag, size_t id_at) {
  const size_t t = strlen(tag);
  if (n < id_at + 4 || memcmp(b, tag, t) != 0) return false;
  FUZZ_CHECK((static_cast<uint32_t>(b[id_at]) << 24 | b[id_at + 1] << 16 | b[id_at + 2] << 8 | b[id_at + 3]) == ID);
  return true;
}

void answer(const uint8_t* b, size_t n) {
  if (pending_count < 4) {
    pending[pending_count] = b;
    pending_len[pending_count++] = n;
  }
}

// Only our own datagrams, to the master, in the login's order.
void check_send(int sock, const uint8_t* b, size_t n, const sockaddr_in& to) {
  FUZZ_CHECK(sock == AUDIO_SOCK);
  FUZZ_CHECK(to.sin_addr.s_addr == inet_addr(MasterIP) && ntohs(to.sin_port) == PORT);
  FUZZ_CHECK(!said_goodbye);
  const bool options = HomebrewSiteInfo.options[0] != 0;
  if (tagged(b, n, "RPTPING", 7)) {
    FUZZ_CHECK(n == HB_RPTPING_LEN);
    FUZZ_CHECK(last_step == (options ? 'O' : 'C') || last_step == 'P');
    FUZZ_CHECK(last_step != 'P' || now - last_ping >= HB_PING_MS);
    last_step = 'P';
    last_ping = now;
    answer(PONG, sizeof PONG);
  } else if (tagged(b, n, "RPTCL", 5)) {
    FUZZ_CHECK(n == HB_RPTCL_LEN);
    said_goodbye = true;
  } else if (tagged(b, n, "RPTL", 4)) {
    FUZZ_CHECK(n == HB_RPTL_LEN);
    last_step = 'L';
    salt_known = false;
    answer(SALT_ACK, sizeof SALT_ACK);
  } else if (tagged(b, n, "RPTK", 4)) {
    FUZZ_CHECK(n == HB_RPTK_LEN && last_step == 'L' && salt_known);
    uint8_t digest[HB_DIGEST_LEN];
    sha256_ctx c;
    sha256_init(&c);
    sha256_update(&c, 4, salt);
    sha256_update(&c, strlen(PASS), reinterpret_cast<const uint8_t*>(PASS));
    sha256_digest(&c, sizeof digest, digest);
    FUZZ_CHECK(memcmp(b + 8, digest, sizeof digest) == 0);
    last_step = 'K';
    answer(ID_ACK, sizeof ID_ACK);
  } else if (tagged(b, n, "RPTC", 4)) {
    FUZZ_CHECK(n == HB_RPTC_LEN && last_step == 'K');
    last_step = 'C';
    answer(ID_ACK, sizeof ID_ACK);
  } else if (tagged(b, n, "RPTO", 4)) {
    FUZZ_CHECK(options && n == 8 + strlen(HomebrewSiteInfo.options) && last_step == 'C');
    last_step = 'O';
    answer(ID_ACK, sizeof ID_ACK);
  } else {
    FUZZ_CHECK(!"a datagram of none of our kinds");
  }
}

void console_check(const char* t, size_t n) {
  fuzz::check_text(t, n);
  FUZZ_CHECK(memmem(t, n, PASS, strlen(PASS)) == nullptr);
}

// The classifier and the DMRD reader agree with the layouts, whatever comes.
void check_classifier(const uint8_t* b, size_t n) {
  for (bool salt_expected : {false, true}) {
    HbMsg m;
    const HbKind k = hb_classify(b, n, ID, salt_expected, &m);
    FUZZ_CHECK(m.kind == k);
    switch (k) {
      case HB_SALT:
        FUZZ_CHECK(salt_expected && n == HB_RPTACK_LEN && memcmp(m.salt, b + 6, 4) == 0);
        break;
      case HB_ACK:
        FUZZ_CHECK(!salt_expected && n == HB_RPTACK_LEN && m.id == ID);
        break;
      case HB_NAK:
        FUZZ_CHECK(n == HB_MSTNAK_LEN && m.id == ID);
        break;
      case HB_PONG:
        FUZZ_CHECK(n == HB_MSTPONG_LEN && m.id == ID);
        break;
      case HB_CLOSE:
        FUZZ_CHECK(n == HB_MSTCL_LEN && m.id == ID);
        break;
      case HB_WRONG_ID:
        FUZZ_CHECK(m.id != ID);
        break;
      case HB_DMRD: {
        HbDmrd d;
        FUZZ_CHECK((n == HB_DMRD_LEN || n == HB_DMRD_SHORT_LEN) && hb_dmrd_parse(b, n, &d));
        FUZZ_CHECK((d.slot == 1 || d.slot == 2) && d.frame_type <= HB_FT_DATA_SYNC);
        uint8_t back[HB_DMRD_LEN];
        FUZZ_CHECK(hb_dmrd_build(d, b + HB_BURST_OFFSET, back));
        FUZZ_CHECK(memcmp(back, b, HB_DMRD_SHORT_LEN) == 0);
        break;
      }
      default:
        break;
    }
  }
}

void feed(const uint8_t* b, size_t n, const sockaddr_in& from) {
  if (homebrew_state() == HB_SENT_RPTL && homebrew_from_master(from) && n == HB_RPTACK_LEN &&
      memcmp(b, "RPTACK", 6) == 0) {
    memcpy(salt, b + 6, 4);
    salt_known = true;
  }
  const bool relayed = homebrew_input(b, n, from, now);
  if (relayed) {
    HbDmrd d;
    FUZZ_CHECK(homebrew_state() == HB_RUNNING && hb_dmrd_parse(b, n, &d));
  }
}

// The canned master answers what went out, and what that brought, a few rounds.
void canned_answers(const sockaddr_in& master) {
  for (int round = 0; round < 6 && pending_count > 0; ++round) {
    const uint8_t* b[4];
    size_t n[4];
    const int count = pending_count;
    for (int i = 0; i < count; ++i) b[i] = pending[i], n[i] = pending_len[i];
    pending_count = 0;
    for (int i = 0; i < count; ++i) feed(b[i], n[i], master);
  }
  pending_count = 0;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::quiet_console(true);
  console_sink = console_check;
  fuzz::fake_net();
  fuzz::on_send = check_send;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  fuzz::new_input();
  Local_Repeater_audio_srv_sock = AUDIO_SOCK;
  RptrID = ID;
  std::snprintf(RptrCall, sizeof RptrCall, "N0CALL");
  RptrQRGrx = 449000000;
  RptrQRGtx = 444000000;
  reset_homebrew_config();
  reset_homebrew();
  HomebrewPort = PORT;
  std::snprintf(HomebrewPassphrase, sizeof HomebrewPassphrase, "%s", PASS);
  if (data[0] & 8) std::snprintf(HomebrewSiteInfo.options, sizeof HomebrewSiteInfo.options, "TS2=3100;");
  now = 1;
  last_step = 0;
  salt_known = false;
  last_ping = 0;
  said_goodbye = false;
  pending_count = 0;

  static const sockaddr_in master = make_addr("192.0.2.3", PORT), other_port = make_addr("192.0.2.3", PORT + 1),
                           stranger = make_addr("192.0.2.4", PORT);
  // The starting state, reached as a real master would let us.
  static const HbState kStart[8] = {HB_IDLE,      HB_SENT_RPTL, HB_SENT_RPTK, HB_SENT_RPTC,
                                    HB_SENT_RPTO, HB_RUNNING,   HB_WAIT,      HB_CLOSED};
  HbState start = kStart[data[0] & 7];
  if (start == HB_SENT_RPTO && !(data[0] & 8)) start = HB_SENT_RPTC;
  if (start != HB_IDLE) {
    homebrew_pass(now);
    const HbState until = start == HB_WAIT ? HB_SENT_RPTL : start == HB_CLOSED ? HB_RUNNING : start;
    for (int i = 0; i < 5 && homebrew_state() != until && pending_count > 0; ++i) {
      const uint8_t* b = pending[0];
      const size_t n = pending_len[0];
      pending_count = 0;
      feed(b, n, master);
    }
    if (start == HB_WAIT) feed(NAK, sizeof NAK, master);
    if (start == HB_CLOSED) homebrew_close();
    homebrew_pass(now);
    FUZZ_CHECK(homebrew_state() == start);
    pending_count = 0;
  }
  const size_t texts_before = fuzz::console_texts;

  fuzz::Records in{data + 1, size - 1};
  fuzz::Record r;
  while (in.next(r)) {
    now += (r.flags >> 4) * 500;
    if (!(r.flags & 4)) {
      check_classifier(r.data, r.len);
      feed(r.data, r.len, r.flags & 2 ? stranger : r.flags & 1 ? other_port : master);
    }
    pending_count = 0;
    homebrew_pass(now);
    if (r.flags & 8) canned_answers(master);
    pending_count = 0;
    const HbState s = homebrew_state();
    FUZZ_CHECK(master_online == (s == HB_RUNNING ? 1 : 0));
    FUZZ_CHECK(s != HB_RUNNING || (master_timer >= 1 && master_timer <= 15));
    const int wait = homebrew_wait_ms(now);
    FUZZ_CHECK(wait >= 0 && wait <= 1000);
  }
  // Each kind of line at most once in 10 s, whatever the master sends.
  FUZZ_CHECK(fuzz::console_texts - texts_before <= 14 * (1 + static_cast<size_t>(now / HB_LOG_INTERVAL_MS)));
  return 0;
}
