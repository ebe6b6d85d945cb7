// SPDX-License-Identifier: GPL-2.0-or-later
// The dashboard's model: a call's JSON, the event log and its replay, the
// last-heard list and the calls per hour.
#include "web/model.h"

#include <gtest/gtest.h>

#include <string>

namespace {

class TestIds : public IdList {
 public:
  size_t size() const override { return 2; }
  bool find(uint32_t id, std::string_view* call, std::string_view* name) const override {
    if (id == 2621234)
      *call = "DL1ABC", *name = "Hans";
    else if (id == 2625555)
      *call = "DL5XYZ", *name = "Bad\xff\xfe name";
    else
      return false;
    return true;
  }
};
const TestIds ids;

constexpr int64_t kStart = 1765206000123;  // 2025-12-08T15:00:00.123Z
constexpr int64_t kHour = 3600 * 1000;

CallFigures call(uint32_t src, uint32_t dst, bool priv, int64_t start_ms, CallDir dir = DIR_TO_REPEATER) {
  CallFigures c{};
  c.start_ms = start_ms;
  c.src = src;
  c.dst = dst;
  c.private_call = priv;
  c.dir = dir;
  c.slot = 2;
  return c;
}

RecordEvent event(RecordEventType type, const CallFigures& c) {
  RecordEvent ev{};
  ev.type = type;
  ev.at_ms = c.start_ms;
  ev.call = c;
  return ev;
}

size_t count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

TEST(WebModel, ACallsFiguresPercentagesAndNames) {
  CallFigures c = call(2621234, 262, false, kStart + 245000);
  c.duration_ms = 12340;
  c.bursts = 205, c.lost = 1, c.bit_errors = 14, c.bits = 28905, c.frames = 615, c.bad_frames = 0;
  c.end = END_TERMINATOR;
  EXPECT_EQ(json_text(call_json(c, ids)),
            R"({"start":"2025-12-08T15:04:05.123Z","dir":"to_repeater","slot":2,"src":2621234,"callsign":"DL1ABC",)"
            R"("name":"Hans","dst":262,"dst_kind":"group","dst_callsign":null,"dst_name":null,"duration_s":12.34,)"
            R"("bursts":205,"lost":1,"loss_pct":0.49,"bit_errors":14,"bits":28905,"ber_pct":0.05,"frames":615,)"
            R"("bad_frames":0,"bad_pct":0.0,"ber_source":"fec","end":"terminator"})");

  // On the air, nothing taken yet, the sender's own figure: no percentage
  // without a denominator.
  c = call(2620001, 2625555, true, kStart, DIR_TO_MASTER);
  c.ber_byte = 1;
  // A name that is not UTF-8 goes out with replacement characters, not as
  // an exception.
  EXPECT_NE(json_text(call_json(c, ids))
                .find(R"("dir":"to_master","slot":2,"src":2620001,"callsign":null,"name":null,"dst":2625555,)"
                      R"("dst_kind":"private","dst_callsign":"DL5XYZ",)"
                      "\"dst_name\":\"Bad\xEF\xBF\xBD\xEF\xBF\xBD name\","
                      R"("duration_s":0.0,"bursts":0,"lost":0,"loss_pct":null,"bit_errors":0,"bits":0,"ber_pct":null,)"
                      R"("frames":0,"bad_frames":0,"bad_pct":null,"ber_source":"sender","end":null})"),
            std::string::npos);
}

TEST(WebModel, EventIdsAndReplayOfTheLast256) {
  web_model_reset(kStart, "homebrew");
  EXPECT_EQ(sse_last_id(), "1765206000-0");
  std::string out;
  EXPECT_TRUE(sse_replay("1765206000-0", &out) && out.empty());
  for (int i = 1; i <= 300; ++i) {
    const std::string text = web_model_take(event(EV_CALL_START, call(1000 + i, 9, false, kStart)), ids, 0);
    ASSERT_EQ(text.rfind("event: call_start\nid: 1765206000-" + std::to_string(i) + "\ndata: {", 0), 0u) << text;
    ASSERT_EQ(text.find('\n', text.find("data: ")), text.size() - 2);  // one line of data
  }
  EXPECT_EQ(sse_last_id(), "1765206000-300");
  EXPECT_TRUE(sse_replay("1765206000-300", &out) && out.empty());
  EXPECT_TRUE(sse_replay("1765206000-299", &out));
  EXPECT_EQ(out.find("event: call_start\nid: 1765206000-300\n"), 0u);
  EXPECT_EQ(count(out, "event: "), 1u);
  out.clear();
  EXPECT_TRUE(sse_replay("1765206000-44", &out));  // 45..300: all still kept
  EXPECT_EQ(count(out, "event: call_start"), 256u);
  EXPECT_EQ(out.find("id: 1765206000-45\n"), out.find("id: "));
  out.clear();
  for (const char* id :
       {"1765206000-43", "1765206000-301", "1765205999-299", "1765206000-1x", "1765206000-99999999999999999999999"})
    EXPECT_FALSE(sse_replay(id, &out)) << id;
  EXPECT_EQ(out, "");

  // call_progress is not logged.
  EXPECT_EQ(sse_progress(call(1, 2, false, kStart), ids).find("id:"), std::string::npos);
  EXPECT_EQ(sse_snapshot(kStart, 0, ids).find("event: snapshot\nid: 1765206000-300\n"), 0u);
}

TEST(WebModel, LastHeardAndCallsPerHour) {
  web_model_reset(kStart, "classic");
  const int64_t now = kStart + 2 * kHour;  // 17:00:00.123
  for (int i = 0; i < 205; ++i) web_model_take(event(EV_CALL_END, call(1000 + i, 9, false, now)), ids, 0);
  const nlohmann::ordered_json heard = lastheard_json(LASTHEARD_KEEP, ids);
  ASSERT_EQ(heard.size(), LASTHEARD_KEEP);
  EXPECT_EQ(heard[0]["src"], 1204);  // newest first
  EXPECT_EQ(heard[199]["src"], 1005);
  EXPECT_EQ(lastheard_json(3, ids).size(), 3u);

  const int64_t starts[] = {now, now, now - kHour, now - 23 * kHour, now - 24 * kHour};
  for (int64_t t : starts) web_model_take(event(EV_CALL_START, call(1, 9, false, t)), ids, 0);
  web_model_take(event(EV_CALL_START, call(1, 9, false, now - kHour, DIR_TO_MASTER)), ids, 0);
  const nlohmann::ordered_json h = history_json(now + 1000)["hours"];
  ASSERT_EQ(h.size(), 24u);
  EXPECT_EQ(h[23]["start"], "2025-12-08T17:00:00.000Z");
  EXPECT_EQ(h[23]["to_repeater"], 2);
  EXPECT_EQ(h[22]["to_repeater"], 1);
  EXPECT_EQ(h[22]["to_master"], 1);
  EXPECT_EQ(h[0]["start"], "2025-12-07T18:00:00.000Z");
  EXPECT_EQ(h[0]["to_repeater"], 1);  // 23 hours ago; the call 24 hours ago is gone
  // An hour later the oldest hour drops out.
  EXPECT_EQ(history_json(now + kHour)["hours"][0]["to_repeater"], 0);
}

}  // namespace
