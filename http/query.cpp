#include "http/query.h"

#include <algorithm>
#include <charconv>

namespace skyloom {
namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::optional<qint64> Digits(std::string_view text) {
  if (text.empty() ||
      !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return std::nullopt;
  }
  qint64 value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

std::optional<std::string> Unescape(std::string_view text) {
  std::string plain;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      plain += text[i];
      continue;
    }
    const int high = i + 2 < text.size() ? HexDigit(text[i + 1]) : -1;
    const int low = high >= 0 ? HexDigit(text[i + 2]) : -1;
    if (low < 0) return std::nullopt;
    plain += static_cast<char>(high * 16 + low);
    i += 2;
  }
  return plain;
}

std::optional<QString> ReadQuery(std::string_view query, std::span<QueryParameter> parameters) {
  for (bool more = !query.empty(); more;) {
    const std::size_t amp = query.find('&');
    const std::string_view item = query.substr(0, amp);
    more = amp != std::string_view::npos;
    if (more) query.remove_prefix(amp + 1);
    const std::size_t equals = item.find('=');
    if (item.empty() || equals == std::string_view::npos ||
        item.find('=', equals + 1) != std::string_view::npos) {
      return QStringLiteral("each query parameter must be NAME=VALUE, joined by &");
    }
    const std::optional<std::string> name = Unescape(item.substr(0, equals));
    const std::optional<std::string> text = Unescape(item.substr(equals + 1));
    if (!name || !text) return QStringLiteral("the query holds a broken %-escape");
    const QString shown = QString::fromUtf8(*name);
    const auto parameter =
        std::find_if(parameters.begin(), parameters.end(),
                     [&name](const QueryParameter& p) { return *name == p.name; });
    if (parameter == parameters.end()) {
      return QStringLiteral("unknown query parameter \"%1\"").arg(shown);
    }
    if (parameter->given) return QStringLiteral("\"%1\" is given more than once").arg(shown);
    const std::optional<qint64> number = Digits(*text);
    if (!number || *number < parameter->lowest || *number > parameter->highest) {
      return QStringLiteral("\"%1\" must be a whole number from %2 to %3")
          .arg(shown)
          .arg(parameter->lowest)
          .arg(parameter->highest);
    }
    parameter->value = *number;
    parameter->given = true;
  }
  return std::nullopt;
}

}  // namespace skyloom
