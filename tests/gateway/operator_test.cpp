// SPDX-License-Identifier: GPL-2.0-or-later
// What an operator and the service manager see of the daemon: the command
// line, the configuration check, and the notifications to systemd.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "core/config.h"
#include "core/link_status.h"
#include "gateway/notify.h"
#include "gateway/options.h"
#include "gateway/startup.h"
#include "support/console_capture.h"

namespace {

int parse(std::vector<const char*> args, Options& opt) {
  args.insert(args.begin(), "corvane");
  args.push_back(nullptr);
  return parse_options(static_cast<int>(args.size()) - 1, const_cast<char**>(args.data()), opt);
}

TEST(Options, ConfigPathCheckVersionHelpAndUsageErrors) {
  Options opt;
  EXPECT_EQ(parse({}, opt), -1);
  EXPECT_STREQ(opt.config, "corvane.cfg");
  EXPECT_FALSE(opt.check);
  EXPECT_EQ(parse({"-t", "-c", "/etc/corvane/x.cfg"}, opt), -1);
  EXPECT_STREQ(opt.config, "/etc/corvane/x.cfg");
  EXPECT_TRUE(opt.check);
  EXPECT_EQ(parse({"--config=a.cfg", "--check"}, opt), -1);
  EXPECT_STREQ(opt.config, "a.cfg");
  EXPECT_TRUE(opt.check);
  EXPECT_EQ(opt.open_master, 0) << "the classic login without the option";
  EXPECT_EQ(parse({"--open-master"}, opt), -1);
  EXPECT_EQ(opt.open_master, 50000);
  EXPECT_EQ(parse({"--open-master=65535"}, opt), -1);
  EXPECT_EQ(opt.open_master, 65535);

  testing::internal::CaptureStdout();
  EXPECT_EQ(parse({"-V"}, opt), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), std::string("corvane ") + CORVANE_VERSION + "\n");
  testing::internal::CaptureStdout();
  EXPECT_EQ(parse({"--help"}, opt), 0);
  EXPECT_NE(testing::internal::GetCapturedStdout().find("--config FILE"), std::string::npos);

  EXPECT_EQ(parse({"--http", "8080", "--ids", "/x/ids.csv"}, opt), -1);
  EXPECT_TRUE(opt.http);
  EXPECT_EQ(opt.web.addr, 0x7F000001u);
  EXPECT_EQ(opt.web.port, 8080);
  EXPECT_STREQ(opt.ids, "/x/ids.csv");
  EXPECT_STREQ(opt.web.mode, "classic");
  EXPECT_EQ(parse({"--homebrew", "--http=0.0.0.0:80", "--http-allow=192.168.1.0/24,10.0.0.0/8"}, opt), -1);
  EXPECT_EQ(opt.homebrew, 62031);
  EXPECT_EQ(opt.web.allow_count, 2);
  EXPECT_STREQ(opt.web.mode, "homebrew");

  for (std::vector<const char*> bad : std::vector<std::vector<const char*>>{{"-x"},
                                                                            {"--bogus"},
                                                                            {"stray"},
                                                                            {"-c"},
                                                                            {"--open-master=0"},
                                                                            {"--open-master=65536"},
                                                                            {"--open-master="},
                                                                            {"--open-master=50000x"},
                                                                            {"--http=1.2.3:80"},
                                                                            {"--http=127.0.0.1:0"},
                                                                            {"--http-allow=10.0.0.0/8"},
                                                                            {"--http=80", "--http-allow=10.0.0.0/33"},
                                                                            {"--homebrew", "--open-master"},
                                                                            {"--homebrew=0"},
                                                                            {"--passphrase-file=/p"}}) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(parse(bad, opt), 2) << bad[0];
    EXPECT_NE(testing::internal::GetCapturedStderr().find("Usage: corvane"), std::string::npos) << bad[0];
  }
}

