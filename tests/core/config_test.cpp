#include "core/config.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "support/console_capture.h"

namespace {

const char* kValid =
    "RptrCall=DB0ABC\n"
    "RptrID=262123\n"
    "RptrIP=192.0.2.2\n"
    "RptrPort=50000\n"
    "MasterIP=192.0.2.3\n"
    "RptrQRGtx=439000000\n"
    "RptrQRGrx=431400000\n"
    "MyBridgeID=11259375\n"
    "NetworkKey=1234\n";

struct Loaded {
  int rc;
  std::string out;
};

class ConfigTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/corvane-cfg-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    reset_config();
  }
  void TearDown() override {
    std::remove((dir_ + "/corvane.cfg").c_str());
    rmdir(dir_.c_str());
    reset_config();
  }
  Loaded load(const std::string& content) {
    std::string path = dir_ + "/corvane.cfg";
    std::ofstream(path, std::ios::binary) << content;
    ConsoleCapture cap;
    int rc = read_config_file(path.c_str());
    return {rc, cap.str()};
  }
  // The valid file with the line of `key` replaced (or removed when empty).
  static std::string with(const std::string& key, const std::string& line) {
    std::string s = kValid, out;
    size_t pos = 0;
    while (pos < s.size()) {
      size_t nl = s.find('\n', pos);
      std::string l = s.substr(pos, nl - pos);
      pos = nl + 1;
      if (l.rfind(key + "=", 0) == 0) {
        if (!line.empty()) out += line + "\n";
      } else {
        out += l + "\n";
      }
    }
    return out;
  }
  std::string dir_;
};

TEST_F(ConfigTest, ValidFileSetsEveryValueAndPrintsEachLine) {
  Loaded r = load(kValid);
  EXPECT_EQ(r.rc, 1);
  EXPECT_STREQ(RptrCall, "DB0ABC");
  EXPECT_EQ(RptrID, 262123u);
  EXPECT_STREQ(RptrIP, "192.0.2.2");
  EXPECT_EQ(RptrPort, 50000);
  EXPECT_STREQ(MasterIP, "192.0.2.3");
  EXPECT_EQ(RptrQRGtx, 439000000);
  EXPECT_EQ(RptrQRGrx, 431400000);
  EXPECT_EQ(MyBridgeID[0], 0x00);
  EXPECT_EQ(MyBridgeID[1], 0xAB);
  EXPECT_EQ(MyBridgeID[2], 0xCD);
  EXPECT_EQ(MyBridgeID[3], 0xEF);
  EXPECT_EQ(r.out,
            "RptrCall=[DB0ABC]\n"
            "RptrID=[262123]\n"
            "RptrIP=[192.0.2.2]\n"
            "RptrPort=[50000]\n"
            "MasterIP=[192.0.2.3]\n"
            "RptrQRGtx=[439000000]\n"
            "RptrQRGrx=[431400000]\n"
            "MyBridgeID=[11259375] {00:ab:cd:ef}\n"
            "NetworkKey=[1234]\n"
            "KeyBytes={00:00:00:00:00:00:00:00:00:00:00:00:00:00:00:00:00:00:12:34}\n");
}

TEST_F(ConfigTest, MissingFileGivesZeroSilently) {
  ConsoleCapture cap;
  EXPECT_EQ(read_config_file((dir_ + "/nothing.cfg").c_str()), 0);
  EXPECT_EQ(cap.str(), "");
}

TEST_F(ConfigTest, CountingCommentsRepeatsAndLineEndings) {
  // A comment anywhere hides the whole line.
  Loaded r = load(with("MasterIP", "MasterIP=192.0.2.3 # the master"));
  EXPECT_EQ(r.rc, 0);
  EXPECT_NE(r.out.find("Configuration file invalid... (8)\n"), std::string::npos);

  // A repeated valid key counts twice.
  r = load(std::string(kValid) + "RptrQRGtx=1\n");
  EXPECT_EQ(r.rc, 0);
  EXPECT_NE(r.out.find("Configuration file invalid... (10)\n"), std::string::npos);
  EXPECT_EQ(RptrQRGtx, 1);

  // One key missing, another twice: nine accepted, valid.
  r = load(with("RptrQRGrx", "") + "RptrQRGtx=2\n");
  EXPECT_EQ(r.rc, 1);

  // CR LF endings, blanks around '=', unknown keys, lines without '='.
  std::string crlf;
  for (char c : std::string(kValid)) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  r = load(crlf + "RptrPort = 2000\r\nFoo=bar\r\njust text\r\n");
  EXPECT_EQ(r.rc, 1);
  EXPECT_STREQ(RptrIP, "192.0.2.2");
  EXPECT_EQ(RptrPort, 50000);
}

TEST_F(ConfigTest, OverlongLineIsReadInPiecesOfAtMost1019Characters) {
  // The tail after 1019 characters is a line of its own and is counted.
  std::string longline = "X=" + std::string(1017, 'a') + "RptrQRGrx=5\n";
  Loaded r = load(with("RptrQRGrx", "") + longline);
  EXPECT_EQ(r.rc, 1);
  EXPECT_EQ(RptrQRGrx, 5);
}

