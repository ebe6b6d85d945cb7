// SPDX-License-Identifier: GPL-2.0-or-later
// The dashboard's server on 127.0.0.1 (an ephemeral port), exercised with
// plain sockets, driven by its web thread.
#include "web/server.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

#include "core/call_record.h"
#include "core/clock.h"
#include "core/config.h"
#include "core/link_status.h"
#include "core/metrics.h"
#include "web/http_client.h"

namespace {

const unsigned char kPage[] = "<!doctype html><title>t</title>";
const unsigned char kScript[] = "console.log(1);";
const WebAsset kAssets[] = {{"index.html", kPage, sizeof kPage - 1}, {"app.js", kScript, sizeof kScript - 1}};

bool shows_key(const std::string& text) {
  std::string lower, upper;
  char b[8];
  for (uint8_t k : Key) lower += (snprintf(b, sizeof b, "%02x", k), b), upper += (snprintf(b, sizeof b, "%02X", k), b);
  return text.find(lower) != std::string::npos || text.find(upper) != std::string::npos;
}

void settle(int (*count)(), int want) {
  for (int i = 0; i < 200 && count() != want; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
}
int streams() {
  return web_stats().streams;
}

class WebServer : public ::testing::Test {
 protected:
  void SetUp() override { start(WebOptions{}); }
  void start(const WebOptions& o) {
    reset_web();
    reset_call_record();
    reset_metrics();
    reset_link_status();
    reset_config();
    snprintf(RptrCall, sizeof RptrCall, "DB0TST");
    snprintf(RptrIP, sizeof RptrIP, "192.0.2.10");
    RptrPort = 50000;
    RptrQRGtx = 439562500;
    RptrQRGrx = 431962500;
    for (int i = 0; i < 20; ++i) Key[i] = static_cast<uint8_t>(0xA7 + 13 * i);
    web_set_assets(kAssets, 2);
    ASSERT_TRUE(web_start(o));
    port = web_port();
  }
  void TearDown() override { reset_web(); }
  int open_stream(std::string* raw, const char* from = "127.0.0.1", const std::string& extra = "", int rcvbuf = 0) {
    const int fd = http_connect(port, from, rcvbuf);
    http_send(fd, "GET /api/events HTTP/1.1\r\nHost: localhost\r\n" + extra + "\r\n");
    raw->clear();
    return fd;
  }
  uint16_t port = 0;
};

TEST_F(WebServer, EndpointsHeadersStreamsReplayAndLimits) {
  for (const char* path : {"/", "/app.js", "/api/status", "/api/lastheard", "/api/history", "/metrics"}) {
    SCOPED_TRACE(path);
    const HttpReply get = http_request(port, "GET", path), head = http_request(port, "HEAD", path);
    EXPECT_EQ(get.status, 200);
    EXPECT_EQ(get.header("Content-Security-Policy") + get.header("X-Content-Type-Options") +
                  get.header("Referrer-Policy") + get.header("X-Frame-Options"),
              "default-src 'self'nosniffno-referrerDENY");
    const bool page_file = strchr(path + 1, '/') == nullptr && path[1] != 'm';  // not /api/..., /metrics
    EXPECT_EQ(get.header("Cache-Control"), page_file ? "no-cache" : "no-store");
    EXPECT_FALSE(shows_key(get.body));
    EXPECT_EQ(head.status, 200);
    EXPECT_EQ(head.body, "");
    EXPECT_EQ(head.header("Content-Length"), std::to_string(get.body.size()));
  }
  EXPECT_EQ(http_request(port, "GET", "/app.js").body, "console.log(1);");
  EXPECT_EQ(http_request(port, "GET", "/").header("Content-Type"), "text/html; charset=utf-8");
  const std::string status = http_request(port, "GET", "/api/status").body;
  EXPECT_NE(status.find(R"("tx_mhz":439.5625,"rx_mhz":431.9625,"repeater":"192.0.2.10:50000")"), std::string::npos);

  const HttpReply post = http_request(port, "POST", "/api/status", "Content-Length: 5\r\n\r\nhello");
  EXPECT_EQ(post.status, 405);
  EXPECT_EQ(post.header("Allow"), "GET, HEAD");
  EXPECT_EQ(post.header("X-Frame-Options"), "DENY");
  EXPECT_EQ(http_request(port, "DELETE", "/").status, 405);
  EXPECT_EQ(http_request(port, "GET", "/app.css").status, 404);  // not among this test's files
  EXPECT_EQ(http_request(port, "GET", "/../etc/passwd").status, 404);
  EXPECT_EQ(http_request(port, "GET", "/api/lastheard?limit=200").status, 200);
  for (const char* q : {"?limit=0", "?limit=201", "?limit=1x", "?limit=5&limit=6", "?x=1"})
    EXPECT_EQ(http_request(port, "GET", std::string("/api/lastheard") + q).status, 400) << q;

  // The event stream: a call's events, then a reconnect's replay.
  std::string raw;
  int fd = open_stream(&raw);
  HttpReply r = http_wait_for(fd, &raw, "event: snapshot", 3000);
  EXPECT_EQ(r.header("Content-Type"), "text/event-stream");
  const std::string lead = "retry: 3000\n\nevent: snapshot\nid: ";
  EXPECT_EQ(r.body.rfind(lead, 0), 0u);
  const std::string prefix = r.body.substr(lead.size(), r.body.find('-', lead.size()) + 1 - lead.size());
  EXPECT_NE(r.body.find("id: " + prefix + "0\n"), std::string::npos);  // nothing logged yet

  call_record_start(CH_MASTER_SLOT2, 2621234, 262, false, 1765206245123, mono_ms());
  EXPECT_NE(http_wait_for(fd, &raw, "event: call_start\nid: " + prefix + "1\n", 3000).body.find("call_start"),
            std::string::npos);
  call_record_burst(CH_MASTER_SLOT2, BurstFigures{0, 2, 141, 3, 0}, mono_ms());
  r = http_wait_for(fd, &raw, "event: call_progress\ndata: {", 2500);  // a second later, no id
  EXPECT_NE(r.body.find("\"bits\":141,"), std::string::npos);
  call_record_end(CH_MASTER_SLOT2, END_TERMINATOR, mono_ms());
  r = http_wait_for(fd, &raw, "event: call_end\nid: " + prefix + "2\n", 3000);
  EXPECT_NE(r.body.find("\"end\":\"terminator\""), std::string::npos);
  EXPECT_FALSE(shows_key(r.body));
  close(fd);

  // A reconnect with the call_start's id gets the call_end again, no snapshot.
  fd = open_stream(&raw, "127.0.0.1", "Last-Event-ID: " + prefix + "1\r\n");
  r = http_wait_for(fd, &raw, "event: call_end", 3000);
  EXPECT_EQ(r.body.find("event: snapshot"), std::string::npos);
  EXPECT_EQ(r.body.find("event: call_start"), std::string::npos);
  close(fd);
  // An id of another run gets a snapshot, which now lists the call.
  fd = open_stream(&raw, "127.0.0.1", "Last-Event-ID: 12-1\r\n");
  EXPECT_NE(http_wait_for(fd, &raw, "\"lastheard\":[{", 3000).body.find("event: snapshot"), std::string::npos);
  close(fd);

  // 16 streams at most, 8 per address.
  std::vector<int> fds;
  const char* from[] = {"127.0.0.2", "127.0.0.3", "127.0.0.4"};
  for (int i = 0; i < 16; ++i) {
    fds.push_back(open_stream(&raw, from[i % 3]));
    EXPECT_EQ(http_wait_for(fds.back(), &raw, "event: snapshot", 3000).status, 200) << i;
  }
  const uint64_t passes = web_stats().passes;  // idle with 16 streams: the web thread sleeps
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_LE(web_stats().passes - passes, 1u);
  const int extra = open_stream(&raw, "127.0.0.5");
  EXPECT_EQ(http_wait_for(extra, &raw, "\x01", 2000).status, 503);
  EXPECT_EQ(web_stats().streams_refused, 1u);
  close(extra);
  for (int fd : fds) close(fd);  // noticed although the streams sleep
  settle(streams, 0);
  EXPECT_EQ(web_stats().streams, 0);

  // A client that reads nothing: once 256 KiB wait for it, it is dropped.
  const int slow = open_stream(&raw, "127.0.0.1", "", 4096);
  settle(streams, 1);
  for (int i = 0; i < 4000 && web_stats().streams_dropped == 0; ++i) {
    call_record_start(CH_REPEATER_SLOT2, 1000 + i, 9, false, 1765206245123, mono_ms());
    if (i % 100 == 99) std::this_thread::sleep_for(std::chrono::milliseconds(5));  // the queue drains
  }
  EXPECT_EQ(web_stats().streams_dropped, 1u);
  EXPECT_TRUE(http_wait_for(slow, &raw, "\x01never", 5000).closed);  // what was sent, then the end
  close(slow);
  settle(streams, 0);
  EXPECT_EQ(web_stats().streams, 0);
}

// At 64 connections the server stops listening; when they all go in one
// pass it must listen again before the thread sleeps with nothing due.
TEST(WebPass, ListensAgainWhenHeldConnectionsGoInOnePass) {
  reset_web();
  ASSERT_TRUE(web_open(WebOptions{}));
  std::vector<int> held;
  for (int a = 0; a < 8; ++a)
    for (int i = 0; i < 8; ++i) {
      held.push_back(http_connect(web_port(), ("127.0.1." + std::to_string(a + 1)).c_str()));
      web_pass(1000, 1765206000000);
    }
  for (int fd : held) close(fd);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  const int64_t wait = web_pass(2000, 1765206000000);
  const int fd = http_connect(web_port());
  http_send(fd, "GET /api/status HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
  pollfd fds[2 + 16];
  const size_t n = web_poll_fds(fds, 18);
  EXPECT_GT(poll(fds, n, wait < 0 || wait > 500 ? 500 : static_cast<int>(wait)), 0) << "the thread would sleep on";
  std::string raw;
  HttpReply r;
  for (int i = 0; i < 50 && r.status == 0; ++i) {
    web_pass(2100 + i, 1765206000000);
    r = http_wait_for(fd, &raw, "\x01never", 10);
  }
  EXPECT_EQ(r.status, 200);
  close(fd);
  reset_web();
}

TEST(WebOptionsParse, AddressesPortsAndNetworks) {
  WebOptions o;
  std::string err;
  ASSERT_TRUE(web_parse_http("8080", &o, &err));
  EXPECT_EQ(o.addr, 0x7F000001u);
  ASSERT_TRUE(web_parse_http("192.0.2.1:65535", &o, &err));
  EXPECT_EQ(o.addr, 0xC0000201u);
  EXPECT_EQ(o.port, 65535);
  // 4294967376 is 2^32 + 80: no wrap-around where unsigned long has 32 bits.
  for (const char* bad : {"0", "65536", "80x", "1.2.3:80", "1.2.3.4:", "host:80", "4294967376", "1.2.3.4:4294967376"})
    EXPECT_FALSE(web_parse_http(bad, &o, &err) || err.find('\n') != std::string::npos) << bad;

  ASSERT_TRUE(web_parse_allow("192.0.2.77/24,10.0.0.1/32", &o, &err));
  EXPECT_EQ(o.allow_count, 2);
  EXPECT_TRUE(web_allowed(o, 0xC00002FEu));
  EXPECT_FALSE(web_allowed(o, 0xC0000301u));
  EXPECT_TRUE(web_allowed(o, 0x0A000001u));
  o.addr = 0x7F000001;  // listening on loopback: no list needed
  EXPECT_TRUE(web_allowed(o, 0xC0000301u));
  for (const char* bad : {"10.0.0.0", "10.0.0.0/33", "10.0.0/8", "10.0.0.0/8,", "10.0.0.0/4294967304"})
    EXPECT_FALSE(web_parse_allow(bad, &o, &err)) << bad;
  std::string many = "10.0.0.0/32";
  for (int i = 1; i <= WEB_ALLOW_MAX; ++i) many += ",10.0.0." + std::to_string(i) + "/32";
  EXPECT_FALSE(web_parse_allow(many.c_str(), &o, &err));
  EXPECT_EQ(err, "--http-allow: more than 16 networks");
}

}  // namespace
