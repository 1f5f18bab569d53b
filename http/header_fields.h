#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "http/http_server.h"

namespace skyloom {

// The values of every `name` line of `headers`, in order.
std::vector<std::string_view> HeaderValues(std::span<const HttpHeader> headers,
                                           std::string_view name);
// Those values as one list, as repeated lines of a list header mean.
std::string JoinedValues(std::span<const HttpHeader> headers, std::string_view name);

// The items of a comma-separated list, each without the blanks around it; empty ones kept.
std::vector<std::string_view> ListItems(std::string_view list, char separator = ',');
// An item of a weighted list such as Accept-Language: what stands before its first ';', and
// its q-value, 1 without one and 0 for one that cannot be read.
struct WeightedItem {
  std::string_view value;
  double quality;
};
WeightedItem Weighted(std::string_view item);

}  // namespace skyloom
