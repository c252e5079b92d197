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

using Pieces = std::vector<std::string>;

std::string Decoded(const std::string& text) {
  std::string out = "stale";
  Strings::Base64Decode(text, out);
  return out;
}

TEST(Base64, RoundTripsAndPadsEveryLength) {
  std::string all;
  for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
  for (std::size_t length : {0u, 1u, 2u, 3u, 256u}) {
    std::string encoded = "stale";
    Strings::Base64Encode(all.substr(0, length), encoded);
    EXPECT_EQ((length + 2) / 3 * 4, encoded.size());
    EXPECT_EQ(all.substr(0, length), Decoded(encoded)) << "length " << length;
  }
  std::string encoded;
  Strings::Base64Encode("M", encoded);
  EXPECT_EQ("TQ==", encoded);
  Strings::Base64Encode("Ma", encoded);
  EXPECT_EQ("TWE=", encoded);
}

TEST(Base64, DecoderSkipsNoiseAndReadsUrlSafeDigits) {
  std::string text(200, '\0');
  for (int i = 0; i < 200; ++i) text[i] = static_cast<char>(i * 7);
  std::string encoded, wrapped;
  Strings::Base64Encode(text, encoded);
  for (std::size_t i = 0; i < encoded.size(); i += 76) wrapped += encoded.substr(i, 76) + "\r\n";
  EXPECT_EQ(text, Decoded(wrapped));
  EXPECT_EQ("Man", Decoded(" T\tW\x01" "F\xc3u*"));
  EXPECT_EQ(Decoded("+/+/"), Decoded("-_-_"));
  // Unpadded endings stand for one or two bytes; a lone digit carries none.
  EXPECT_EQ("M", Decoded("TQ"));
  EXPECT_EQ("Ma", Decoded("TWE"));
  EXPECT_EQ("M", Decoded("TQ="));
  EXPECT_EQ("Man", Decoded("TWFuT"));
}

TEST(Quote, EscapesControlBytesAndKeepsOrHexesHighBytes) {
  const std::string text = std::string("a\0\t\n\f\r\"\\", 8) + "\x07\x0b\x1f\x7f";
  const std::string escaped = "\"a\\0\\t\\n\\f\\r\\\"\\\\\\x07\\x0b\x1f\\x7f\"";
  EXPECT_EQ(escaped, Strings::Bquote(text));
  EXPECT_EQ(escaped, Strings::Uquote(text));
  EXPECT_EQ("\"\\xc3\\xa9\"", Strings::Bquote("\xc3\xa9"));
  EXPECT_EQ("\"\xc3\xa9\"", Strings::Uquote("\xc3\xa9"));
  EXPECT_EQ("\"\"", Strings::Bquote(""));
  EXPECT_EQ("<null>", Strings::Uquote(static_cast<const char*>(nullptr)));
}

TEST(Split, RunsOfSeparatorsCountAsOne) {
  EXPECT_EQ((Pieces{"a", "b"}), Strings::Split(",a,,b;", ",;"));
  EXPECT_EQ((Pieces{"A", "B", "m"}), Strings::Split("::A::::B..m..", ".:"));
  EXPECT_EQ((Pieces{"a", "b", "c"}), Strings::Split(" a\tb\n\f\r c ", ""));
  EXPECT_EQ(Pieces{}, Strings::Split(",,,", ","));
  EXPECT_EQ(Pieces{}, Strings::Split("", ","));
}

TEST(TextHelpers, CaseTrimReplaceAndHexdump) {
  EXPECT_EQ("Hello World-X2Y", Strings::TitleCase("hello wORLD-x2y"));
  EXPECT_EQ("\xc3\xa9T", Strings::TitleCase("\xc3\xa9t"));  // only ASCII letters change
  EXPECT_EQ("ABC-\xc3\xa9", Strings::UpperCase("aBc-\xc3\xa9"));
  EXPECT_EQ("a b", Strings::Trim("  a b\t ", " \t"));
  EXPECT_EQ("", Strings::TrimLeft("xxx", "x"));
  EXPECT_EQ("aa", Strings::ReplaceAll("aaaa", "aa", "a"));  // no overlap, no rescan
  EXPECT_EQ("xaay", Strings::ReplaceAll("xay", "a", "aa"));
  const unsigned char bytes[] = {0x00, 0x0f, 0xff};
  EXPECT_EQ("00 0f ff", Strings::Hexdump(bytes, sizeof(bytes)));
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

TEST(Message, RoundTripsAndRejectsBadTextWithOneRecord) {
  Json::Value value;
  value["name"] = "Default View";
  value["size"][0] = 640;
  value["size"][1] = 480;
  const std::string text = Message::JsonToString(value);
  EXPECT_NE(std::string::npos, text.find("\n   \"name\" : \"Default View\""));
  EXPECT_EQ(value, Message::StringToJson(text));
  EXPECT_EQ(3, Message::StringToJson("// note\n{\"a\": 3}")["a"].asInt());

  RecordSink sink;
  EXPECT_TRUE(Message::StringToJson("{\"a\": ").isNull());
  // Nesting deep enough to make the reader give up must not escape as an exception.
  EXPECT_TRUE(Message::StringToJson(std::string(1100, '[') + std::string(1100, ']')).isNull());
  ASSERT_EQ(2u, sink.records.size());
  EXPECT_EQ(google::GLOG_ERROR, sink.records[0].first);
  EXPECT_EQ("Failed to parse string: {\"a\": ", sink.records[0].second);
}

}  // namespace
}  // namespace Zarnik
