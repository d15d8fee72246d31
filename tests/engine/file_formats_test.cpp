// The readers and writers under the export, import and log files: UTF-8,
// JSON and CSV, each against a table of sound and hostile inputs.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "csv.h"
#include "json.h"
#include "utf8.h"

namespace halvern {
namespace {

TEST(Utf8Test, AcceptsWellFormedAndPointsAtTheFirstBadByte) {
  struct Case {
    std::string bytes;
    bool valid;
    std::size_t badOffset;
  };
  const std::vector<Case> cases = {
      {"plain ascii", true, 0},
      {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", true, 0},  // é € 😀
      {"ab\xC3", false, 2},                                    // cut short
      {"ab\xC0\xAF", false, 2},                                // overlong '/'
      {"\xE0\x80\xAF", false, 0},                              // overlong, three bytes
      {"x\xED\xA0\x80", false, 1},                             // a surrogate
      {"\xF4\x90\x80\x80", false, 0},                          // past U+10FFFF
      {"ok\x80", false, 2},                                    // lone continuation
      {"\xFF\xFE", false, 0},
      {"\xE2\x82x", false, 0},  // continuation missing
  };
  for (const Case& c : cases) {
    std::size_t bad = 99;
    EXPECT_EQ(IsValidUtf8(c.bytes, &bad), c.valid) << c.bytes;
    if (!c.valid) {
      EXPECT_EQ(bad, c.badOffset) << c.bytes;
    }
  }
}

TEST(Utf8Test, ConvertsBothWaysWithPairsAndReplacesWhatCannotBeEncoded) {
  const std::string text = "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z";
  const std::u16string wide = Utf8ToUtf16(text);
  EXPECT_EQ(wide, (std::u16string{u'A', 0xE9, 0x20AC, 0xD83D, 0xDE00, u'z'}));
  EXPECT_EQ(Utf16ToUtf8(wide), text);
  // An unpaired surrogate cannot be written as UTF-8.
  EXPECT_EQ(Utf16ToUtf8(std::u16string{u'a', 0xD800, u'b'}),
            "a\xEF\xBF\xBD"
            "b");
  EXPECT_EQ(Utf8ToUtf16("a\xFF"
                        "b"),
            (std::u16string{u'a', 0xFFFD, u'b'}));
}

TEST(JsonTest, ReadsEveryKindOfValue) {
  json::ParseError error;
  const auto value = json::Parse(
      R"( {"s": "a\"b\\c\/\n\u00e9\ud83d\ude00", "i": -42, "big": 4294967295, "f": 1.5e2,
          "t": true, "n": null, "a": [1, [], {}], "e": {}} )",
      error);
  ASSERT_TRUE(value) << error.what;
  EXPECT_EQ(value->Find("s")->text, "a\"b\\c/\n\xC3\xA9\xF0\x9F\x98\x80");
  EXPECT_TRUE(value->Find("i")->isInteger);
  EXPECT_EQ(value->Find("i")->integer, -42);
  EXPECT_EQ(value->Find("big")->integer, 4294967295LL);
  EXPECT_FALSE(value->Find("f")->isInteger);
  EXPECT_EQ(value->Find("f")->number, 150.0);
  EXPECT_TRUE(value->Find("t")->boolean);
  EXPECT_EQ(value->Find("n")->kind, json::Value::Kind::kNull);
  EXPECT_EQ(value->Find("a")->items.size(), 3u);
  EXPECT_EQ(value->Find("missing"), nullptr);
  // Too large for 64 bits: a number, not an integer.
  EXPECT_FALSE(json::Parse("99999999999999999999", error)->isInteger);
}

TEST(JsonTest, RefusesMalformedTextAndSaysWhere) {
  struct Case {
    std::string text;
    std::size_t line;
    std::size_t column;
  };
  const std::vector<Case> cases = {
      {"", 1, 1},
      {"{\"a\": 1,}", 1, 9},
      {"{\"a\" 1}", 1, 6},
      {"[1, 2", 1, 6},
      {"{\n  \"a\": tru\n}", 2, 8},
      {"{\"a\": \"x\ny\"}", 1, 9},  // raw line break inside quotes
      {"\"\\q\"", 1, 3},            // unknown escape
      {"\"\\ud800\"", 1, 8},        // high surrogate alone
      {"\"\\udc00\"", 1, 8},        // low surrogate alone
      {"\"\\u12\"", 1, 4},          // short escape
      {"01", 1, 2},                 // text after the value
      {"-", 1, 2},
      {"1.", 1, 3},
      {"{\"a\":1, \"a\":2}", 1, 9},  // a name twice
      {"{} {}", 1, 4},
      {"'single'", 1, 1},
  };
  for (const Case& c : cases) {
    json::ParseError error;
    EXPECT_FALSE(json::Parse(c.text, error)) << c.text;
    EXPECT_FALSE(error.what.empty()) << c.text;
    EXPECT_EQ(error.line, c.line) << c.text << ": " << error.what;
    EXPECT_EQ(error.column, c.column) << c.text << ": " << error.what;
  }
}

TEST(JsonTest, DeepNestingIsRefusedNotFollowed) {
  json::ParseError error;
  const std::string ok = std::string(json::kMaxDepth, '[') + std::string(json::kMaxDepth, ']');
  EXPECT_TRUE(json::Parse(ok, error)) << error.what;
  // Far deeper than any stack would take if it were followed.
  const std::string deep = std::string(1000000, '[');
  EXPECT_FALSE(json::Parse(deep, error));
  EXPECT_EQ(error.what, "the data is nested too deeply");
}

TEST(JsonTest, QuoteWritesWhatParseReadsBack) {
  for (const std::string& text :
       {std::string("plain"), std::string("q\"b\\s/\n\r\t"), std::string("\x01\x1F\x7F"),
        std::string("caf\xC3\xA9 \xF0\x9F\x98\x80")}) {
    json::ParseError error;
    const auto value = json::Parse(json::Quote(text), error);
    ASSERT_TRUE(value) << error.what;
    EXPECT_EQ(value->text, text);
  }
  EXPECT_EQ(json::Quote("a\x01"), "\"a\\u0001\"");
}

std::vector<std::vector<std::string>> Fields(const std::vector<csv::Record>& records) {
  std::vector<std::vector<std::string>> out;
  for (const auto& r : records) out.push_back(r.fields);
  return out;
}

TEST(CsvTest, ReadsQuotesSeparatorsAndLineBreaksInsideFields) {
  struct Case {
    std::string text;
    char separator;
    std::vector<std::vector<std::string>> fields;
    std::vector<std::size_t> lines;
  };
  const std::vector<Case> cases = {
      {"a,b\r\nc,d\r\n", ',', {{"a", "b"}, {"c", "d"}}, {1, 2}},
      {"a,b\nc,d", ',', {{"a", "b"}, {"c", "d"}}, {1, 2}},
      {"a,b\rc,d\r", ',', {{"a", "b"}, {"c", "d"}}, {1, 2}},
      {"\"x, y\",\"say \"\"hi\"\"\"\n", ',', {{"x, y", "say \"hi\""}}, {1}},
      {"\"two\r\nlines\",z\nnext,1\n", ',', {{"two\nlines", "z"}, {"next", "1"}}, {1, 3}},
      {"a,,\n\n\nb\n", ',', {{"a", "", ""}, {"b"}}, {1, 4}},
      {"\"\",x\n", ',', {{"", "x"}}, {1}},
      {"a;b\n1;\"2;3\"\n", ';', {{"a", "b"}, {"1", "2;3"}}, {1, 2}},
      {"un\"quoted\",x\n", ',', {{"un\"quoted\"", "x"}}, {1}},
  };
  for (const Case& c : cases) {
    csv::Error error;
    const auto records = csv::Parse(c.text, c.separator, error);
    ASSERT_TRUE(records) << c.text << ": " << error.what;
    EXPECT_EQ(Fields(*records), c.fields) << c.text;
    std::vector<std::size_t> lines;
    for (const auto& r : *records) lines.push_back(r.line);
    EXPECT_EQ(lines, c.lines) << c.text;
  }
}

TEST(CsvTest, RefusesAnOpenQuoteAndTextAfterAClosingQuote) {
  csv::Error error;
  EXPECT_FALSE(csv::Parse("a,b\n1,\"never\nclosed\n", ',', error));
  EXPECT_EQ(error.line, 2u);
  EXPECT_EQ(error.what, "a field in quotes is not closed");
  EXPECT_FALSE(csv::Parse("a\n\"x\"y,z\n", ',', error));
  EXPECT_EQ(error.line, 2u);
}

TEST(CsvTest, GuessesTheSeparatorFromTheHeader) {
  EXPECT_EQ(csv::GuessSeparator("URL,Name;x"), ',');
  EXPECT_EQ(csv::GuessSeparator("URL;Name"), ';');
  EXPECT_EQ(csv::GuessSeparator("URL\tName"), '\t');
  EXPECT_EQ(csv::GuessSeparator("\"a,b\";c"), ';');  // the comma is inside quotes
  EXPECT_EQ(csv::GuessSeparator("URL\nx;y"), ',');   // only the first line counts
}

TEST(CsvTest, WritesFieldsThatReadBackTheSame) {
  const std::vector<std::string> fields = {"plain", "a,b", "say \"hi\"", "two\nlines", "", "é"};
  const std::string line = csv::Line(fields);
  EXPECT_EQ(line, "plain,\"a,b\",\"say \"\"hi\"\"\",\"two\nlines\",,é\r\n");
  csv::Error error;
  const auto records = csv::Parse(line, ',', error);
  ASSERT_TRUE(records);
  ASSERT_EQ(records->size(), 1u);
  EXPECT_EQ(records->front().fields, fields);
}

}  // namespace
}  // namespace halvern
