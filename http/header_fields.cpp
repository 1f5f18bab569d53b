#include "http/header_fields.h"

#include <algorithm>
#include <cctype>
#include <charconv>

namespace skyloom {
namespace {

// Header names are the same whatever their case.
bool SameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

std::string_view Trimmed(std::string_view text) {
  while (text.starts_with(' ') || text.starts_with('\t')) text.remove_prefix(1);
  while (text.ends_with(' ') || text.ends_with('\t')) text.remove_suffix(1);
  return text;
}

// The q-value among `parameters`, what follows an item's first ';'.
double Quality(std::string_view parameters) {
  for (const std::string_view parameter : ListItems(parameters, ';')) {
    if (parameter.size() < 2 || (parameter[0] != 'q' && parameter[0] != 'Q') ||
        parameter[1] != '=') {
      continue;
    }
    double q = 0;
    const char* end = parameter.data() + parameter.size();
    const auto [stop, error] = std::from_chars(parameter.data() + 2, end, q);
    return error == std::errc() && stop == end ? q : 0;
  }
  return 1;
}

}  // namespace

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

std::vector<std::string_view> ListItems(std::string_view list, char separator) {
  std::vector<std::string_view> items;
  while (!list.empty()) {
    const std::size_t end = list.find(separator);
    items.push_back(Trimmed(list.substr(0, end)));
    list = end == std::string_view::npos ? std::string_view() : list.substr(end + 1);
  }
  return items;
}

WeightedItem Weighted(std::string_view item) {
  const std::size_t semicolon = item.find(';');
  return {Trimmed(item.substr(0, semicolon)),
          semicolon == std::string_view::npos ? 1 : Quality(item.substr(semicolon + 1))};
}

}  // namespace skyloom
