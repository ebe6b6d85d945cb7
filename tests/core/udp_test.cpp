#include "core/udp.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "core/config.h"
#include "support/console_capture.h"
#include "support/fake_net.h"

namespace {

class UdpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_udp();
    reset_config();
    snprintf(LISTEN_IP, sizeof LISTEN_IP, "127.0.0.1");
    snprintf(MasterIP, sizeof MasterIP, "192.0.2.3");
    snprintf(RptrIP, sizeof RptrIP, "192.0.2.2");
    RptrPort = 50000;
  }
  void TearDown() override {
    if (Corvane_sock >= 0) close(Corvane_sock);
    reset_udp();
    reset_config();
  }
};

int free_udp_port() {
  int s = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a = make_addr("127.0.0.1", 0);
  bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t l = sizeof a;
  getsockname(s, reinterpret_cast<sockaddr*>(&a), &l);
  close(s);
  return ntohs(a.sin_port);
}

TEST_F(UdpTest, MotorolaSideOpenBindsNonBlockingAndReportsATakenPort) {
  RptrPort = free_udp_port();
  ASSERT_EQ(Corvane(), 0);
  int first = Corvane_sock;
  EXPECT_GE(first, 0);
  EXPECT_TRUE(fcntl(first, F_GETFL) & O_NONBLOCK);

  ConsoleCapture cap;
  EXPECT_EQ(Corvane(), 1);
  EXPECT_EQ(Corvane_sock, -1);
  char want[128];
  snprintf(want, sizeof want, "Failed to bind server socket on IP 127.0.0.1, port %d, errno=%d\n", RptrPort,
           EADDRINUSE);
  EXPECT_EQ(cap.str(), want);
  close(first);
}

TEST_F(UdpTest, RealSendAndReceiveOverLoopback) {
  RptrPort = free_udp_port();
  ASSERT_EQ(Corvane(), 0);
  snprintf(RptrIP, sizeof RptrIP, "127.0.0.1");
  // SEND goes to RptrIP:RptrPort: here our own socket, so it comes back.
  const uint8_t msg[3] = {1, 2, 3};
  SEND(3, msg);
  uint8_t buf[16];
  sockaddr_in from{};
  ssize_t n = udp_ops.recv(Corvane_sock, buf, sizeof buf, &from, 1000);
  ASSERT_EQ(n, 3);
  EXPECT_EQ(buf[2], 3);
  EXPECT_EQ(ntohs(from.sin_port), RptrPort);
  // Nothing pending: a zero wait returns at once with nothing.
  EXPECT_EQ(udp_ops.recv(Corvane_sock, buf, sizeof buf, &from, 0), -1);
  // A socket that never opened receives nothing.
  EXPECT_EQ(udp_ops.recv(-1, buf, sizeof buf, &from, 0), -1);
}

TEST_F(UdpTest, EverySendFillsItsOwnDestination) {
  FakeNet net;
  Corvane_sock = 5;
  Local_Repeater_audio_srv_sock = 6;
  const uint8_t a[1] = {'A'};
  SEND(1, a);
  send_to_master(a, 1);
  snprintf(RptrIP, sizeof RptrIP, "not-an-ip");
  SEND(1, a);
  auto sent = net.take_sent();
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent[0].sock, 5);
  EXPECT_EQ(sent[0].ip(), "192.0.2.2");
  EXPECT_EQ(sent[0].port(), 50000);
  EXPECT_EQ(sent[1].sock, 6);
  EXPECT_EQ(sent[1].ip(), "192.0.2.3");
  EXPECT_EQ(sent[1].port(), 62006);
  EXPECT_EQ(sent[2].ip(), "255.255.255.255");  // inet_addr's answer to a bad text
}

TEST_F(UdpTest, SendersInSeveralThreadsNeverShareADestination) {
  std::vector<std::thread> threads;
  std::atomic<int> wrong{0};
  static std::atomic<int>* wrong_p;
  wrong_p = &wrong;
  udp_ops.send = [](int sock, const uint8_t* buf, size_t, const sockaddr_in* to) -> ssize_t {
    // Each thread sends its own marker to its own port.
    if (ntohs(to->sin_port) != 40000 + buf[0] || sock != buf[0]) ++*wrong_p;
    return 1;
  };
  for (uint8_t t = 0; t < 4; ++t)
    threads.emplace_back([t] {
      for (int i = 0; i < 20000; ++i) send_to(t, "127.0.0.1", 40000 + t, &t, 1);
    });
  for (auto& th : threads) th.join();
  EXPECT_EQ(wrong, 0);
}

TEST_F(UdpTest, MasterSideReceivesDropStrangers) {
  FakeNet net;
  net.feed(9, {1}, "192.0.2.4", 62006);
  net.feed(9, {2, 2}, "192.0.2.3", 40000);
  uint8_t buf[8];
  sockaddr_in from{};
  EXPECT_EQ(recv_from_master(9, buf, sizeof buf, &from, 0), -1);
  EXPECT_EQ(recv_from_master(9, buf, sizeof buf, &from, 0), 2);
  EXPECT_EQ(buf[0], 2);
  EXPECT_EQ(recv_from_master(9, buf, sizeof buf, &from, 0), -1);
}

TEST_F(UdpTest, FromUser2IsSwappedWhole) {
  std::atomic<bool> stop{false};
  sockaddr_in a = make_addr("192.0.2.2", 50000), b = make_addr("198.51.100.7", 1234);
  std::thread writer([&] {
    for (int i = 0; !stop; ++i) set_fromUser2(i % 2 ? a : b);
  });
  int torn = 0;
  for (int i = 0; i < 200000; ++i) {
    sockaddr_in r = get_fromUser2();
    bool is_a = r.sin_addr.s_addr == a.sin_addr.s_addr && r.sin_port == a.sin_port;
    bool is_b = r.sin_addr.s_addr == b.sin_addr.s_addr && r.sin_port == b.sin_port;
    bool is_zero = r.sin_addr.s_addr == 0 && r.sin_port == 0;
    torn += !(is_a || is_b || is_zero);
  }
  stop = true;
  writer.join();
  EXPECT_EQ(torn, 0);
}

}  // namespace
