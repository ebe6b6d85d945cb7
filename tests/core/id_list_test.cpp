// SPDX-License-Identifier: GPL-2.0-or-later
#include "core/id_list.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <string>

#include "support/console_capture.h"

namespace {

// "CALL|Name" of `id`, or "-" when the list does not know it.
std::string at(const IdList& list, uint32_t id) {
  std::string_view call = "x", name = "x";
  if (!list.find(id, &call, &name)) return "-";
  return std::string(call) + "|" + std::string(name);
}

IdListRead parse(const std::string& text) {
  IdListRead r = id_list_parse(text.data(), text.size());
  EXPECT_TRUE(r.list) << r.error;
  return r;
}

TEST(IdList, UserCsvWithHeaderQuotesBomAndCrLfOrTabForm) {
  const IdListRead r = parse(
      "\xEF\xBB\xBFRADIO_ID,CALLSIGN,FIRST_NAME,LAST_NAME,CITY,STATE,COUNTRY\r\n"
      "1023001,VE3THW,Wayne,Edward,Toronto,Ontario,Canada\r\n"
      "2621234,DL1ABC,\"Hans, Jr.\",M\xC3\xBCller,\"Berlin, Mitte\",Berlin,Germany\r\n"
      "2345678, G4XYZ ,\"Bob \"\"Rusty\"\"\",Smith,,,United Kingdom\r\n"
      "\"3100001\",\"K1AB\",\"  Ann  \"\r\n"
      "3100002,W2CD\r\n"
      "3100003,W3EF,Cy");  // no line end at the end
  EXPECT_EQ(r.list->size(), 6u);
  EXPECT_EQ(r.lines, 7u);
  EXPECT_EQ(r.skipped, 0u);
  EXPECT_EQ(at(*r.list, 1023001), "VE3THW|Wayne");
  EXPECT_EQ(at(*r.list, 2621234), "DL1ABC|Hans, Jr.");
  EXPECT_EQ(at(*r.list, 2345678), "G4XYZ|Bob \"Rusty\"");
  EXPECT_EQ(at(*r.list, 3100001), "K1AB|Ann");
  EXPECT_EQ(at(*r.list, 3100002), "W2CD|");
  EXPECT_EQ(at(*r.list, 3100003), "W3EF|Cy");

  // The header says where the columns are.
  const IdListRead moved = parse("ID;x,NAME,COUNTRY,CALLSIGN\n1234567,Hans,Germany,DL2XY\n");
  EXPECT_EQ(at(*moved.list, 1234567), "DL2XY|Hans");

  // The tab form: a comma in it is text; comments and blank lines skipped.
  const IdListRead tabs = parse(
      "# DMR IDs\n\n   \t \n1234567\tDB0ABC\tRepeater Berlin\n  # indented\n"
      "2621001\tDL5ZZ\tJohn, Paul\n2621002\tDL6YY\n");
  EXPECT_EQ(std::make_pair(tabs.list->size(), tabs.skipped), std::make_pair(size_t{3}, size_t{0}));
  EXPECT_EQ(at(*tabs.list, 1234567), "DB0ABC|Repeater Berlin");
  EXPECT_EQ(at(*tabs.list, 2621001), "DL5ZZ|John, Paul");
  EXPECT_EQ(at(*tabs.list, 2621002), "DL6YY|");
}

TEST(IdList, BadLinesAreSkippedAndCounted) {
  const std::string at_limit = "1000009,LONGLINE," + std::string(ID_LINE_MAX - 17, 'n');
  ASSERT_EQ(at_limit.size(), ID_LINE_MAX);
  const IdListRead r = parse(
      "1000001,OK1,One\n"
      "0,ZERO,x\n"
      "16777216,BIG,x\n"
      "16777215,MAX,Top\n"
      "12a4,MIX,x\n"
      "999999999999999999999,HUGE,x\n"
      "1000002\n"
      "1000004,\x01\x02,x\n"
      "1000005,ABCDEFGHIJKLMNOPQ,x\n"       // 17 bytes
      "1000006,ABCDEFGHIJKLMNOP,Sixteen\n"  // 16
      "CALL,NOTAHEADER,x\n" +
      std::string(ID_LINE_MAX + 1, 'y') + "\n" +  // over-long, with the line that follows it read
      "1000007,OK2,Two\n" + at_limit + "\n" + "1000010,LAST," + std::string(3 * ID_LINE_MAX, 'z'));
  EXPECT_EQ(r.skipped, 10u);
  EXPECT_EQ(r.list->size(), 5u);
  EXPECT_EQ(at(*r.list, 1000001), "OK1|One");
  EXPECT_EQ(at(*r.list, 16777215), "MAX|Top");
  EXPECT_EQ(at(*r.list, 1000006), "ABCDEFGHIJKLMNOP|Sixteen");
  EXPECT_EQ(at(*r.list, 1000007), "OK2|Two");
  EXPECT_EQ(at(*r.list, 1000009), "LONGLINE|" + std::string(ID_NAME_MAX, 'n'));
  EXPECT_EQ(at(*r.list, 1000010), "-");
  EXPECT_EQ(at(*r.list, 0), "-");
}

TEST(IdList, TextIsKeptAsCleanUtf8WithinBounds) {
  std::string accents;
  for (int i = 0; i < 30; ++i) accents += "\xC3\xA9";  // é, 60 bytes
  const IdListRead r = parse(
      "1,A1,Bad \xFF byte\n"
      "2,A2,Overlong \xC0\xAF slash\n"
      "4,A4,Cut \xE2\x82\n"
      "5,A5,Tab\x01"
      "and\x7F\xC2\x85"
      "controls\n"
      "6,A6,\xE2\x80\xAEReversed\xE2\x80\xA8\n"
      "8,A8,x" +
      accents +
      "\n"
      "9,\xF0\x9F\x93\xBB"
      "CALL,Radio \xF0\x9F\x93\xBB\n"
      "10,B\xFF,\xEF\xBF\xBD\n");
  const std::string fffd = "\xEF\xBF\xBD";
  EXPECT_EQ(at(*r.list, 1), "A1|Bad " + fffd + " byte");
  EXPECT_EQ(at(*r.list, 2), "A2|Overlong " + fffd + fffd + " slash");
  EXPECT_EQ(at(*r.list, 4), "A4|Cut " + fffd) << "a cut sequence is one replacement";
  EXPECT_EQ(at(*r.list, 5), "A5|Tab and  controls");
  EXPECT_EQ(at(*r.list, 6), "A6|Reversed");
  EXPECT_EQ(at(*r.list, 8), "A8|x" + accents.substr(0, 46)) << "cut at a character, not inside one";
  EXPECT_EQ(at(*r.list, 9),
            "\xF0\x9F\x93\xBB"
            "CALL|Radio \xF0\x9F\x93\xBB");
  EXPECT_EQ(at(*r.list, 10), "B" + fffd + "|" + fffd);
}

TEST(IdList, LastOfTheSameIdWinsAndLookupFindsEveryEntry) {
  std::string text;
  for (uint32_t id = 5000; id >= 1000; id -= 7)  // out of order
    text += std::to_string(id) + ",C" + std::to_string(id) + ",Name " + std::to_string(id) + "\n";
  text += "1010,NEW1,Newer\n2000,X,y\n1010,NEW2,Newest\n";  // 2000 is not in the list above
  const IdListRead r = parse(text);
  const size_t n = (5000 - 1000) / 7 + 1;
  EXPECT_EQ(r.list->size(), n + 1);
  EXPECT_EQ(r.duplicates, 2u);
  EXPECT_EQ(at(*r.list, 1010), "NEW2|Newest");
  EXPECT_EQ(at(*r.list, 2000), "X|y");
  for (uint32_t id = 990; id <= 5010; ++id) {
    const bool listed = (id >= 1000 && id <= 5000 && (5000 - id) % 7 == 0) || id == 2000;
    const std::string want = id == 1010   ? "NEW2|Newest"
                             : id == 2000 ? "X|y"
                             : listed     ? "C" + std::to_string(id) + "|Name " + std::to_string(id)
                                          : "-";
    ASSERT_EQ(at(*r.list, id), want) << id;
  }
  std::string_view call;
  EXPECT_TRUE(r.list->find(1010, &call, nullptr)) << "either text may be left out";
  EXPECT_EQ(call, "NEW2");
  EXPECT_FALSE(r.list->find(ID_MAX, nullptr, nullptr));
}

TEST(IdList, PiecesSplitAnywhereReadAsTheWhole) {
  const std::string text = "\xEF\xBB\xBFRADIO_ID,CALLSIGN,FIRST_NAME\r\n1,A,\"x, y\"\r\n" +
                           std::string(ID_LINE_MAX + 5, 'q') + "\r\n2,B,\xC3\xA9\r\n3\tC\tz";
  const IdListRead whole = parse(text);
  for (size_t step : {size_t{1}, size_t{2}, size_t{7}, size_t{1000}}) {
    IdListReader reader;
    for (size_t i = 0; i < text.size(); i += step) reader.feed(text.data() + i, std::min(step, text.size() - i));
    const IdListRead r = reader.finish();
    ASSERT_TRUE(r.list);
    EXPECT_EQ(r.list->size(), 3u);
    EXPECT_EQ(r.skipped, whole.skipped);
    for (uint32_t id : {1, 2, 3}) EXPECT_EQ(at(*r.list, id), at(*whole.list, id)) << step;
  }
  EXPECT_EQ(at(*whole.list, 1), "A|x, y");
  EXPECT_EQ(whole.skipped, 1u);
}

TEST(IdList, StorageIsSizedToItsEntries) {
  std::string text;
  const size_t n = 20000;
  for (size_t i = 0; i < n; ++i) text += std::to_string(1000000 + i) + ",DL" + std::to_string(i % 1000) + ",Fred\n";
  const IdListRead r = parse(text);
  ASSERT_EQ(r.list->size(), n);
  // 8 bytes an entry, 2 + callsign + name a record (callsigns of 3 to 5 bytes
  // here), each cut to whole pages.
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  EXPECT_LE(r.bytes, 8 * n + (2 + 5 + 4) * n + 2 * page);
  EXPECT_GE(r.bytes, 8 * n + (2 + 3 + 4) * n);
}

class IdListLoad : public ::testing::Test {
 protected:
  void SetUp() override { reset_id_list(); }
  void TearDown() override {
    std::remove(path_.c_str());
    reset_id_list();
  }
  void write(const std::string& text) { std::ofstream(path_, std::ios::binary) << text; }
  std::string path_ = "/tmp/corvane-ids-" + std::to_string(getpid());
};

TEST_F(IdListLoad, ALoadThatFailsKeepsTheListBefore) {
  ConsoleCapture cap;
  id_list_load(path_.c_str());  // nothing there yet
  EXPECT_NE(cap.str().find(" ID list " + path_ + " not read: No such file or directory; keeping 0 entries\n"),
            std::string::npos)
      << cap.str();
  EXPECT_EQ(id_list_current()->size(), 0u);

  write("# ids\n1,A,a\n2,B,b\nbad\n2,BB,bb\n");
  cap.clear();
  id_list_load(path_.c_str());
  EXPECT_NE(cap.str().find(" ID list: 2 entries from " + path_ + " (1 lines skipped, 1 duplicate IDs)\n"),
            std::string::npos)
      << cap.str();
  const auto held = id_list_current();
  EXPECT_EQ(at(*held, 2), "BB|bb");

  std::remove(path_.c_str());
  cap.clear();
  id_list_load(path_.c_str());
  EXPECT_NE(cap.str().find("not read: No such file or directory; keeping 2 entries\n"), std::string::npos);
  EXPECT_EQ(id_list_current(), held);

  write("<html>404 Not Found</html>\nnot an id list\n");  // a failed download
  cap.clear();
  id_list_load(path_.c_str());
  EXPECT_NE(cap.str().find("not read: no entries (1 lines skipped); keeping 2 entries\n"), std::string::npos)
      << cap.str();
  EXPECT_EQ(id_list_current(), held);

  cap.clear();
  id_list_load("/tmp");
  EXPECT_NE(cap.str().find("ID list /tmp not read: not a regular file; keeping 2 entries\n"), std::string::npos);

  write("3,C,c\n");
  id_list_load(path_.c_str());
  EXPECT_EQ(id_list_current()->size(), 1u);
  EXPECT_EQ(at(*held, 1), "A|a") << "a reader keeps the list it took";
  EXPECT_EQ(id_list_loads(), 6u);
  reset_id_list();
  EXPECT_EQ(id_list_current()->size(), 0u);
  EXPECT_EQ(id_list_loads(), 0u);
}

TEST_F(IdListLoad, AFileWrittenWhileReadIsRefused) {
  write("1,A,a\n");
  id_list_load(path_.c_str());
  std::string big;
  for (int i = 2; i < 200000; ++i) big += std::to_string(i) + ",DL" + std::to_string(i) + ",name\n";
  write(big);
  std::atomic<bool> go{false}, done{false};
  std::thread writer([&] {
    std::ofstream f(path_, std::ios::binary | std::ios::app);
    for (int i = 0; !done; ++i) (f << "16000000,X,x\n").flush(), go = true;
  });
  while (!go) std::this_thread::yield();
  ConsoleCapture cap;
  id_list_load(path_.c_str());  // appended to all the time it reads
  done = true;
  writer.join();
  EXPECT_NE(cap.str().find("not read: it changed while it was read; keeping 1 entries\n"), std::string::npos)
      << cap.str();
  EXPECT_EQ(id_list_current()->size(), 1u);
}

}  // namespace
