#include "alarm_protocol.h"

#include <gtest/gtest.h>

#include <string>

namespace halvern::alarm {
namespace {

TEST(AlarmProtocolTest, EveryByteButNulSurvivesAFieldAndNoFieldHoldsASeparator) {
  std::string all;
  for (int b = 1; b < 256; ++b) all.push_back(static_cast<char>(b));
  const std::string field = Encode(all);
  for (const char c : field) {
    EXPECT_TRUE(c > ' ' && c <= '~') << static_cast<int>(static_cast<unsigned char>(c));
  }
  EXPECT_EQ(Decode(field), all);
  EXPECT_EQ(Encode("HalvernRun"), "HalvernRun");
  EXPECT_EQ(Encode("a b%\n"), "a%20b%25%0A");
  for (const char* bad : {"%", "%4", "%4g", "%0a", "%00", "a b", "\x7f", "\xc3\xa4"}) {
    EXPECT_FALSE(Decode(bad)) << bad;
  }
}

// A formatted line as the reader hands it on: without its end.
std::string_view Unended(const std::string& line) {
  EXPECT_EQ(line.back(), '\n');
  return std::string_view(line).substr(0, line.size() - 1);
}

TEST(AlarmProtocolTest, ParsesTheLinesEachSideSends) {
  const std::string bookLine = FormatBook("k e y", -50400000, "Halvern Run");
  const auto book = ParseCommand(Unended(bookLine));
  ASSERT_TRUE(book);
  EXPECT_EQ(book->kind, Command::Kind::kBook);
  EXPECT_EQ(book->key, "k e y");
  EXPECT_EQ(book->ms, -50400000);
  EXPECT_EQ(book->file, "Halvern Run");

  const std::string cancelLine = FormatCancel("k e y");
  const auto cancel = ParseCommand(Unended(cancelLine));
  ASSERT_TRUE(cancel);
  EXPECT_EQ(cancel->kind, Command::Kind::kCancel);
  EXPECT_EQ(cancel->key, "k e y");

  const std::string envLine = FormatEnv("TMPDIR=/tmp/a b=c");
  const auto env = ParseCommand(Unended(envLine));
  ASSERT_TRUE(env);
  EXPECT_EQ(env->kind, Command::Kind::kEnv);
  EXPECT_EQ(env->env, "TMPDIR=/tmp/a b=c");

  const std::string fired = FormatFired("k", 1700000000123, -2);
  const auto reply = ParseReply(Unended(fired));
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->kind, Reply::Kind::kFired);
  EXPECT_EQ(reply->key, "k");
  EXPECT_EQ(reply->ms, 1700000000123);
  EXPECT_EQ(reply->pidOrError, -2);
  EXPECT_EQ(ParseReply("refused malformed")->kind, Reply::Kind::kRefused);
  for (const char* bad : {"", "fired", "fired k 1", "fired k 1 2 3", "fired k x 2",
                          "fired k 1 99999999999", "hello"}) {
    EXPECT_FALSE(ParseReply(bad)) << bad;
  }

  EXPECT_EQ(ParseGreeting("alarm 1"), true);
  EXPECT_EQ(ParseGreeting("alarm 0"), false);
  EXPECT_EQ(ParseGreeting("alarm 0 Operation%20not%20permitted"), false);
  EXPECT_EQ(ParseGreeting("alarm 10"), std::nullopt);
  EXPECT_EQ(ParseGreeting("hello"), std::nullopt);
}

}  // namespace
}  // namespace halvern::alarm
