// SPDX-License-Identifier: GPL-2.0-or-later
#include "web/model.h"

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "core/config.h"
#include "core/link_status.h"
#include "core/metrics.h"

using json = nlohmann::ordered_json;  // fields in the order web/README.md shows them

namespace {

// ---- the model's state (web thread only) ----

int64_t start_ms = 0;
std::string id_prefix = "0-";  // "<start seconds>-"
const char* mode_text = "classic";

CallFigures heard[LASTHEARD_KEEP];
size_t heard_count = 0, heard_next = 0;

struct Hour {
  int64_t hour;  // hours since the epoch; -1: unused
  uint32_t calls[DIR_COUNT];
};
Hour hours[HISTORY_HOURS];

struct LoggedEvent {
  uint64_t n;
  std::string text;
};
LoggedEvent event_log[EVENT_LOG_KEEP];
uint64_t event_counter = 0;  // number of the latest event logged

constexpr int64_t HOUR_MS = 3600 * 1000;

int64_t floor_div(int64_t a, int64_t b) {
  return a / b - (a % b != 0 && (a < 0) != (b < 0));
}

// A percentage rounded to two places; null without a denominator.
json percent(uint64_t part, uint64_t whole) {
  if (whole == 0) return nullptr;
  return std::round(static_cast<double>(part) * 10000.0 / static_cast<double>(whole)) / 100.0;
}

json text_or_null(bool known, std::string_view s) {
  if (!known || s.empty()) return nullptr;
  return std::string(s);
}

std::string fixed_text(const char* s, size_t cap) {
  return std::string(s, strnlen(s, cap));
}

json link_json(LinkId l, bool up, int64_t since_ms, int64_t mono_now) {
  json j;
  j["up"] = up;
  j["since"] = since_ms != 0 ? json(iso_utc(since_ms)) : json(nullptr);
  const int64_t answer = link_last_answer_ms(l);
  if (answer == INT64_MIN) {
    j["last_answer_s"] = nullptr;
  } else {
    const int64_t age = mono_now > answer ? mono_now - answer : 0;
    j["last_answer_s"] = std::round(static_cast<double>(age) / 100.0) / 10.0;
  }
  if (l == LINK_REPEATER)
    j["peers"] = repeater_peers();
  else
    j["logins"] = metrics_get(metrics.logins[LINK_MASTER]);
  return j;
}

const char* link_name(LinkId l) {
  return l == LINK_REPEATER ? "repeater" : "master";
}

void log_event(uint64_t n, std::string text) {
  LoggedEvent& e = event_log[n % EVENT_LOG_KEEP];
  e.n = n;
  e.text = std::move(text);
}

// The next event's id; the event itself enters the log with log_event.
std::string next_id() {
  return id_prefix + std::to_string(event_counter + 1);
}

void count_hour(const CallFigures& c) {
  const int64_t h = floor_div(c.start_ms, HOUR_MS);
  Hour& slot = hours[static_cast<size_t>((h % HISTORY_HOURS + HISTORY_HOURS) % HISTORY_HOURS)];
  if (slot.hour > h) return;  // a call older than the hour kept there
  if (slot.hour != h) slot = Hour{h, {0, 0}};
  if (c.dir < DIR_COUNT) slot.calls[c.dir] += 1;
}

}  // namespace

std::string iso_utc(int64_t wall_ms) {
  const int64_t secs = floor_div(wall_ms, 1000);
  const int ms = static_cast<int>(wall_ms - secs * 1000);
  const time_t t = static_cast<time_t>(secs);
  struct tm tmv;
  if (gmtime_r(&t, &tmv) == nullptr) return "1970-01-01T00:00:00.000Z";
  char buf[96];  // room for any int the fields may hold
  snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tmv.tm_year + 1900, tmv.tm_mon + 1, tmv.tm_mday,
           tmv.tm_hour, tmv.tm_min, tmv.tm_sec, ms);
  return buf;
}

