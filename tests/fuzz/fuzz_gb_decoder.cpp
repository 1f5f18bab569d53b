// DecodeGb2312 against the way the WHATWG gb18030 decoder cuts bytes into characters.
//
// The oracle carries no mapping tables: it knows where each character begins and ends and
// what kind of character comes out, enough to see that no ASCII byte, and so no markup, is
// lost, moved or made up.

#include <QString>
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "fuzz_failure.h"
#include "platform/gb_decoder.h"

namespace {

enum class Kind {
  kAscii,           // the byte itself
  kEuro,            // a lone 0x80
  kTwoByte,         // any BMP character outside ASCII, U+FFFD and U+3000
  kSpace,           // A1 A1, and A3 A0 as browsers read it
  kFourByteBmp,     // any BMP character outside ASCII and U+3000; U+FFFD is one of them
  kFourByteAstral,  // exactly the code point in `value`
  kError,           // U+FFFD
};

const char* const kKindNames[] = {
    "ASCII",         "euro sign",        "two-byte", "ideographic space",
    "four-byte BMP", "four-byte astral", "error"};

struct Token {
  Kind kind;
  char32_t value = 0;
  size_t offset = 0;  // of the token's first byte
};

bool IsDigit(uint8_t byte) { return byte >= 0x30 && byte <= 0x39; }
bool IsLead(uint8_t byte) { return byte >= 0x81 && byte <= 0xFE; }
bool IsTrail(uint8_t byte) {
  return (byte >= 0x40 && byte <= 0x7E) || (byte >= 0x80 && byte <= 0xFE);
}

// Bytes that a failed sequence hands back are read again; a rewind of the position does the
// same, since they are always the bytes right after the lead.
std::vector<Token> Segment(const uint8_t* bytes, size_t size) {
  std::vector<Token> tokens;
  size_t i = 0;
  while (i < size) {
    const size_t at = i;
    const uint8_t lead = bytes[i];
    if (lead < 0x80) {
      tokens.push_back({Kind::kAscii, lead, at});
      i += 1;
      continue;
    }
    if (lead == 0x80) {
      tokens.push_back({Kind::kEuro, 0, at});
      i += 1;
      continue;
    }
    if (lead == 0xFF || i + 1 == size) {
      tokens.push_back({Kind::kError, 0, at});
      i += 1;
      continue;
    }
    const uint8_t second = bytes[i + 1];
    if (IsDigit(second)) {
      // A four-byte candidate. Cut off by the end it is one error and nothing is read again;
      // a bad third or fourth byte makes one error and sends everything after the lead back.
      const size_t left = size - i;
      if (left == 2 || (left == 3 && IsLead(bytes[i + 2]))) {
        tokens.push_back({Kind::kError, 0, at});
        i = size;
        continue;
      }
      if (!IsLead(bytes[i + 2]) || !IsDigit(bytes[i + 3])) {
        tokens.push_back({Kind::kError, 0, at});
        i += 1;
        continue;
      }
      const uint32_t pointer = (lead - 0x81) * 12600u + (second - 0x30) * 1260u +
                               (bytes[i + 2] - 0x81) * 10u + (bytes[i + 3] - 0x30);
      if (pointer <= 39419) {
        tokens.push_back({Kind::kFourByteBmp, 0, at});
      } else if (pointer >= 189000 && pointer <= 1237575) {
        tokens.push_back({Kind::kFourByteAstral, 0x10000 + (pointer - 189000), at});
      } else {
        tokens.push_back({Kind::kError, 0, at});
      }
      i += 4;
      continue;
    }
    if (IsTrail(second)) {
      const bool space = (lead == 0xA1 && second == 0xA1) || (lead == 0xA3 && second == 0xA0);
      tokens.push_back({space ? Kind::kSpace : Kind::kTwoByte, 0, at});
      i += 2;
      continue;
    }
    tokens.push_back({Kind::kError, 0, at});
    i += second < 0x80 ? 1 : 2;  // an ASCII byte is read again as itself
  }
  return tokens;
}

bool IsSurrogate(char32_t c) { return c >= 0xD800 && c <= 0xDFFF; }

bool Fits(const Token& token, char32_t c) {
  switch (token.kind) {
    case Kind::kAscii:
      return c == token.value;
    case Kind::kEuro:
      return c == 0x20AC;
    case Kind::kTwoByte:
      return c >= 0x80 && c <= 0xFFFF && !IsSurrogate(c) && c != 0xFFFD && c != 0x3000;
    case Kind::kSpace:
      return c == 0x3000;
    case Kind::kFourByteBmp:
      return c >= 0x80 && c <= 0xFFFF && !IsSurrogate(c) && c != 0x3000;
    case Kind::kFourByteAstral:
      return c == token.value;
    case Kind::kError:
      return c == 0xFFFD;
  }
  return false;
}

std::vector<char32_t> CodePoints(const QString& text) {
  std::vector<char32_t> points;
  for (qsizetype i = 0; i < text.size(); ++i) {
    const char16_t unit = text[i].unicode();
    if (QChar::isHighSurrogate(unit) && i + 1 < text.size() && text[i + 1].isLowSurrogate()) {
      points.push_back(QChar::surrogateToUcs4(unit, text[i + 1].unicode()));
      ++i;
    } else {
      points.push_back(unit);  // a lone surrogate stays itself and fits no token
    }
  }
  return points;
}

[[noreturn]] void FailAt(const char* what, size_t index, const std::vector<Token>& tokens,
                         const std::vector<char32_t>& points) {
  std::fprintf(stderr, "character %zu: ", index);
  if (index < tokens.size()) {
    const Token& token = tokens[index];
    std::fprintf(stderr, "expected %s", kKindNames[static_cast<int>(token.kind)]);
    if (token.kind == Kind::kAscii || token.kind == Kind::kFourByteAstral)
      std::fprintf(stderr, " U+%04X", static_cast<unsigned>(token.value));
    std::fprintf(stderr, " from byte %zu", token.offset);
  } else {
    std::fprintf(stderr, "expected nothing");
  }
  if (index < points.size())
    std::fprintf(stderr, ", decoded U+%04X\n", static_cast<unsigned>(points[index]));
  else
    std::fprintf(stderr, ", decoded nothing\n");
  skyloom::fuzz::Fail(what);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const QString text = skyloom::DecodeGb2312(
      QByteArrayView(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size)));

  if (static_cast<size_t>(text.size()) > size) skyloom::fuzz::Fail("more units than bytes");

  size_t markupBytes = 0;
  size_t highBytes = 0;
  for (size_t i = 0; i < size; ++i) {
    markupBytes += data[i] == '<' || data[i] == '>';
    highBytes += data[i] >= 0x80;
  }
  if (static_cast<size_t>(text.count(QLatin1Char('<')) + text.count(QLatin1Char('>'))) !=
      markupBytes)
    skyloom::fuzz::Fail("a \"<\" or \">\" was lost or made up");
  if (static_cast<size_t>(text.count(QChar(0xFFFD))) > highBytes)
    skyloom::fuzz::Fail("more replacement characters than bytes above 0x7F");

  const std::vector<Token> tokens = Segment(data, size);
  const std::vector<char32_t> points = CodePoints(text);
  for (size_t i = 0; i < tokens.size() && i < points.size(); ++i)
    if (!Fits(tokens[i], points[i]))
      FailAt("character differs from the byte sequence", i, tokens, points);
  if (tokens.size() != points.size())
    FailAt("character count differs", std::min(tokens.size(), points.size()), tokens, points);
  return 0;
}