TEST(Options, CheckSaysOkOrFailsWithTheStartupLines) {
  char path[] = "/tmp/corvane-check-XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  const std::string good =
      "RptrCall=DB0ABC\nRptrID=262123\nRptrIP=192.0.2.2\nRptrPort=50000\nMasterIP=192.0.2.3\n"
      "RptrQRGtx=439000000\nRptrQRGrx=431400000\nMyBridgeID=11259375\nNetworkKey=0123456789abcdef\n";
  ASSERT_EQ(write(fd, good.data(), good.size()), static_cast<ssize_t>(good.size()));
  close(fd);
  ConsoleCapture console;
  reset_config();
  EXPECT_EQ(check_config(path), 0);
  const std::string out = console.str();
  EXPECT_EQ(out.rfind(std::string("Read Configfile ") + path + "\nRptrCall=[DB0ABC]\n", 0), 0u) << out;
  EXPECT_EQ(out.substr(out.size() - 17), "configuration ok\n");

  console.clear();
  reset_config();
  ASSERT_EQ(truncate(path, 16), 0);  // one key left
  EXPECT_EQ(check_config(path), 1);
  EXPECT_NE(console.str().find(std::string("Can not read Configfile ") + path + "\n"), std::string::npos);
  EXPECT_EQ(console.str().find("configuration ok"), std::string::npos);
  unlink(path);
  reset_config();
}

// A stand-in for systemd's notification socket.
class NotifyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = "/tmp/corvane-notify-" + std::to_string(getpid());
    unlink(path_.c_str());
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    snprintf(a.sun_path, sizeof a.sun_path, "%s", path_.c_str());
    ASSERT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    setenv("NOTIFY_SOCKET", path_.c_str(), 1);
    setenv("WATCHDOG_USEC", "30000000", 1);
    unsetenv("WATCHDOG_PID");
    reset_link_status();
    reset_workers();
    notify_init();
  }
  void TearDown() override {
    unsetenv("NOTIFY_SOCKET");
    unsetenv("WATCHDOG_USEC");
    reset_notify();
    reset_workers();
    reset_link_status();
    close(fd_);
    unlink(path_.c_str());
  }
  std::vector<std::string> received() {
    std::vector<std::string> out;
    char buf[256];
    for (ssize_t n; (n = recv(fd_, buf, sizeof buf, 0)) > 0;) out.emplace_back(buf, static_cast<size_t>(n));
    return out;
  }
  std::string path_;
  int fd_ = -1;
};

using Msgs = std::vector<std::string>;

TEST_F(NotifyTest, ReadyOnceWorkersRunStatusOnChangeWatchdogWhileNoWorkerIsStuck) {
  notify_pass(1000);
  EXPECT_EQ(received(), (Msgs{"STATUS=repeater not answering, master not logged in", "WATCHDOG=1"}));
  for (int w = 0; w < WORKER_COUNT; ++w) worker_started(static_cast<Worker>(w));
  notify_pass(2000);
  EXPECT_EQ(received(), (Msgs{"READY=1", "WATCHDOG=1"}));

  motorola_repeater_online = 20;
  master_online = 1;
  note_call(1000001, 9, 2, "Mon Dec  7 17:47:43 2026");
  notify_pass(3000);
  EXPECT_EQ(received(),
            (Msgs{"STATUS=repeater alive, master logged in, last call 1000001 -> 9 slot 2 at 17:47:43", "WATCHDOG=1"}));

  // Dead links never hold back the watchdog; a worker inside one pass for
  // more than half its period (15 s) does, a waiting one never.
  motorola_repeater_online = 0;
  master_online = 0;
  worker_busy(WORKER_RDAC, 4000);
  notify_pass(19000);
  EXPECT_EQ(received().back(), "WATCHDOG=1");
  notify_pass(19001);
  EXPECT_EQ(received(), Msgs{});
  worker_idle(WORKER_RDAC);
  notify_pass(100000);
  EXPECT_EQ(received(), Msgs{"WATCHDOG=1"});
}

TEST_F(NotifyTest, NothingWithoutSocketNoWatchdogWithoutPeriod) {
  unsetenv("NOTIFY_SOCKET");
  notify_init();
  EXPECT_FALSE(notify_send("READY=1"));
  setenv("NOTIFY_SOCKET", path_.c_str(), 1);
  unsetenv("WATCHDOG_USEC");
  notify_init();
  notify_pass(1000);
  EXPECT_EQ(received(), Msgs{"STATUS=repeater not answering, master not logged in"});
}

}  // namespace