TEST_F(ConfigTest, CallSignLengthAndSeparateRepeaterId) {
  Loaded r = load(with("RptrCall", "RptrCall=AB"));
  EXPECT_EQ(r.rc, 0);
  EXPECT_NE(r.out.find("RptrCall [AB], has more than 8 characters!\n"), std::string::npos);
  EXPECT_STREQ(RptrCall, "");

  r = load(with("RptrCall", "RptrCall=ABCDEFGH"));
  EXPECT_EQ(r.rc, 1);
  EXPECT_STREQ(RptrCall, "ABCDEFGH");

  r = load(with("RptrCall", "RptrCall=ABCDEFGHI"));
  EXPECT_EQ(r.rc, 0);
  EXPECT_NE(r.out.find("RptrCall [ABCDEFGHI], has more than 8 characters!\n"), std::string::npos);

  // A call sign after the ID, rejected or not, leaves the ID alone.
  r = load(with("RptrCall", "") + "RptrCall=ABCDEFGHIJKL\n");
  EXPECT_EQ(RptrID, 262123u);
}

TEST_F(ConfigTest, NumberRanges) {
  struct Case {
    const char* line;
    int rc;
    const char* printed;
  } cases[] = {
      {"RptrID=0", 0, "Error in RptrID=[0]\n"},
      {"RptrID=16777216", 0, "Error in RptrID=[16777216]\n"},
      {"RptrID=-1", 0, "Error in RptrID=[4294967295]\n"},
      {"RptrID=16777215", 1, "RptrID=[16777215]\n"},
      {"RptrID=99999999999999999999", 0, "Error in RptrID=[2147483647]\n"},
      {"RptrPort=1023", 0, "Error in RptrPort=[1023] [1024-65535]\n"},
      {"RptrPort=65536", 0, "Error in RptrPort=[65536] [1024-65535]\n"},
      {"RptrPort=1024", 1, "RptrPort=[1024]\n"},
      {"RptrPort=65535", 1, "RptrPort=[65535]\n"},
      {"RptrPort=  +2000x", 1, "RptrPort=[2000]\n"},
  };
  for (const Case& c : cases) {
    std::string line = c.line;
    std::string key = line.substr(0, line.find('='));
    Loaded r = load(with(key, line));
    EXPECT_EQ(r.rc, c.rc) << c.line;
    EXPECT_NE(r.out.find(c.printed), std::string::npos) << c.line << "\n" << r.out;
  }
}

TEST_F(ConfigTest, BridgeIdOutOfRangeIsCountedButKeepsEarlierBytes) {
  Loaded r = load(with("MyBridgeID", "MyBridgeID=1"));
  EXPECT_EQ(r.rc, 1);
  EXPECT_NE(r.out.find("MyBridgeID=[1] {00:00:00:00}\n"), std::string::npos);

  r = load(with("MyBridgeID", "MyBridgeID=16777214"));
  EXPECT_NE(r.out.find("MyBridgeID=[16777214] {00:ff:ff:fe}\n"), std::string::npos);

  r = load(with("MyBridgeID", "MyBridgeID=300\nMyBridgeID=16777215\nRptrQRGtx=0"));
  EXPECT_NE(r.out.find("MyBridgeID=[16777215] {00:00:01:2c}\n"), std::string::npos);
}

TEST_F(ConfigTest, NetworkKeyDigitsHexAndErrors) {
  Loaded r = load(with("NetworkKey", "NetworkKey="));
  EXPECT_EQ(r.rc, 1);
  for (uint8_t b : Key) EXPECT_EQ(b, 0);

  r = load(with("NetworkKey", "NetworkKey=00112233445566778899aAbBcCdDeEfF01234567"));
  EXPECT_EQ(r.rc, 1);
  const uint8_t want[20] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99,
                            0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF, 0x01, 0x23, 0x45, 0x67};
  EXPECT_EQ(0, memcmp(Key, want, 20));
  EXPECT_NE(r.out.find("KeyBytes={00:11:22:33:44:55:66:77:88:99:aa:bb:cc:dd:ee:ff:01:23:45:67}\n"), std::string::npos);

  // An odd length is padded on the left: "abc" is 0x0A 0xBC.
  r = load(with("NetworkKey", "NetworkKey=abc"));
  EXPECT_EQ(Key[18], 0x0A);
  EXPECT_EQ(Key[19], 0xBC);

  for (const char* bad :
       {"NetworkKey=12g4", "NetworkKey=12 4", "NetworkKey=00000000000000000000000000000000000000001"}) {
    memset(Key, 0x5A, sizeof Key);
    r = load(with("NetworkKey", bad));
    EXPECT_EQ(r.rc, 0) << bad;
    std::string value = std::string(bad).substr(11);
    EXPECT_NE(r.out.find("Error in NetworkKey=[" + value + "]\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Configuration file invalid... (8)\n"), std::string::npos);
    EXPECT_EQ(Key[0], 0x5A) << "a rejected key must not change the key bytes";
  }
}

TEST_F(ConfigTest, AddressesMustBeCompleteDottedQuads) {
  for (const char* bad : {"192.168.100.200.1", "10.0.0", "host.example", "1.2.3.256", "", " 1.2.3.4"}) {
    Loaded r = load(with("RptrIP", std::string("RptrIP=") + bad));
    EXPECT_EQ(r.rc, 0) << bad;
    EXPECT_NE(r.out.find(std::string("Error in RptrIP=[") + bad + "]\n"), std::string::npos) << bad;
  }
  Loaded r = load(with("MasterIP", "MasterIP=300.1.1.1"));
  EXPECT_EQ(r.rc, 0);
  EXPECT_NE(r.out.find("Error in MasterIP=[300.1.1.1]\n"), std::string::npos);

  r = load(with("MasterIP", "MasterIP=255.255.255.254"));
  EXPECT_EQ(r.rc, 1);
  EXPECT_STREQ(MasterIP, "255.255.255.254");
}

}  // namespace
