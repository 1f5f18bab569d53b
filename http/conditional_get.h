#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "http/http_server.h"

namespace skyloom {

// The If-None-Match lines of a request, kept beyond its handler's call: entity tags, lists of
// them, or "*". A GET compares weakly, so W/"x" matches "x".
class IfNoneMatch {
 public:
  IfNoneMatch() = default;
  explicit IfNoneMatch(std::span<const HttpHeader> headers);
  // Whether `tag` (quotes included) is one of those named.
  bool Matches(std::string_view tag) const;
  // Every tag named, quotes included and W/ taken off; "*" is not among them.
  const std::vector<std::string>& Tags() const { return tags_; }

 private:
  bool any_ = false;
  std::vector<std::string> tags_;
};

// `answer` with its ETag; a 304 Not Modified, body dropped, when the client has it already.
ServerAnswer Tagged(ServerAnswer answer, std::string_view tag, bool unchanged);

}  // namespace skyloom