std::string json_text(const json& j) {
  return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

json call_json(const CallFigures& c, const IdList& ids) {
  std::string_view call, name;
  const bool known = ids.find(c.src, &call, &name);
  json j;
  j["start"] = iso_utc(c.start_ms);
  j["dir"] = c.dir == DIR_TO_MASTER ? "to_master" : "to_repeater";
  j["slot"] = c.slot;
  j["src"] = c.src;
  j["callsign"] = text_or_null(known, call);
  j["name"] = text_or_null(known, name);
  j["dst"] = c.dst;
  j["dst_kind"] = c.private_call ? "private" : "group";
  std::string_view dcall, dname;
  const bool dknown = c.private_call && ids.find(c.dst, &dcall, &dname);
  j["dst_callsign"] = text_or_null(dknown, dcall);
  j["dst_name"] = text_or_null(dknown, dname);
  j["duration_s"] = static_cast<double>(c.duration_ms > 0 ? c.duration_ms : 0) / 1000.0;
  j["bursts"] = c.bursts;
  j["lost"] = c.lost;
  j["loss_pct"] = percent(c.lost, static_cast<uint64_t>(c.bursts) + c.lost);
  j["bit_errors"] = c.bit_errors;
  j["bits"] = c.bits;
  j["ber_pct"] = percent(c.bit_errors, c.bits);
  j["frames"] = c.frames;
  j["bad_frames"] = c.bad_frames;
  j["bad_pct"] = percent(c.bad_frames, c.frames);
  j["ber_source"] = c.ber_byte ? "sender" : "fec";
  j["end"] = c.end == END_TERMINATOR ? json("terminator") : c.end == END_TIMEOUT ? json("timeout") : json(nullptr);
  return j;
}

void web_model_reset(int64_t start_wall_ms, const char* mode) {
  start_ms = start_wall_ms;
  id_prefix = std::to_string(floor_div(start_wall_ms, 1000)) + "-";
  mode_text = mode;
  for (auto& c : heard) c = CallFigures{};
  heard_count = heard_next = 0;
  for (auto& h : hours) h = Hour{-1, {0, 0}};
  for (auto& e : event_log) e = LoggedEvent{0, std::string()};
  event_counter = 0;
}

int64_t web_model_start_ms() {
  return start_ms;
}

std::string web_model_take(const RecordEvent& ev, const IdList& ids, int64_t mono_now) {
  const char* name = nullptr;
  json data;
  switch (ev.type) {
    case EV_CALL_START:
      count_hour(ev.call);
      name = "call_start";
      data = call_json(ev.call, ids);
      break;
    case EV_CALL_END:
      heard[heard_next] = ev.call;
      heard_next = (heard_next + 1) % LASTHEARD_KEEP;
      if (heard_count < LASTHEARD_KEEP) ++heard_count;
      name = "call_end";
      data = call_json(ev.call, ids);
      break;
    case EV_LINK: {
      if (ev.link >= LINK_COUNT) return std::string();
      const LinkId l = static_cast<LinkId>(ev.link);
      name = "link";
      data = json{{"link", link_name(l)}};
      data.update(link_json(l, ev.up != 0, ev.at_ms, mono_now));
      break;
    }
    default:
      return std::string();
  }
  const std::string id = next_id();
  std::string text = sse_event(name, &id, data);
  ++event_counter;
  log_event(event_counter, text);
  return text;
}

json lastheard_json(size_t limit, const IdList& ids) {
  json calls = json::array();
  for (size_t i = 0; i < heard_count && i < limit; ++i)
    calls.push_back(call_json(heard[(heard_next + LASTHEARD_KEEP - 1 - i) % LASTHEARD_KEEP], ids));
  return calls;
}

json history_json(int64_t wall_now) {
  const int64_t now_hour = floor_div(wall_now, HOUR_MS);
  json list = json::array();
  for (int64_t h = now_hour - (HISTORY_HOURS - 1); h <= now_hour; ++h) {
    const Hour& slot = hours[static_cast<size_t>((h % HISTORY_HOURS + HISTORY_HOURS) % HISTORY_HOURS)];
    const bool ours = slot.hour == h;
    list.push_back({{"start", iso_utc(h * HOUR_MS)},
                    {"to_repeater", ours ? slot.calls[DIR_TO_REPEATER] : 0},
                    {"to_master", ours ? slot.calls[DIR_TO_MASTER] : 0}});
  }
  return json{{"hours", std::move(list)}};
}

json status_json(int64_t wall_now, int64_t mono_now, const IdList& ids) {
  json j;
  j["version"] = CORVANE_VERSION;
  j["started"] = iso_utc(start_ms);
  j["now"] = iso_utc(wall_now);
  j["uptime_s"] = wall_now > start_ms ? (wall_now - start_ms) / 1000 : 0;
  char repeater[40];
  snprintf(repeater, sizeof repeater, "%s:%" PRId32, fixed_text(RptrIP, sizeof RptrIP).c_str(), RptrPort);
  j["site"] = {{"callsign", fixed_text(RptrCall, sizeof RptrCall)},
               {"repeater_id", RptrID},
               {"tx_mhz", RptrQRGtx / 1e6},
               {"rx_mhz", RptrQRGrx / 1e6},
               {"repeater", repeater},
               {"master", fixed_text(MasterIP, sizeof MasterIP)},
               {"mode", mode_text}};
  j["links"] = {{"repeater", link_json(LINK_REPEATER, link_up(LINK_REPEATER), link_since_ms(LINK_REPEATER), mono_now)},
                {"master", link_json(LINK_MASTER, link_up(LINK_MASTER), link_since_ms(LINK_MASTER), mono_now)}};
  json on_air = json::array();
  for (int ch = 0; ch < CH_COUNT; ++ch) {
    CallFigures c;
    if (call_record_live(static_cast<CallChannel>(ch), &c)) on_air.push_back(call_json(c, ids));
  }
  j["on_air"] = std::move(on_air);
  j["ids"] = ids.size();
  return j;
}

std::string sse_event(const char* name, const std::string* id, const json& data) {
  std::string s = "event: ";
  s += name;
  if (id != nullptr) {
    s += "\nid: ";
    s += *id;
  }
  s += "\ndata: ";
  s += json_text(data);  // compact: one line
  s += "\n\n";
  return s;
}

std::string sse_snapshot(int64_t wall_now, int64_t mono_now, const IdList& ids) {
  const json data = {{"status", status_json(wall_now, mono_now, ids)},
                     {"lastheard", lastheard_json(LASTHEARD_KEEP, ids)},
                     {"history", history_json(wall_now)}};
  const std::string id = sse_last_id();
  return sse_event("snapshot", &id, data);
}

bool sse_replay(std::string_view last_event_id, std::string* out) {
  if (last_event_id.size() <= id_prefix.size() || last_event_id.substr(0, id_prefix.size()) != id_prefix) return false;
  const std::string_view digits = last_event_id.substr(id_prefix.size());
  if (digits.size() > 19) return false;
  uint64_t n = 0;
  for (const char ch : digits) {
    if (ch < '0' || ch > '9') return false;
    n = n * 10 + static_cast<uint64_t>(ch - '0');
  }
  // Every event after n must still be kept: n itself may be the one just
  // before the oldest kept.
  if (n > event_counter || event_counter - n > EVENT_LOG_KEEP) return false;
  for (uint64_t k = n + 1; k <= event_counter; ++k) *out += event_log[k % EVENT_LOG_KEEP].text;
  return true;
}

std::string sse_last_id() {
  return id_prefix + std::to_string(event_counter);
}

std::string sse_progress(const CallFigures& c, const IdList& ids) {
  return sse_event("call_progress", nullptr, call_json(c, ids));
}
