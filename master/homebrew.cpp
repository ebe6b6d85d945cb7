// SPDX-License-Identifier: GPL-2.0-or-later
#include "master/homebrew.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/config.h"
#include "core/console.h"
#include "core/link_status.h"
#include "core/metrics.h"
#include "core/udp.h"

int32_t HomebrewPort = 0;
char HomebrewPassphrase[HB_PASSPHRASE_CAP];
HomebrewSite HomebrewSiteInfo;

namespace {

constexpr const char* PASSPHRASE_CREDENTIAL = "homebrew-passphrase";
constexpr const char* PACKAGE_ID = "corvane_Motorola_TS2";

// ---- start-up: the passphrase and the site ----------------------------------------

bool secret_failed(char* out, size_t cap) {
  explicit_bzero(out, cap);
  return false;
}

// Reads the whole file into out[0..cap); *len gets its length, *more whether
// bytes remain beyond cap.
bool read_all(int fd, char* out, size_t cap, size_t* len, bool* more) {
  size_t n = 0;
  while (n < cap) {
    const ssize_t r = read(fd, out + n, cap - n);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return false;
    if (r == 0) break;
    n += static_cast<size_t>(r);
  }
  *len = n;
  *more = false;
  if (n == cap) {
    char extra;
    ssize_t r;
    do r = read(fd, &extra, 1);
    while (r < 0 && errno == EINTR);
    if (r < 0) return false;
    *more = r > 0;
  }
  return true;
}

// One line of f without its LF into line[0..*len) (cap - 1 at most, then
// NUL-terminated); *nul when it held a NUL byte, *at_end when the file ended.
// False when the line is longer.
bool read_line(FILE* f, char* line, size_t cap, size_t* len, bool* nul, bool* at_end) {
  size_t n = 0;
  *nul = false;
  for (;;) {
    const int c = getc(f);
    if (c == EOF) {
      *at_end = true;
      break;
    }
    if (c == '\n') break;
    if (n + 1 >= cap) return false;
    if (c == '\0') *nul = true;
    line[n++] = static_cast<char>(c);
  }
  line[n] = '\0';
  *len = n;
  return true;
}

void trim(char*& s, char*& e) {
  while (s < e && (*s == ' ' || *s == '\t')) ++s;
  while (e > s && (e[-1] == ' ' || e[-1] == '\t')) --e;
}

bool printable(const char* s) {
  for (; *s; ++s)
    if (static_cast<unsigned char>(*s) < 0x20 || static_cast<unsigned char>(*s) > 0x7E) return false;
  return true;
}

bool parse_int(const char* s, int lo, int hi, int* out) {
  if (*s == '\0') return false;
  long v = 0;
  for (const char* p = s; *p; ++p) {
    if (*p < '0' || *p > '9') return false;
    v = v * 10 + (*p - '0');
    if (v > hi) return false;
  }
  if (v < lo) return false;
  *out = static_cast<int>(v);
  return true;
}

bool parse_degrees(const char* s, double limit, double* out) {
  if (*s == '\0' || strlen(s) > 20) return false;
  for (const char* p = s; *p; ++p)
    if (!((*p >= '0' && *p <= '9') || *p == '.' || *p == '+' || *p == '-')) return false;
  char* end = nullptr;
  const double v = strtod(s, &end);
  if (end == s || *end != '\0' || !(v >= -limit && v <= limit)) return false;
  *out = v;
  return true;
}

enum SiteKey { K_LOCATION, K_DESCRIPTION, K_URL, K_OPTIONS, K_LATITUDE, K_LONGITUDE, K_HEIGHT, K_POWER, K_COLOUR, K_N };
constexpr const char* kSiteKeys[K_N] = {"location",  "description", "url",   "options",    "latitude",
                                        "longitude", "height",      "power", "colour_code"};

// One key=value line; false with the reason in why.
bool site_line(HomebrewSite* site, bool (&seen)[K_N], char* s, char* e, char* why, size_t why_len) {
  char* eq = static_cast<char*>(memchr(s, '=', static_cast<size_t>(e - s)));
  if (eq == nullptr) {
    snprintf(why, why_len, "not a key=value line");
    return false;
  }
  char *ks = s, *ke = eq, *vs = eq + 1, *ve = e;
  trim(ks, ke);
  trim(vs, ve);
  *ke = '\0';
  *ve = '\0';
  int k = 0;
  while (k < K_N && strcmp(ks, kSiteKeys[k]) != 0) ++k;
  if (k == K_N) {
    bool plain = ke > ks && ke - ks <= 32;
    for (const char* p = ks; plain && *p; ++p)
      plain = (*p >= 'a' && *p <= 'z') || (*p >= '0' && *p <= '9') || *p == '_';
    if (plain)
      snprintf(why, why_len,
               "unknown key \"%s\" (known: location, description, url, latitude, longitude, height, power, "
               "colour_code, options)",
               ks);
    else
      snprintf(why, why_len, "not a key=value line");
    return false;
  }
  const char* name = kSiteKeys[k];
  if (seen[k]) {
    snprintf(why, why_len, "%s given twice", name);
    return false;
  }
  seen[k] = true;
  const size_t vlen = static_cast<size_t>(ve - vs);
  char* text = nullptr;
  size_t width = 0;
  switch (k) {
    case K_LOCATION:
      text = site->location, width = HB_LOCATION_WIDTH;
      break;
    case K_DESCRIPTION:
      text = site->description, width = HB_DESCRIPTION_WIDTH;
      break;
    case K_URL:
      text = site->url, width = HB_URL_WIDTH;
      break;
    case K_OPTIONS:
      text = site->options, width = HB_OPTIONS_MAX;
      break;
    default:
      break;
  }
  if (text != nullptr) {
    if (vlen > width) {
      snprintf(why, why_len, "%s longer than %zu characters", name, width);
      return false;
    }
    if (!printable(vs)) {
      snprintf(why, why_len, "%s holds a character that is not printable ASCII", name);
      return false;
    }
    memcpy(text, vs, vlen + 1);
    return true;
  }
  bool ok = false;
  switch (k) {
    case K_LATITUDE:
      ok = parse_degrees(vs, 90.0, &site->latitude);
      if (!ok) snprintf(why, why_len, "latitude must be decimal degrees from -90 to 90");
      break;
    case K_LONGITUDE:
      ok = parse_degrees(vs, 180.0, &site->longitude);
      if (!ok) snprintf(why, why_len, "longitude must be decimal degrees from -180 to 180");
      break;
    case K_HEIGHT:
      ok = parse_int(vs, 0, 999, &site->height);
      if (!ok) snprintf(why, why_len, "height must be whole metres from 0 to 999");
      break;
    case K_POWER:
      ok = parse_int(vs, 0, 99, &site->power);
      if (!ok) snprintf(why, why_len, "power must be a whole number from 0 to 99");
      break;
    default:
      ok = parse_int(vs, 0, 15, &site->colour_code);
      if (!ok) snprintf(why, why_len, "colour_code must be a whole number from 0 to 15");
      break;
  }
  return ok;
}

// ---- the login -------------------------------------------------------------------

enum LogKind {
  LOG_START,
  LOG_LOGGED_IN,
  LOG_TIMEOUT,
  LOG_REFUSED_RPTL,
  LOG_REFUSED_RPTK,
  LOG_REFUSED_RPTC,
  LOG_REFUSED_RPTO,
  LOG_CLOSED_LOGIN,
  LOG_CLOSED,
  LOG_FORGOTTEN,
  LOG_REFUSED_EARLY,
  LOG_LOST,
  LOG_CONFIG,
  LOG_KINDS
};

constexpr int64_t NEVER = INT64_MIN / 2;

struct Login {
  HbState state = HB_IDLE;
  int64_t sent_at = 0;  // the latest login step
  int64_t due = 0;      // HB_WAIT: the next RPTL
  int64_t backoff = HB_BACKOFF_FIRST_MS;
  int64_t login_at = NEVER;      // the latest completed login
  int64_t forgotten_at = NEVER;  // the latest MSTNAK while logged in
  int64_t pong_at = 0;
  int64_t ping_at = 0;  // the next RPTPING
  int64_t logged_at[LOG_KINDS] = {};
  bool logged[LOG_KINDS] = {};
};

Login hb;  // the reader's
// Read by homebrew_close and homebrew_send in other threads.
std::atomic<bool> begun{false};  // an RPTL went out
std::atomic<bool> closed{false};
uint8_t tx[HB_RPTC_LEN];  // the reader's send buffer (the longest of our datagrams)

bool may_log(LogKind k, int64_t now, int64_t interval = HB_LOG_INTERVAL_MS) {
  if (hb.logged[k] && now - hb.logged_at[k] < interval) return false;
  hb.logged[k] = true;
  hb.logged_at[k] = now;
  return true;
}

void to_master(const uint8_t* buf, size_t len) {
  send_to(Local_Repeater_audio_srv_sock, MasterIP, HomebrewPort, buf, len);
}

const char* step_name(HbState s) {
  switch (s) {
    case HB_SENT_RPTL:
      return "RPTL";
    case HB_SENT_RPTK:
      return "RPTK";
    case HB_SENT_RPTC:
      return "RPTC";
    default:
      return "RPTO";
  }
}

void offline() {
  master_online = 0;
  master_timer = 0;
}

void send_rptl(int64_t now) {
  offline();
  hb_rptl(RptrID, tx);
  to_master(tx, HB_RPTL_LEN);
  begun = true;
  hb.state = HB_SENT_RPTL;
  hb.sent_at = now;
}

void pause_then_rptl(int64_t now, int64_t pause) {
  offline();
  hb.state = HB_WAIT;
  hb.due = now + pause;
}

// The master refused the login (or closed during it): the pause grows.
int refused(int64_t now) {
  const int64_t pause = hb.backoff;
  hb.backoff = pause * 2 > HB_BACKOFF_MAX_MS ? HB_BACKOFF_MAX_MS : pause * 2;
  pause_then_rptl(now, pause);
  return static_cast<int>(pause / 1000);
}

bool build_rptc(uint8_t* out) {
  char software[HB_SOFTWARE_WIDTH + 1];
  snprintf(software, sizeof software, "corvane %s", CORVANE_VERSION);
  const HomebrewSite& s = HomebrewSiteInfo;
  const HbConfig c = {RptrCall, RptrID,     RptrQRGrx,     RptrQRGtx, s.power, s.colour_code, s.latitude, s.longitude,
                      s.height, s.location, s.description, '2',       s.url,   software,      PACKAGE_ID};
  return hb_rptc(c, out);
}

void logged_in(int64_t now) {
  hb.state = HB_RUNNING;
  hb.login_at = now;
  hb.pong_at = now;
  master_timer = static_cast<int32_t>(HB_PONG_TIMEOUT_MS / 1000);
  master_online = 1;
  metrics_add(metrics.logins[LINK_MASTER]);
  if (may_log(LOG_LOGGED_IN, now))
    console_printf("%s HomeBrew master %s:%d: logged in as %u%s\n", refresh_ts().text, MasterIP, HomebrewPort, RptrID,
                   HomebrewSiteInfo.options[0] ? ", options accepted" : "");
  hb_rptping(RptrID, tx);
  to_master(tx, HB_RPTPING_LEN);
  hb.ping_at = now + HB_PING_MS;
}

void on_ack(int64_t now) {
  switch (hb.state) {
    case HB_SENT_RPTK:
      if (!build_rptc(tx)) {
        const int pause = refused(now);
        if (may_log(LOG_CONFIG, now))
          console_printf("%s HomeBrew master: the configuration does not fit RPTC, logging in again in %d s\n",
                         refresh_ts().text, pause);
        return;
      }
      to_master(tx, HB_RPTC_LEN);
      hb.state = HB_SENT_RPTC;
      hb.sent_at = now;
      return;
    case HB_SENT_RPTC:
      if (HomebrewSiteInfo.options[0]) {
        const size_t n = hb_rpto(RptrID, HomebrewSiteInfo.options, strlen(HomebrewSiteInfo.options), tx, sizeof tx);
        to_master(tx, n);
        hb.state = HB_SENT_RPTO;
        hb.sent_at = now;
        return;
      }
      logged_in(now);
      return;
    case HB_SENT_RPTO:
      logged_in(now);
      return;
    default:
      return;  // an ACK nobody asked for
  }
}

void on_nak(int64_t now) {
  switch (hb.state) {
    case HB_SENT_RPTL:
    case HB_SENT_RPTK:
    case HB_SENT_RPTC:
    case HB_SENT_RPTO: {
      const HbState step = hb.state;
      const int pause = refused(now);
      const LogKind k = step == HB_SENT_RPTL   ? LOG_REFUSED_RPTL
                        : step == HB_SENT_RPTK ? LOG_REFUSED_RPTK
                        : step == HB_SENT_RPTC ? LOG_REFUSED_RPTC
                                               : LOG_REFUSED_RPTO;
      if (!may_log(k, now)) return;
      const char* why = step == HB_SENT_RPTL   ? "login (RPTL) refused: ID not admitted or the master is full"
                        : step == HB_SENT_RPTK ? "RPTK refused: wrong passphrase or unknown ID"
                        : step == HB_SENT_RPTC ? "configuration (RPTC) refused"
                                               : "options (RPTO) refused";
      console_printf("%s HomeBrew master %s:%d: %s (ID %u), logging in again in %d s\n", refresh_ts().text, MasterIP,
                     HomebrewPort, why, RptrID, pause);
      return;
    }
    case HB_RUNNING: {
      if (now - hb.login_at < HB_PING_MS) {
        const int pause = refused(now);
        if (may_log(LOG_REFUSED_EARLY, now))
          console_printf(
              "%s HomeBrew master %s:%d: session dropped right after the login (MSTNAK), logging in again in %d s\n",
              refresh_ts().text, MasterIP, HomebrewPort, pause);
        return;
      }
      const bool again = now - hb.forgotten_at < HB_RETRY_LOG_INTERVAL_MS;
      hb.forgotten_at = now;
      if (may_log(LOG_FORGOTTEN, now))
        console_printf("%s HomeBrew master %s:%d: the master no longer knows us (MSTNAK), logging in again%s\n",
                       refresh_ts().text, MasterIP, HomebrewPort,
                       again ? "; again within a minute: is another repeater using our ID?" : "");
      send_rptl(now);
      return;
    }
    default:
      return;
  }
}

void on_close(int64_t now) {
  switch (hb.state) {
    case HB_SENT_RPTL:
    case HB_SENT_RPTK:
    case HB_SENT_RPTC:
    case HB_SENT_RPTO: {
      const HbState step = hb.state;
      const int pause = refused(now);
      if (may_log(LOG_CLOSED_LOGIN, now))
        console_printf(
            "%s HomeBrew master %s:%d: the master is closing (MSTCL) during the login at %s, "
            "logging in again in %d s\n",
            refresh_ts().text, MasterIP, HomebrewPort, step_name(step), pause);
      return;
    }
    case HB_RUNNING:
      pause_then_rptl(now, HB_CLOSED_PAUSE_MS);
      if (may_log(LOG_CLOSED, now))
        console_printf("%s HomeBrew master %s:%d: the master closed the session (MSTCL), logging in again in %d s\n",
                       refresh_ts().text, MasterIP, HomebrewPort, static_cast<int>(HB_CLOSED_PAUSE_MS / 1000));
      return;
    default:
      return;
  }
}

}  // namespace

