// The Ruby bridge against a real interpreter embedded in the test binary, and the debug log
// that the bridge reports into.

#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "application/logger.h"
#include "application/ruby_bridge.h"
#include "utils/strings.h"

namespace Zarnik {
namespace {

using StringMap = std::map<std::string, std::string>;

// Starts Ruby once for the whole binary, and points HOME at a throw-away folder so that
// the debug log of the tests never lands in the real home.
class RubyEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    char pattern[] = "/tmp/zarniksu-unit-home.XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(pattern));
    home_ = pattern;
    setenv("HOME", home_.c_str(), 1);
    const std::string root = home_ + "/Documents/Zarnik";
    Strings::MakeFolder(root, true);
    Strings::MakeFolder(root + "/SketchUp", false);
    Strings::MakeFolder(root + "/SketchUp/logs", false);

    RUBY_INIT_STACK;
    ASSERT_EQ(0, ruby_setup());
    // Option processing loads the core methods written in Ruby itself (Kernel#class and
    // others), which a bare set-up leaves out; the empty script it compiles is not run.
    char program[] = "ruby", no_gems[] = "--disable-gems", script_flag[] = "-e", script[] = "";
    char* argv[] = {program, no_gems, script_flag, script};
    ruby_options(4, argv);
  }
  void TearDown() override { std::system(("rm -rf '" + home_ + "'").c_str()); }

 private:
  std::string home_;
};

::testing::Environment* const ruby_environment =
    ::testing::AddGlobalTestEnvironment(new RubyEnvironment);

VALUE Eval(const std::string& code) {
  int state = 0;
  const VALUE result = rb_eval_string_protect(code.c_str(), &state);
  if (state != 0) {
    rb_set_errinfo(Qnil);
    ADD_FAILURE() << "Ruby code raised: " << code;
    return Qnil;
  }
  return result;
}

std::vector<std::string> DebugLines() {
  std::vector<std::string> lines;
  std::ifstream file(Logger::DebugLogPath());
  for (std::string line; std::getline(file, line);) lines.push_back(line);
  return lines;
}

// The message part of the debug log's lines written since `from`.
std::vector<std::string> DebugMessagesSince(std::size_t from) {
  static const std::regex line_shape(
      R"(P[0-9a-f]{8,} T[0-9a-f]{16,} \d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} (.*))");
  std::vector<std::string> messages;
  const std::vector<std::string> lines = DebugLines();
  for (std::size_t i = from; i < lines.size(); ++i) {
    std::smatch match;
    messages.push_back(std::regex_match(lines[i], match, line_shape) ? match[1].str()
                                                                      : "<malformed> " + lines[i]);
  }
  return messages;
}

// ---- Converters ----------------------------------------------------------------------

TEST(RubyConvert, IntegersFallBackOutsideTheirRange) {
  using Ruby::Convert;
  EXPECT_EQ(-7, Convert<int>::from_ruby(Eval("2**31"), -7));
  EXPECT_EQ(INT_MIN, Convert<int>::from_ruby(Eval("-2**31"), -7));
  EXPECT_EQ(77u, Convert<unsigned int>::from_ruby(Eval("-1"), 77u));
  EXPECT_EQ(9, Convert<unsigned char>::from_ruby(Eval("256"), 9));
  EXPECT_EQ(-128, Convert<char>::from_ruby(Eval("-128"), 'x'));
  EXPECT_EQ('x', Convert<char>::from_ruby(Eval("128"), 'x'));
  EXPECT_EQ(1, Convert<short>::from_ruby(Eval("32768"), 1));
  EXPECT_EQ(ULONG_MAX, Convert<unsigned long>::from_ruby(Eval("-1"), 0));  // wraps
  EXPECT_EQ(ULLONG_MAX, Convert<unsigned long long>::from_ruby(Eval("2**64 - 1"), 0));
  EXPECT_EQ(0.1f, Convert<float>::from_ruby(Eval("0.1"), 0.0f));
}

