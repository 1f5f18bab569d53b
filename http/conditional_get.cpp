#include "http/conditional_get.h"

#include <algorithm>

#include "http/header_fields.h"

namespace skyloom {

IfNoneMatch::IfNoneMatch(std::span<const HttpHeader> headers) {
  for (const std::string_view line : HeaderValues(headers, "If-None-Match")) {
    for (std::string_view item : ListItems(line)) {
      if (item.starts_with("W/")) item.remove_prefix(2);
      if (item == "*") {
        any_ = true;
      } else if (!item.empty()) {
        tags_.emplace_back(item);
      }
    }
  }
}

bool IfNoneMatch::Matches(std::string_view tag) const {
  return any_ || std::find(tags_.begin(), tags_.end(), tag) != tags_.end();
}

ServerAnswer Tagged(ServerAnswer answer, std::string_view tag, bool unchanged) {
  answer.AddHeader("ETag", tag);
  if (unchanged) {
    answer.status = 304;
    answer.body.clear();
  }
  return answer;
}

}  // namespace skyloom