// ---- start-up -------------------------------------------------------------------

bool homebrew_load_secret(const char* path_or_null, char* out, size_t cap) {
  char built[4096];
  const char* path = path_or_null;
  if (cap < 2) return secret_failed(out, cap);
  if (path == nullptr) {
    const char* dir = getenv("CREDENTIALS_DIRECTORY");
    if (dir == nullptr || *dir == '\0') {
      console_printf(
          "HomeBrew: no passphrase: give --passphrase-file FILE, or the credential %s (CREDENTIALS_DIRECTORY is not "
          "set)\n",
          PASSPHRASE_CREDENTIAL);
      return secret_failed(out, cap);
    }
    const int n = snprintf(built, sizeof built, "%s/%s", dir, PASSPHRASE_CREDENTIAL);
    if (n < 0 || static_cast<size_t>(n) >= sizeof built) {
      console_printf("HomeBrew: CREDENTIALS_DIRECTORY is too long\n");
      return secret_failed(out, cap);
    }
    path = built;
  }
  const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    console_printf("HomeBrew: can not read the passphrase file %s: %s\n", path, strerror(errno));
    return secret_failed(out, cap);
  }
  struct stat st;
  const bool stat_ok = fstat(fd, &st) == 0;
  size_t len = 0;
  bool more = false;
  const bool read_ok = read_all(fd, out, cap, &len, &more);
  const int read_errno = errno;
  close(fd);
  const char* why = nullptr;
  if (!read_ok) {
    console_printf("HomeBrew: can not read the passphrase file %s: %s\n", path, strerror(read_errno));
    return secret_failed(out, cap);
  }
  if (!more && len > 0 && out[len - 1] == '\n') {
    --len;
    if (len > 0 && out[len - 1] == '\r') --len;
  }
  if (more || len >= cap)
    why = "is too long";
  else if (len == 0)
    why = "is empty";
  else if (memchr(out, '\0', len) != nullptr)
    why = "holds a NUL byte";
  else if (memchr(out, '\n', len) != nullptr || memchr(out, '\r', len) != nullptr)
    why = "holds more than one line";
  if (why != nullptr) {
    if (more || len >= cap)
      console_printf("HomeBrew: the passphrase file %s %s (%zu bytes at most)\n", path, why, cap - 1);
    else
      console_printf("HomeBrew: the passphrase file %s %s\n", path, why);
    return secret_failed(out, cap);
  }
  memset(out + len, 0, cap - len);
  if (stat_ok && (st.st_mode & S_IROTH))
    console_printf("HomeBrew: warning: every user may read the passphrase file %s (chmod o-r %s)\n", path, path);
  return true;
}

