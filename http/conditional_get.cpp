#include "http/conditional_get.h"

#include <algorithm>

#include "http/header_fields.h"

namespace skyloom {

IfNoneMatch::IfNoneMatch(std::span<const HttpHeader> headers) {
  for (std::string_view line : HeaderValues(headers, "If-None-Match")) {
    while (!line.empty()) {
      const std::size_t comma = line.find(',');
      std::string_view item = line.substr(0, comma);
      line = comma == std::string_view::npos ? std::string_view() : line.substr(comma + 1);
      while (item.starts_with(' ') || item.starts_with('\t')) item.remove_prefix(1);
      while (item.ends_with(' ') || item.ends_with('\t')) item.remove_suffix(1);
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
