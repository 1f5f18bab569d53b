#pragma once

#include <QString>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace skyloom {

// Digits only: no sign, no blanks, nothing beyond qint64.
std::optional<qint64> Digits(std::string_view text);
// %XX escapes undone; nothing for a broken one.
std::optional<std::string> Unescape(std::string_view text);

// A whole-number query parameter a route takes.
struct QueryParameter {
  const char* name;
  qint64 lowest;
  qint64 highest;
  qint64 value;  // the default until read
  bool given = false;

  std::optional<qint64> Given() const { return given ? std::optional(value) : std::nullopt; }
};

// Reads NAME=VALUE&… into `parameters`; what is wrong, worded for the client. Anything else is
// an error, so that a misspelt or garbled parameter is never silently ignored or half read.
std::optional<QString> ReadQuery(std::string_view query, std::span<QueryParameter> parameters);

}  // namespace skyloom