bool homebrew_load_site(const char* path, HomebrewSite* site) {
  memset(site, 0, sizeof *site);
  if (path == nullptr) return true;
  FILE* f = fopen(path, "re");
  if (f == nullptr) {
    console_printf("HomeBrew: can not read the site file %s: %s\n", path, strerror(errno));
    return false;
  }
  char line[512];
  char why[200];
  bool seen[K_N] = {};
  bool ok = true;
  size_t n = 0;
  bool nul = false, at_end = false;
  for (int number = 1; ok && !at_end; ++number) {
    if (!read_line(f, line, sizeof line, &n, &nul, &at_end)) {
      console_printf("HomeBrew site file %s, line %d: longer than %zu characters\n", path, number, sizeof line - 1);
      ok = false;
      break;
    }
    while (n > 0 && line[n - 1] == '\r') --n;
    char* s = line;
    char* e = line + n;
    *e = '\0';
    trim(s, e);
    if (s == e || *s == '#') continue;
    if (nul) {
      snprintf(why, sizeof why, "holds a NUL byte");
      ok = false;
    } else {
      ok = site_line(site, seen, s, e, why, sizeof why);
    }
    if (!ok) console_printf("HomeBrew site file %s, line %d: %s\n", path, number, why);
  }
  fclose(f);
  if (!ok) memset(site, 0, sizeof *site);
  return ok;
}

