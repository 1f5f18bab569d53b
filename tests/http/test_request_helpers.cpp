#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "http/conditional_get.h"
#include "http/query.h"

namespace skyloom {
namespace {

// Which tags a request's If-None-Match lines match, of "1", "2" and "3" in turn.
TEST(IfNoneMatch, MatchesListsWeakTagsAndAny) {
  const struct {
    std::vector<std::string> lines;
    std::string matched;
  } cases[] = {
      {{}, "---"},
      {{"\"2\""}, "-2-"},
      {{"W/\"2\""}, "-2-"},
      {{" \"1\" ,\tW/\"3\" "}, "1-3"},
      {{"\"1\"", "\"3\""}, "1-3"},
      {{"*"}, "123"},
      {{"\"2\", *"}, "123"},
      {{"2"}, "---"},           // unquoted: no tag at all
      {{"W/ \"2\""}, "---"},    // W/ belongs to its tag
      {{"\"2\"\"3\""}, "---"},  // two tags need a comma
      {{",,"}, "---"},
  };
  for (const auto& c : cases) {
    std::vector<HttpHeader> headers{{"Accept", "\"1\""}};
    for (const std::string& line : c.lines) headers.push_back({"if-none-MATCH", line});
    const IfNoneMatch condition(headers);
    std::string matched;
    for (const char* tag : {"\"1\"", "\"2\"", "\"3\""}) {
      matched += condition.Matches(tag) ? tag[1] : '-';
    }
    EXPECT_EQ(matched, c.matched) << testing::PrintToString(c.lines);
  }
}

TEST(Tagged, AnUnchangedAnswerIsA304WithItsTagAndNoBody) {
  const ServerAnswer fresh = Tagged(ServerAnswer{200, {}, "text/plain", "body"}, "\"7\"", false);
  const ServerAnswer same = Tagged(ServerAnswer{200, {}, "text/plain", "body"}, "\"7\"", true);
  EXPECT_EQ(fresh.status, 200);
  EXPECT_EQ(fresh.body, "body");
  EXPECT_EQ(same.status, 304);
  EXPECT_EQ(same.body, "");
  for (const ServerAnswer& answer : {fresh, same}) {
    ASSERT_EQ(answer.headers.size(), 1u);
    EXPECT_EQ(answer.headers[0].first, "ETag");
    EXPECT_EQ(answer.headers[0].second, "\"7\"");
  }
}

// The values read for limit (1 to 1000, default 20) and after, or the error's first words.
TEST(ReadQuery, ReadsEveryParameterOrRefusesTheQuery) {
  const struct {
    const char* query;
    std::string read;
  } cases[] = {
      {"", "20 -"},
      {"limit=5", "5 -"},
      {"after=0&limit=1000", "1000 0"},
      {"l%69mit=0%37", "7 -"},
      {"after=9223372036854775807", "20 9223372036854775807"},
      {"after=9223372036854775808", "\"after\" must be"},
      {"limit=0", "\"limit\" must be"},
      {"limit=1001", "\"limit\" must be"},
      {"limit=+5", "\"limit\" must be"},
      {"limit= 5", "\"limit\" must be"},
      {"limit=", "\"limit\" must be"},
      {"limit=5&limit=5", "\"limit\" is given"},
      {"limit", "each query"},
      {"limit=5&", "each query"},
      {"limit=5=5", "each query"},
      {"limit=%4", "the query holds"},
      {"limit=%g1", "the query holds"},
      {"Limit=5", "unknown query parameter \"Limit\""},
      {"x%00=1", "unknown query"},
  };
  for (const auto& c : cases) {
    QueryParameter parameters[] = {{"limit", 1, 1000, 20},
                                   {"after", 0, std::numeric_limits<qint64>::max(), 0}};
    const std::optional<QString> error = ReadQuery(c.query, parameters);
    const std::string read =
        error ? error->toStdString()
              : std::to_string(parameters[0].value) + ' ' +
                    (parameters[1].Given() ? std::to_string(*parameters[1].Given()) : "-");
    EXPECT_TRUE(read.starts_with(c.read)) << c.query << " read as " << read;
  }
}

}  // namespace
}  // namespace skyloom