TEST(RubyConvert, FailedConversionsLogAndFallBack) {
  using Ruby::Convert;
  const std::size_t before = DebugLines().size();
  // A failed read through long gives 0, not the caller's fallback.
  EXPECT_EQ(0, Convert<int>::from_ruby(Eval("'12'"), 5));
  EXPECT_EQ(-3L, Convert<long>::from_ruby(Eval("2**64"), -3L));
  EXPECT_EQ(4.5, Convert<double>::from_ruby(Qnil, 4.5));
  EXPECT_EQ((std::vector<std::string>{"Ruby exception [protect_call]:  TypeError",
                                      "Ruby exception [protect_call]:  RangeError",
                                      "Ruby exception [protect_call]:  TypeError"}),
            DebugMessagesSince(before));
}

TEST(RubyConvert, BoolJudgesByKind) {
  using Ruby::Convert;
  for (const char* code : {"true", "'false'", "-1", "2**40", "0.5", ":a", "[0]", "{a: nil}"})
    EXPECT_TRUE(Convert<bool>::from_ruby(Eval(code), false)) << code;
  for (const char* code : {"false", "nil", "0", "0.0", "''", "[]", "{}", "2**70"})
    EXPECT_FALSE(Convert<bool>::from_ruby(Eval(code), true)) << code;
  EXPECT_TRUE(Convert<bool>::from_ruby(Eval("Object.new"), true));
  EXPECT_FALSE(Convert<bool>::from_ruby(Eval("Object.new"), false));
}

TEST(RubyConvert, StringsAndHashesKeepTheirBytes) {
  using Ruby::Convert;
  EXPECT_EQ(std::string("a\0b", 3), Convert<std::string>::from_ruby(Eval("\"a\\0b\""), ""));
  EXPECT_EQ("name", Convert<std::string>::from_ruby(Eval(":name"), ""));
  EXPECT_EQ("fb", Convert<std::string>::from_ruby(Eval("12"), "fb"));
  const VALUE text = Convert<std::string>::to_ruby(std::string("\xc3\xa9\0z", 4));
  EXPECT_EQ(Qtrue, rb_funcall(text, rb_intern("=="), 1, Eval("\"\\u00e9\\0z\"")));

  const StringMap fallback{{"fallback", "1"}};
  EXPECT_EQ((StringMap{{"a", "1"}, {"b", "sym"}, {"", "n"}}),
            Convert<StringMap>::from_ruby(Eval("{ a: '1', 'a' => '2', 'b' => :sym, 3 => 'n' }"),
                                          fallback));
  EXPECT_EQ(fallback, Convert<StringMap>::from_ruby(Eval("[['a', 'b']]"), fallback));
}

// ---- Protected calls -----------------------------------------------------------------

TEST(RubyProtectCall, CatchesEveryKindOfErrorAndLogsIt) {
  const std::size_t before = DebugLines().size();
  EXPECT_TRUE(Ruby::protect_call([] { Eval("1 + 1"); }, nullptr));

  VALUE seen = Qnil;
  EXPECT_FALSE(Ruby::protect_call([] { rb_raise(rb_eArgError, "bad"); },
                                  [&](VALUE exception) { seen = exception; }));
  EXPECT_EQ(Qtrue, rb_obj_is_kind_of(seen, rb_eArgError));

  // Not only StandardError: nothing may unwind past the bridge.
  EXPECT_FALSE(Ruby::protect_call([] { rb_raise(rb_eInterrupt, "stop"); }, nullptr));
  EXPECT_FALSE(Ruby::protect_call([] { rb_eval_string("throw :outer"); }, nullptr));
  // A C++ exception stops at the bridge as well.
  EXPECT_FALSE(Ruby::protect_call([] { throw std::runtime_error("boom"); }, nullptr));
  // A failing rescue handler changes nothing.
  EXPECT_FALSE(Ruby::protect_call([] { rb_raise(rb_eTypeError, "t"); },
                                  [](VALUE) { rb_raise(rb_eRuntimeError, "again"); }));

  EXPECT_EQ((std::vector<std::string>{"Ruby exception [protect_call]:  ArgumentError",
                                      "Ruby exception [protect_call]:  Interrupt",
                                      "Ruby exception [protect_call]:  UncaughtThrowError",
                                      "C++ exception [protect_call]:  boom",
                                      "Ruby exception [protect_call]:  TypeError"}),
            DebugMessagesSince(before));
  EXPECT_EQ(Qnil, rb_errinfo());
}

