// kpnox-cli's records: both forms with the list line, a file appended to under one header,
// a write that fails reported with its reason, and records read back for --resume.
#include "cli/CardList.h"
#include "cli/Records.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>
#include <set>
#include <sstream>

namespace kp::test {
namespace {

const CardRecord kOk{21, 100, "04A0B1C2D3E4F500", "ok", "2026-12-07T17:30:05Z", 2};
const CardRecord kErased{std::nullopt, std::nullopt,           "0410203040506000",
                         "ok",         "2026-12-07T17:30:06Z", 0};
const CardRecord kNoCard{std::nullopt, std::nullopt, "", "no-card", "2026-12-07T17:30:07Z", 0};
const CardRecord kUnknown{21, 101, "0477665544332200", kResultUnknown, "2026-12-07T17:30:08Z", 3};

TEST(Records, BothForms) {
  struct Row {
    bool json;
    std::string expected;
  };
  const Row rows[] = {
      {false,
       "department,index,uid,result,time,line\n"
       "21,100,04A0B1C2D3E4F500,ok,2026-12-07T17:30:05Z,2\n"
       ",,0410203040506000,ok,2026-12-07T17:30:06Z,0\n"
       ",,,no-card,2026-12-07T17:30:07Z,0\n"
       "21,101,0477665544332200,unknown,2026-12-07T17:30:08Z,3\n"},
      {true,
       "{\"department\":21,\"index\":100,\"uid\":\"04A0B1C2D3E4F500\",\"result\":\"ok\","
       "\"time\":\"2026-12-07T17:30:05Z\",\"line\":2}\n"
       "{\"department\":null,\"index\":null,\"uid\":\"0410203040506000\",\"result\":\"ok\","
       "\"time\":\"2026-12-07T17:30:06Z\",\"line\":null}\n"
       "{\"department\":null,\"index\":null,\"uid\":null,\"result\":\"no-card\","
       "\"time\":\"2026-12-07T17:30:07Z\",\"line\":null}\n"
       "{\"department\":21,\"index\":101,\"uid\":\"0477665544332200\",\"result\":\"unknown\","
       "\"time\":\"2026-12-07T17:30:08Z\",\"line\":3}\n"},
  };
  for (const Row& row : rows) {
    std::ostringstream out;
    RecordWriter writer(out, row.json);
    ASSERT_TRUE(writer.Begin());
    for (const CardRecord& record : {kOk, kErased, kNoCard, kUnknown}) {
      ASSERT_TRUE(writer.Write(record));
    }
    EXPECT_EQ(out.str(), row.expected);
    // What was written reads back as it was.
    std::string error;
    const auto back = ParseRecords(out.str(), &error);
    ASSERT_TRUE(back) << error;
    ASSERT_EQ(back->size(), 4u);
    EXPECT_EQ((*back)[0].department, 21);
    EXPECT_EQ((*back)[1].index, std::nullopt);
    EXPECT_EQ((*back)[2].uid, "");
    EXPECT_EQ((*back)[3].result, "unknown");
    EXPECT_EQ((*back)[3].line, 3);
    EXPECT_EQ((*back)[3].time, kUnknown.time);
  }
}

// A folder of the test's own under the system's temporary folder (Windows too, under Wine).
class RecordFiles : public ::testing::Test {
 protected:
  RecordFiles() {
    folder_ = std::filesystem::temp_directory_path() /
              ("kpcli-records-" + std::to_string(std::random_device{}()));
    std::filesystem::create_directories(folder_);
  }
  ~RecordFiles() override {
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }
  // The path of `name` in the folder, as UTF-8.
  std::string Path(const std::string& name) const {
    const std::u8string path = (folder_ / std::u8string(name.begin(), name.end())).u8string();
    return std::string(path.begin(), path.end());
  }
  static std::string Read(const std::string& path) {
    std::ifstream in(std::filesystem::path(std::u8string(path.begin(), path.end())),
                     std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }

  std::filesystem::path folder_;
};

TEST_F(RecordFiles, AppendedUnderOneHeader) {
  const std::string path = Path("zażółć rekordy.csv");  // a UTF-8 name, wide on Windows
  for (const CardRecord& record : {kOk, kUnknown}) {
    std::ostringstream unused;
    RecordWriter writer(unused, false);
    ASSERT_TRUE(writer.OpenFile(path)) << writer.Error();
    ASSERT_TRUE(writer.Begin());
    ASSERT_TRUE(writer.Write(record));
    EXPECT_EQ(unused.str(), "");
  }
  std::string error;
  EXPECT_EQ(OkLinesOfRecords(Read(path), &error), std::set<int>{2}) << error;
  EXPECT_EQ(Read(path).find("department", 1), std::string::npos) << Read(path);

  // Records of the other form, or after a cut-off record, would make a file no one can
  // resume from: refused, and the file left as it was.
  RecordWriter json(std::cout, true);
  EXPECT_FALSE(json.OpenFile(path));
  EXPECT_NE(json.Error().find("another form"), std::string::npos) << json.Error();
  std::ofstream(std::filesystem::path(std::u8string(path.begin(), path.end())),
                std::ios::app | std::ios::binary)
      << "21,102,04";
  const std::string cut = Read(path);
  RecordWriter csv(std::cout, false);
  EXPECT_FALSE(csv.OpenFile(path));
  EXPECT_NE(csv.Error().find("cut off"), std::string::npos) << csv.Error();
  EXPECT_EQ(Read(path), cut);

  RecordWriter nowhere(std::cout, false);
  EXPECT_FALSE(nowhere.OpenFile(Path("no folder/r.csv")));
  EXPECT_EQ(nowhere.Error(), std::strerror(ENOENT));
}

// A failed write is reported with the system's reason, and nothing is written after it.
TEST_F(RecordFiles, FailedWrites) {
  std::ostringstream out;
  RecordWriter stream(out, true);
  ASSERT_TRUE(stream.Write(kOk));
  out.setstate(std::ios::badbit);
  EXPECT_FALSE(stream.Write(kOk));
  EXPECT_FALSE(stream.Error().empty());
  out.clear();
  EXPECT_FALSE(stream.Write(kOk));

  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full here";
  RecordWriter full(std::cout, false);
  ASSERT_TRUE(full.OpenFile("/dev/full")) << full.Error();
  EXPECT_FALSE(full.Begin());  // the header
  EXPECT_EQ(full.Error(), std::strerror(ENOSPC));
  EXPECT_FALSE(full.Write(kOk));
  RecordWriter fullJson(std::cout, true);
  ASSERT_TRUE(fullJson.OpenFile("/dev/full"));
  EXPECT_TRUE(fullJson.Begin());  // nothing to write yet
  EXPECT_FALSE(fullJson.Write(kOk));
  EXPECT_EQ(fullJson.Error(), std::strerror(ENOSPC));
}

TEST(Records, ReadBack) {
  struct Row {
    const char* name;
    std::string text;
    std::set<int> okLines;
    std::string error;  // a part of the reason; empty when the text is taken
  };
  const std::string header = "department,index,uid,result,time,line\n";
  const Row rows[] = {
      {"CSV, only ok rows of list lines count",
       header + "1,2,04A0B1C2D3E4F500,ok,T,2\n1,3,0410203040506000,holds-data,T,3\n"
                ",,0410203040506000,ok,T,0\n1,3,0477665544332200,ok,T,3\n",
       {2, 3},
       ""},
      {"CSV appended by a second run, CRLF, blank lines",
       header + "1,2,04A0B1C2D3E4F500,prepared,T,5\r\n\r\n" + header +
           "1,2,0410203040506000,ok,T,5\r\n",
       {5},
       ""},
      {"JSON Lines",
       "{\"department\":1,\"index\":2,\"uid\":\"04\",\"result\":\"ok\",\"time\":\"T\",\"line\":4}\n"
       "{ \"line\" : 7 , \"result\" : \"blank\", \"department\":null, \"index\":null, "
       "\"uid\":null, \"time\":\"T\" }\n",
       {4},
       ""},
      {"empty", "", {}, ""},
      {"another header",
       "department,index,uid,result,time\n1,2,04,ok,T\n",
       {},
       "line 1: |not the records' header"},
      {"a field missing", header + "1,2,04,ok,T,2\n1,2,04,ok,T\n", {}, "line 3: |bad record"},
      {"a line that is no number", header + "1,2,04,ok,T,x\n", {}, "line 2: "},
      {"a negative line", header + "1,2,04,ok,T,-2\n", {}, "line 2: "},
      {"the last record cut off", header + "1,2,04,ok,T,2\n1,3,04,ok,T,1", {}, "line 3: |cut off"},
      {"JSON without its line",
       "{\"department\":1,\"index\":2,\"uid\":\"04\",\"result\":\"ok\",\"time\":\"T\"}\n",
       {},
       "line 1: |bad record"},
      {"JSON broken",
       "{\"department\":1,\"index\":2,\"uid\":\"04\",\"result\":\"ok\",\n",
       {},
       "line 1: "},
      {"JSON line as a string",
       "{\"department\":1,\"index\":2,\"uid\":\"04\",\"result\":\"ok\",\"time\":\"T\",\"line\":"
       "\"4\"}\n",
       {},
       "bad record"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::string error;
    const std::optional<std::set<int>> lines = OkLinesOfRecords(row.text, &error);
    if (row.error.empty()) {
      ASSERT_TRUE(lines) << error;
      EXPECT_EQ(*lines, row.okLines);
      continue;
    }
    EXPECT_FALSE(lines);
    const size_t bar = row.error.find('|');
    EXPECT_NE(error.find(row.error.substr(0, bar)), std::string::npos) << error;
    if (bar != std::string::npos) {
      EXPECT_NE(error.find(row.error.substr(bar + 1)), std::string::npos) << error;
    }
  }
}

// --resume: the rows with an ok record of the same numbers on their line are skipped; an ok
// record whose line now holds other numbers, or no row, means that the list has changed.
TEST(Records, RowsNotDone) {
  const std::vector<CardRow> rows = ParseCardList("department;index\n1;1\n1;2\n\n1;3\n").rows;
  const auto at = [](int line, int32_t index, const char* result) {
    return CardRecord{1, index, "04", result, "T", line};
  };
  RowsLeft left =
      RowsNotDone(rows, {at(2, 1, "ok"), at(3, 2, "unknown"), at(5, 3, "ok"), at(0, 2, "ok")});
  EXPECT_TRUE(left.errors.empty());
  EXPECT_EQ(left.skipped, 2u);
  ASSERT_EQ(left.rows.size(), 1u);
  EXPECT_EQ(left.rows[0].line, 3);

  left = RowsNotDone(rows, {at(2, 1, "ok"), at(3, 9, "ok"), at(4, 3, "ok")});
  ASSERT_EQ(left.errors.size(), 2u);
  EXPECT_NE(left.errors[0].find("line 3: "), std::string::npos) << left.errors[0];
  EXPECT_NE(left.errors[0].find("the list has 1;2"), std::string::npos) << left.errors[0];
  EXPECT_NE(left.errors[1].find("line 4: "), std::string::npos) << left.errors[1];
  EXPECT_NE(left.errors[1].find("no such row"), std::string::npos) << left.errors[1];
}

}  // namespace
}  // namespace kp::test