bool homebrew_check_config() {
  if (RptrQRGrx < 0 || RptrQRGrx > HB_FREQ_MAX_HZ || RptrQRGtx < 0 || RptrQRGtx > HB_FREQ_MAX_HZ) {
    console_printf("HomeBrew: the frequencies (TX %d Hz, RX %d Hz) must fit 9 digits (%lld Hz at most)\n", RptrQRGtx,
                   RptrQRGrx, static_cast<long long>(HB_FREQ_MAX_HZ));
    return false;
  }
  uint8_t rptc[HB_RPTC_LEN];
  if (!build_rptc(rptc)) {
    console_printf("HomeBrew: the call sign %s and the site do not fit the configuration message\n", RptrCall);
    return false;
  }
  return true;
}

// ---- the login -------------------------------------------------------------------

bool homebrew_from_master(const sockaddr_in& from) {
  return HomebrewPort != 0 && from.sin_family == AF_INET && from.sin_addr.s_addr == inet_addr(MasterIP) &&
         ntohs(from.sin_port) == HomebrewPort;
}

bool homebrew_input(const uint8_t* buf, size_t n, const sockaddr_in& from, int64_t now_ms) {
  if (closed) return false;
  if (!homebrew_from_master(from)) {
    count_drop(DROP_STRANGER);
    return false;
  }
  HbMsg m;
  switch (hb_classify(buf, n, RptrID, hb.state == HB_SENT_RPTL, &m)) {
    case HB_UNKNOWN:
      return false;
    case HB_MALFORMED:
      count_drop(DROP_SHORT);
      return false;
    case HB_WRONG_ID:
      count_drop(DROP_STRANGER);
      return false;
    case HB_SALT: {
      note_master_heard(now_ms);
      // Four bytes equal to our ID are the late ACK of a step of the login
      // that timed out, not a salt (which would be one in 2^32): ignored.
      const uint8_t id[4] = {static_cast<uint8_t>(RptrID >> 24), static_cast<uint8_t>(RptrID >> 16),
                             static_cast<uint8_t>(RptrID >> 8), static_cast<uint8_t>(RptrID)};
      if (memcmp(m.salt, id, 4) == 0) return false;
      hb_rptk(RptrID, m.salt, HomebrewPassphrase, strlen(HomebrewPassphrase), tx);
      to_master(tx, HB_RPTK_LEN);
      explicit_bzero(tx, HB_RPTK_LEN);
      hb.state = HB_SENT_RPTK;
      hb.sent_at = now_ms;
      return false;
    }
    case HB_ACK:
      note_master_heard(now_ms);
      on_ack(now_ms);
      return false;
    case HB_PONG:
      note_master_heard(now_ms);
      if (hb.state == HB_RUNNING) {
        hb.pong_at = now_ms;
        hb.backoff = HB_BACKOFF_FIRST_MS;  // the session holds: the next refusal waits 5 s again
      }
      return false;
    case HB_NAK:
      note_master_heard(now_ms);
      on_nak(now_ms);
      return false;
    case HB_CLOSE:
      note_master_heard(now_ms);
      on_close(now_ms);
      return false;
    case HB_BEACON:
      note_master_heard(now_ms);
      return false;
    case HB_DMRD:
      note_master_heard(now_ms);
      return hb.state == HB_RUNNING;
  }
  return false;
}