class RubyCallClassMethod : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    Eval(R"(
      module BridgePlugin
        NOT_A_CLASS = 5
        class Settings
          def self.update_environment(values)
            values.merge("encoding" => values.keys.first.encoding.name, "class" => values.class.name)
          end
          def self.answer_text(_values) = "not a hash"
          def self.fail(_values) = raise(IOError, "no")
        end
      end
      def Object.bridge_echo(values) = values
    )");
  }
};

TEST_F(RubyCallClassMethod, CallsThroughThePathWithAHashOfStrings) {
  StringMap result{{"stale", "x"}};
  EXPECT_TRUE(Ruby::call_class_method("BridgePlugin::Settings.update_environment", result,
                                      StringMap{{"sun", "1"}}));
  EXPECT_EQ((StringMap{{"sun", "1"}, {"encoding", "UTF-8"}, {"class", "Hash"}}), result);

  for (const char* path : {"BridgePlugin::::Settings..update_environment",
                           ":BridgePlugin.Settings:update_environment."}) {
    result.clear();
    EXPECT_TRUE(Ruby::call_class_method(path, result, StringMap{{"k", "v"}})) << path;
    EXPECT_EQ("v", result["k"]) << path;
  }

  // One piece names a method of Object itself.
  EXPECT_TRUE(Ruby::call_class_method("bridge_echo", result, StringMap{{"a", "b"}}));
  EXPECT_EQ((StringMap{{"a", "b"}}), result);
}

TEST_F(RubyCallClassMethod, FailuresAnswerFalseWithAnEmptyResult) {
  const std::size_t before = DebugLines().size();
  const char* failing[] = {
      "Missing::Settings.update_environment",      // first constant missing
      "BridgePlugin::Missing.update_environment",  // inner constant missing
      "BridgePlugin::NOT_A_CLASS::X.m",            // a constant that is not a namespace
      "BridgePlugin::lower.m",                     // not a constant name at all
      "BridgePlugin::Settings.no_such_method",
      "BridgePlugin::Settings.fail",
  };
  for (const char* path : failing) {
    StringMap result{{"stale", "x"}};
    EXPECT_FALSE(Ruby::call_class_method(path, result, StringMap{{"k", "v"}})) << path;
    EXPECT_TRUE(result.empty()) << path;
  }
  EXPECT_EQ((std::vector<std::string>{
                "Ruby constant missing [call_class_method]: Missing",
                "Ruby constant missing [call_class_method]: BridgePlugin::Missing",
                "Ruby constant missing [call_class_method]: BridgePlugin::NOT_A_CLASS::X",
                "Ruby constant missing [call_class_method]: BridgePlugin::lower",
                "Ruby exception [protect_call]:  NoMethodError",
                "Ruby exception [protect_call]:  IOError"}),
            DebugMessagesSince(before));

  // A call that succeeds but answers no Hash leaves an empty map.
  StringMap result{{"stale", "x"}};
  EXPECT_TRUE(Ruby::call_class_method("BridgePlugin::Settings.answer_text", result, StringMap{}));
  EXPECT_TRUE(result.empty());

  // Without any piece nothing is called and the result stays as it was.
  for (const char* path : {"", ".::."}) {
    result = {{"kept", "1"}};
    EXPECT_FALSE(Ruby::call_class_method(path, result, StringMap{}));
    EXPECT_EQ((StringMap{{"kept", "1"}}), result);
  }
}

// ---- Debug log -----------------------------------------------------------------------

TEST(DebugLog, JoinsArgumentsAndNeverInterleavesLines) {
  const std::size_t before = DebugLines().size();
  DebugLog("Destroying", 42, std::string("item"));
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 100; ++i) DebugLog("thread", t, "line", i, std::string(200, 'x'));
    });
  }
  for (std::thread& thread : threads) thread.join();

  const std::vector<std::string> written = DebugMessagesSince(before);
  ASSERT_EQ(401u, written.size());
  EXPECT_EQ("Destroying 42 item", written[0]);
  for (std::size_t i = 1; i < written.size(); ++i) {
    ASSERT_TRUE(std::regex_match(written[i], std::regex("thread [0-3] line \\d+ x{200}")))
        << written[i];
  }
}

}  // namespace
}  // namespace Zarnik
