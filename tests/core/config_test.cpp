// SPDX-License-Identifier: GPL-2.0-or-later
#include "core/config.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "support/console_capture.h"

namespace {

const char* const VALID[] = {"RptrCall=DB0ABC",     "RptrID=262123",       "RptrIP=192.0.2.2",
                             "RptrPort=50000",      "MasterIP=192.0.2.3",  "RptrQRGtx=439000000",
                             "RptrQRGrx=431400000", "MyBridgeID=11259375", "NetworkKey=1234"};
const auto npos = std::string::npos;

class ConfigTest : public ::testing::Test {
 protected:
  void TearDown() override { std::remove(path_.c_str()); }
  // Reads the valid lines, the one of `line`'s key replaced by it (dropped
  // when `line` is a bare key), then `extra`.
  int load(const std::string& line = "", const std::string& extra = "") {
    std::string text;
    for (std::string v : VALID) {
      if (!line.empty() && v.substr(0, v.find('=')) == line.substr(0, line.find('='))) {
        if (line.find('=') == npos) continue;
        v = line;
      }
      text += v + "\n";
    }
    std::ofstream(path_, std::ios::binary) << text + extra;
    reset_config();
    ConsoleCapture cap;
    int rc = read_config_file(path_.c_str());
    out_ = cap.str();
    return rc;
  }
  std::string path_ = "/tmp/corvane-cfg-" + std::to_string(getpid());
  std::string out_;
};

TEST_F(ConfigTest, ValidFileIsReadAndShown) {
  ASSERT_EQ(load(), 1);
  EXPECT_EQ(out_,
            "RptrCall=[DB0ABC]\nRptrID=[262123]\nRptrIP=[192.0.2.2]\nRptrPort=[50000]\nMasterIP=[192.0.2.3]\n"
            "RptrQRGtx=[439000000]\nRptrQRGrx=[431400000]\nMyBridgeID=[11259375] {00:ab:cd:ef}\nNetworkKey=[1234]\n"
            "KeyBytes={00:00:00:00:00:00:00:00:00:00:00:00:00:00:00:00:00:00:12:34}\n");
  ConsoleCapture cap;
  EXPECT_EQ(read_config_file("/nonexistent/corvane.cfg"), 0);
  EXPECT_EQ(cap.str(), "") << "a missing file is reported by the caller";
}

TEST_F(ConfigTest, BoundsOfEachKeyAndWhatCounts) {
  const struct {
    std::string line, extra;
    bool valid;
    const char* printed;
  } cases[] = {
      {"RptrCall=ABC", "", true, "RptrCall=[ABC]\n"},
      {"RptrCall=AB", "", false, "RptrCall [AB], has more than 8 characters!\n"},
      {"RptrCall=ABCDEFGH", "", true, "RptrCall=[ABCDEFGH]\n"},
      {"RptrCall=ABCDEFGHI", "", false, "RptrCall [ABCDEFGHI], has more than 8 characters!\n"},
      {"RptrID=1", "", true, "RptrID=[1]\n"},
      {"RptrID=0", "", false, "Error in RptrID=[0]\n"},
      {"RptrID=16777215", "", true, "RptrID=[16777215]\n"},
      {"RptrID=16777216", "", false, "Error in RptrID=[16777216]\n"},
      {"RptrPort=1024", "", true, "RptrPort=[1024]\n"},
      {"RptrPort=1023", "", false, "Error in RptrPort=[1023] [1024-65535]\n"},
      {"RptrPort=65535", "", true, "RptrPort=[65535]\n"},
      {"RptrPort=65536", "", false, "Error in RptrPort=[65536] [1024-65535]\n"},
      {"MyBridgeID=2", "", true, "MyBridgeID=[2] {00:00:00:02}\n"},
      {"MyBridgeID=1", "", true, "MyBridgeID=[1] {00:00:00:00}\n"},
      {"MyBridgeID=16777214", "", true, "MyBridgeID=[16777214] {00:ff:ff:fe}\n"},
      {"MyBridgeID=16777215", "", true, "MyBridgeID=[16777215] {00:00:00:00}\n"},
      {"NetworkKey=", "", true, "=[]\nKeyBytes={00:00:00:00:00:00:00:00:00:00:00:00:00:00:00:00:00:00:00:00}\n"},
      {"NetworkKey=00112233445566778899aAbBcCdDeEfF01234567", "", true,
       "KeyBytes={00:11:22:33:44:55:66:77:88:99:aa:bb:cc:dd:ee:ff:01:23:45:67}\n"},
      {"NetworkKey=00112233445566778899aAbBcCdDeEfF012345670", "", false,
       "Error in NetworkKey=[00112233445566778899aAbBcCdDeEfF012345670]\n"},
      {"NetworkKey=12g4", "", false, "Error in NetworkKey=[12g4]\n"},
      {"RptrIP=255.255.255.255", "", true, "RptrIP=[255.255.255.255]\n"},
      {"RptrIP=192.168.100.200.1", "", false, "Error in RptrIP=[192.168.100.200.1]\n"},
      {"MasterIP=1.2.3.256", "", false, "Error in MasterIP=[1.2.3.256]\n"},
      // A comment hides its whole line.
      {"MasterIP=192.0.2.3 # the master", "", false, "Configuration file invalid... (8)\n"},
      // A repeated key counts twice; a bridge ID out of range keeps the bytes before it.
      {"", "MyBridgeID=1\n", false, "MyBridgeID=[1] {00:ab:cd:ef}\nConfiguration file invalid... (10)\n"},
      {"RptrQRGrx", "RptrQRGtx=2\n", true, "RptrQRGtx=[2]\n"},
      // CR LF, unknown keys, blanks around '=', no '=' at all.
      {"RptrIP=192.0.2.4\r", "Foo=bar\nRptrPort = 2000\njust text\n", true, "RptrIP=[192.0.2.4]\n"},
      // Past 1019 characters the rest of a line is read as a line of its own.
      {"RptrQRGrx", "X=" + std::string(1017, 'a') + "RptrQRGrx=5\n", true, "RptrQRGrx=[5]\n"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(load(c.line, c.extra), c.valid ? 1 : 0) << c.line;
    EXPECT_NE(out_.find(c.printed), npos) << c.line << "\n" << out_;
    EXPECT_EQ(out_.find("Configuration file invalid... (") != npos, !c.valid) << c.line;
  }
}

}  // namespace