void homebrew_pass(int64_t now_ms) {
  if (closed) {
    hb.state = HB_CLOSED;
    offline();
    return;
  }
  switch (hb.state) {
    case HB_IDLE:
      if (may_log(LOG_START, now_ms))
        console_printf("%s HomeBrew master %s:%d: logging in as %u\n", refresh_ts().text, MasterIP, HomebrewPort,
                       RptrID);
      send_rptl(now_ms);
      break;
    case HB_WAIT:
      if (now_ms >= hb.due) send_rptl(now_ms);
      break;
    case HB_SENT_RPTL:
    case HB_SENT_RPTK:
    case HB_SENT_RPTC:
    case HB_SENT_RPTO:
      if (now_ms - hb.sent_at >= HB_STEP_TIMEOUT_MS) {
        if (may_log(LOG_TIMEOUT, now_ms, HB_RETRY_LOG_INTERVAL_MS))
          console_printf("%s HomeBrew master %s:%d: no answer to %s for %d s, logging in again\n", refresh_ts().text,
                         MasterIP, HomebrewPort, step_name(hb.state), static_cast<int>(HB_STEP_TIMEOUT_MS / 1000));
        send_rptl(now_ms);
      }
      break;
    case HB_RUNNING: {
      if (now_ms - hb.pong_at >= HB_PONG_TIMEOUT_MS) {
        if (may_log(LOG_LOST, now_ms))
          console_printf("%s HomeBrew master %s:%d: master lost (no MSTPONG for %d s), logging in again\n",
                         refresh_ts().text, MasterIP, HomebrewPort, static_cast<int>(HB_PONG_TIMEOUT_MS / 1000));
        send_rptl(now_ms);
        break;
      }
      if (now_ms >= hb.ping_at) {
        hb_rptping(RptrID, tx);
        to_master(tx, HB_RPTPING_LEN);
        hb.ping_at = now_ms + HB_PING_MS;
      }
      const int64_t left = hb.pong_at + HB_PONG_TIMEOUT_MS - now_ms;
      master_timer = static_cast<int32_t>((left + 999) / 1000);
      break;
    }
    case HB_CLOSED:
      break;
  }
}

