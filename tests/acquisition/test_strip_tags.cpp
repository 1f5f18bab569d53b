#include <gtest/gtest.h>

#include "acquisition/strip_tags.h"

namespace skyloom {
namespace {

TEST(StripTags, RemovesEveryClosedTag) {
  EXPECT_EQ(StripTags(QStringLiteral("<p><b>晴</b></p>")), QStringLiteral("晴"));
}

}  // namespace
}  // namespace skyloom
