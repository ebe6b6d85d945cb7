// SPDX-License-Identifier: GPL-2.0-or-later
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "gateway/options.h"

namespace {

int parse(std::vector<const char*> args, Options& opt) {
  args.insert(args.begin(), "corvane");
  args.push_back(nullptr);
  return parse_options(static_cast<int>(args.size()) - 1, const_cast<char**>(args.data()), opt);
}

TEST(OpenMasterOption, DefaultPortGivenPortAndBadPorts) {
  Options opt;
  EXPECT_EQ(parse({}, opt), -1);
  EXPECT_EQ(opt.open_master, 0) << "the classic login without the option";
  EXPECT_EQ(parse({"--open-master"}, opt), -1);
  EXPECT_EQ(opt.open_master, 50000);
  EXPECT_EQ(parse({"--open-master=62005", "-t"}, opt), -1);
  EXPECT_EQ(opt.open_master, 62005);
  EXPECT_EQ(parse({"--open-master=65535"}, opt), -1);
  EXPECT_EQ(opt.open_master, 65535);
  for (const char* bad : {"--open-master=0", "--open-master=65536", "--open-master=", "--open-master=50000x",
                          "--open-master=-1", "--open-master=99999999999"}) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(parse({bad}, opt), 2) << bad;
    EXPECT_NE(testing::internal::GetCapturedStderr().find("Usage: corvane"), std::string::npos) << bad;
  }
}

}  // namespace
