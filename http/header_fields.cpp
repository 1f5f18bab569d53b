#include "http/header_fields.h"

#include <algorithm>
#include <cctype>

namespace skyloom {

bool SameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

std::vector<std::string_view> HeaderValues(std::span<const HttpHeader> headers,
                                           std::string_view name) {
  std::vector<std::string_view> values;
  for (const HttpHeader& header : headers) {
    if (SameName(header.name, name)) values.push_back(header.value);
  }
  return values;
}

std::string JoinedValues(std::span<const HttpHeader> headers, std::string_view name) {
  std::string joined;
  for (const std::string_view value : HeaderValues(headers, name)) {
    if (!joined.empty()) joined += ',';
    joined += value;
  }
  return joined;
}

}  // namespace skyloom