int homebrew_wait_ms(int64_t now_ms) {
  int64_t next = now_ms + 1000;
  auto sooner = [&](int64_t t) {
    if (t < next) next = t;
  };
  switch (hb.state) {
    case HB_IDLE:
      sooner(now_ms);
      break;
    case HB_WAIT:
      sooner(hb.due);
      break;
    case HB_SENT_RPTL:
    case HB_SENT_RPTK:
    case HB_SENT_RPTC:
    case HB_SENT_RPTO:
      sooner(hb.sent_at + HB_STEP_TIMEOUT_MS);
      break;
    case HB_RUNNING:
      sooner(hb.ping_at);
      sooner(hb.pong_at + HB_PONG_TIMEOUT_MS);
      break;
    case HB_CLOSED:
      break;
  }
  return next <= now_ms ? 0 : static_cast<int>(next - now_ms);
}

void homebrew_close() {
  if (HomebrewPort == 0 || closed.exchange(true)) return;
  master_online = 0;
  if (!begun) return;
  uint8_t cl[HB_RPTCL_LEN];
  hb_rptcl(RptrID, cl);
  to_master(cl, sizeof cl);
  console_printf("%s HomeBrew master %s:%d: session closed (RPTCL)\n", refresh_ts().text, MasterIP, HomebrewPort);
}

bool homebrew_send(const uint8_t* buf, size_t len) {
  if (HomebrewPort == 0 || closed || master_online != 1) return false;
  to_master(buf, len);
  return true;
}

HbState homebrew_state() {
  return hb.state;
}

void reset_homebrew() {
  hb = Login{};
  begun = false;
  closed = false;
}

void reset_homebrew_config() {
  HomebrewPort = 0;
  explicit_bzero(HomebrewPassphrase, sizeof HomebrewPassphrase);
  memset(&HomebrewSiteInfo, 0, sizeof HomebrewSiteInfo);
}
