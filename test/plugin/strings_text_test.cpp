#include <gtest/gtest.h>
#include <glog/logging.h>

#include <mutex>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "utils/message.h"
#include "utils/strings.h"

namespace Zarnik {
namespace {

using Strings::Split;
using Pieces = std::vector<std::string>;

TEST(ReplaceAll, ReplacesLeftToRightWithoutRescanning) {
  EXPECT_EQ("b-b-b", Strings::ReplaceAll("a-a-a", "a", "b"));
  EXPECT_EQ("aa", Strings::ReplaceAll("aaaa", "aa", "a"));        // no overlap, no rescan
  EXPECT_EQ("xaay", Strings::ReplaceAll("xay", "a", "aa"));       // inserted text left alone
  EXPECT_EQ("abc", Strings::ReplaceAll("abc", "", "x"));
  EXPECT_EQ("", Strings::ReplaceAll("", "a", "b"));
  EXPECT_EQ("c", Strings::ReplaceAll("ab", "ab", "c"));
}

TEST(Base64, EncodesWithPadding) {
  std::string out = "stale";
  Strings::Base64Encode("", out);
  EXPECT_EQ("", out);
  Strings::Base64Encode("M", out);
  EXPECT_EQ("TQ==", out);
  Strings::Base64Encode("Ma", out);
  EXPECT_EQ("TWE=", out);
  Strings::Base64Encode("Man", out);
  EXPECT_EQ("TWFu", out);
  Strings::Base64Encode(std::string("\xff\xfe\x00", 3), out);
  EXPECT_EQ("//4A", out);
}

TEST(Base64, RoundTripsEveryByteValue) {
  std::string all;
  for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
  for (std::size_t length : {0u, 1u, 2u, 3u, 100u, 256u}) {
    std::string encoded, decoded;
    Strings::Base64Encode(all.substr(0, length), encoded);
    Strings::Base64Decode(encoded, decoded);
    EXPECT_EQ(all.substr(0, length), decoded) << "length " << length;
  }
}

TEST(Base64, DecoderIsLenient) {
  std::string text;
  for (int i = 0; i < 200; ++i) text += static_cast<char>(i * 7);
  std::string encoded;
  Strings::Base64Encode(text, encoded);

  // Line breaks every 76 digits, blanks, control and non-ASCII bytes are skipped.
  std::string wrapped;
  for (std::size_t i = 0; i < encoded.size(); i += 76) wrapped += encoded.substr(i, 76) + "\r\n";
  std::string decoded = "stale";
  Strings::Base64Decode(wrapped, decoded);
  EXPECT_EQ(text, decoded);
  Strings::Base64Decode(" T\tW\x01" "F\xc3u*", decoded);
  EXPECT_EQ("Man", decoded);

  // The URL-safe digits read like the standard ones.
  Strings::Base64Decode("-_-_", decoded);
  std::string standard;
  Strings::Base64Decode("+/+/", standard);
  EXPECT_EQ(standard, decoded);
  EXPECT_EQ(std::string("\xfb\xff\xbf"), decoded);
}

TEST(Base64, DecodesIncompleteAndPaddedGroups) {
  std::string out;
  Strings::Base64Decode("TQ", out);   // unpadded one byte
  EXPECT_EQ("M", out);
  Strings::Base64Decode("TWE", out);  // unpadded two bytes
  EXPECT_EQ("Ma", out);
  Strings::Base64Decode("TQ=", out);  // half-padded still one byte
  EXPECT_EQ("M", out);
  Strings::Base64Decode("TWFuT", out);  // a lone trailing digit carries no byte
  EXPECT_EQ("Man", out);
  Strings::Base64Decode("====", out);
  EXPECT_EQ("", out);
}

TEST(Quote, EscapesControlBytesAndKeepsOrHexesHighBytes) {
  const std::string text = std::string("a\0\t\n\f\r\"\\", 8) + "\x07\x0b\x1e\x1f\x7f~";
  const std::string expected_low = "a\\0\\t\\n\\f\\r\\\"\\\\\\x07\\x0b\\x1e\x1f\\x7f~";
  EXPECT_EQ("\"" + expected_low + "\"", Strings::Bquote(text));
  EXPECT_EQ("\"" + expected_low + "\"", Strings::Uquote(text));

  const std::string e_acute = "\xc3\xa9";
  EXPECT_EQ("\"\\xc3\\xa9\"", Strings::Bquote(e_acute));
  EXPECT_EQ("\"" + e_acute + "\"", Strings::Uquote(e_acute));

  EXPECT_EQ("\"\"", Strings::Bquote(""));
  EXPECT_EQ("<null>", Strings::Bquote(static_cast<const char*>(nullptr)));
  EXPECT_EQ("<null>", Strings::Uquote(static_cast<const char*>(nullptr)));
  EXPECT_EQ("\"x\"", Strings::Uquote("x"));
}

TEST(Split, RunsOfSeparatorsCountAsOne) {
  EXPECT_EQ((Pieces{"a", "b"}), Split(",a,,b;", ",;"));
  EXPECT_EQ((Pieces{"A", "B", "m"}), Split("A::B.m", ".:"));
  EXPECT_EQ((Pieces{"A", "B", "m"}), Split("::A::::B..m..", std::string(".:")));
  EXPECT_EQ((Pieces{"one"}), Split("one", ","));
  EXPECT_EQ(Pieces{}, Split("", ","));
  EXPECT_EQ(Pieces{}, Split(",,,", ","));
}

TEST(Split, EmptySeparatorsMeanWhitespace) {
  EXPECT_EQ((Pieces{"a", "b", "c", "d"}), Split(" a\tb\n\f c\r d ", ""));
  EXPECT_EQ((Pieces{"a", "b"}), Split("a b", static_cast<const char*>(nullptr)));
  EXPECT_EQ((Pieces{"a,b"}), Split("a,b", ""));
}

TEST(CaseChanges, WorkBytewiseInTheCLocale) {
  EXPECT_EQ("Hello World-X2Y", Strings::TitleCase("hello wORLD-x2y"));
  EXPECT_EQ("", Strings::TitleCase(""));
  EXPECT_EQ("A", Strings::TitleCase("a"));
  EXPECT_EQ("\xc3\xa9T\xc3\xa9", Strings::TitleCase("\xc3\xa9t\xc3\xa9"));  // bytes >127 untouched
  EXPECT_EQ("ABC-\xc3\xa9", Strings::UpperCase("aBc-\xc3\xa9"));
  EXPECT_EQ("abc-1", Strings::LowerCase("AbC-1"));
}

TEST(Trim, RemovesGivenBytesFromTheEnds) {
  EXPECT_EQ("a b", Strings::Trim("  a b\t ", " \t"));
  EXPECT_EQ("a b\t ", Strings::TrimLeft("  a b\t ", " \t"));
  EXPECT_EQ("  a b", Strings::TrimRight("  a b\t ", " \t"));
  EXPECT_EQ("", Strings::Trim("xxx", "x"));
  EXPECT_EQ("", Strings::TrimLeft("xxx", "x"));
  EXPECT_EQ(" a ", Strings::Trim(" a ", ""));
}

TEST(Str2int, FollowsTheCLibrary) {
  EXPECT_EQ(255, Strings::Str2int("ff", 16));
  EXPECT_EQ(-12, Strings::Str2int("-12abc", 10));
  EXPECT_EQ(0, Strings::Str2int("abc", 10));
  EXPECT_EQ(8, Strings::Str2int("010", 0));
  EXPECT_EQ(INT64_MAX, Strings::Str2int("99999999999999999999", 10));
  EXPECT_EQ(UINT64_MAX, Strings::Str2uint("18446744073709551615", 10));
  EXPECT_EQ(0u, Strings::Str2uint("", 10));
}

TEST(Hexdump, WritesSeparatedPairs) {
  const unsigned char bytes[] = {0x00, 0x0f, 0xa0, 0xff};
  EXPECT_EQ("00 0f a0 ff", Strings::Hexdump(bytes, sizeof(bytes)));
  EXPECT_EQ("00", Strings::Hexdump(bytes, 1));
  EXPECT_EQ("<null>", Strings::Hexdump(nullptr, 4));
  EXPECT_EQ("<empty>", Strings::Hexdump(bytes, 0));
}

TEST(RandomUuidString, HasTheShapeAndDiffersAcrossThreads) {
  const std::regex shape("[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}");
  std::mutex mutex;
  std::set<std::string> seen;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 500; ++i) {
        const std::string id = Strings::RandomUuidString();
        std::lock_guard<std::mutex> lock(mutex);
        seen.insert(id);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(2000u, seen.size());
  for (const std::string& id : seen) ASSERT_TRUE(std::regex_match(id, shape)) << id;
}

// Collects glog records so that a test can see what was logged.
class RecordSink : public google::LogSink {
 public:
  RecordSink() { google::AddLogSink(this); }
  ~RecordSink() override { google::RemoveLogSink(this); }
  void send(google::LogSeverity severity, const char*, const char*, int, const struct ::tm*,
            const char* message, size_t length) override {
    records.emplace_back(severity, std::string(message, length));
  }
  std::vector<std::pair<google::LogSeverity, std::string>> records;
};

TEST(Message, JsonRoundTripsInStyledForm) {
  Json::Value value;
  value["name"] = "Default View";
  value["size"][0] = 640;
  value["size"][1] = 480;
  const std::string text = Message::JsonToString(value);
  EXPECT_NE(std::string::npos, text.find("\n   \"name\" : \"Default View\""));
  EXPECT_EQ('\n', text.back());
  EXPECT_EQ(value, Message::StringToJson(text));
  // Comments are accepted on the way in.
  EXPECT_EQ(3, Message::StringToJson("// note\n{\"a\": 3}")["a"].asInt());
}

TEST(Message, BadTextGivesNullAndOneErrorRecord) {
  RecordSink sink;
  EXPECT_TRUE(Message::StringToJson("{\"a\": ").isNull());
  ASSERT_EQ(1u, sink.records.size());
  EXPECT_EQ(google::GLOG_ERROR, sink.records[0].first);
  EXPECT_EQ("Failed to parse string: {\"a\": ", sink.records[0].second);

  // Nesting deep enough to make the reader give up must not escape as an exception.
  const std::string deep = std::string(5000, '[') + std::string(5000, ']');
  EXPECT_TRUE(Message::StringToJson(deep).isNull());
  EXPECT_EQ(2u, sink.records.size());
}

}  // namespace
}  // namespace Zarnik
