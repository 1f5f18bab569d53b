#include "platform/gb_decoder.h"

#include <unicode/ucnv.h>
#include <unicode/ucnv_cb.h>
#include <unicode/ucnv_err.h>

#include <algorithm>
#include <array>
#include <memory>

namespace skyloom {
namespace {

constexpr UChar kReplacement = 0xFFFD;
constexpr UChar kEuro = 0x20AC;

struct PrivateUseFix {
  char16_t icu;
  char16_t browser;
};

// ICU 72 follows GB18030-2005 and maps these two-byte codes into the private use area.
// Browsers give A3 A0 as U+3000 and, since GB18030-2022, the other eighteen as standard
// characters. No other sequence decodes to these points (the four-byte codes of the same
// characters already give the standard ones), so the fix-up can run on the decoded text.
constexpr std::array<PrivateUseFix, 19> kPrivateUseFixes{{
    {0xE5E5, 0x3000},  // A3 A0
    {0xE78D, 0xFE10},  // A6 D9
    {0xE78E, 0xFE12},  // A6 DA
    {0xE78F, 0xFE11},  // A6 DB
    {0xE790, 0xFE13},  // A6 DC
    {0xE791, 0xFE14},  // A6 DD
    {0xE792, 0xFE15},  // A6 DE
    {0xE793, 0xFE16},  // A6 DF
    {0xE794, 0xFE17},  // A6 EC
    {0xE795, 0xFE18},  // A6 ED
    {0xE796, 0xFE19},  // A6 F3
    {0xE81E, 0x9FB4},  // FE 59
    {0xE826, 0x9FB5},  // FE 61
    {0xE82B, 0x9FB6},  // FE 66
    {0xE82C, 0x9FB7},  // FE 67
    {0xE832, 0x9FB8},  // FE 6D
    {0xE843, 0x9FB9},  // FE 7E
    {0xE854, 0x9FBA},  // FE 90
    {0xE864, 0x9FBB},  // FE A0
}};

void FixPrivateUse(UChar* begin, UChar* end) {
  static_assert(std::ranges::is_sorted(kPrivateUseFixes, {}, &PrivateUseFix::icu));
  for (UChar* unit = begin; unit != end; ++unit) {
    if (*unit < kPrivateUseFixes.front().icu || *unit > kPrivateUseFixes.back().icu) continue;
    const auto fix = std::ranges::lower_bound(kPrivateUseFixes, *unit, {}, &PrivateUseFix::icu);
    if (fix->icu == *unit) *unit = fix->browser;
  }
}

// ICU leaves the lone byte 0x80 undecodable; browsers read it as the euro sign (as GBK did).
void SubstituteLikeBrowsers(const void*, UConverterToUnicodeArgs* args, const char* units,
                            int32_t length, UConverterCallbackReason reason, UErrorCode* error) {
  if (reason > UCNV_IRREGULAR) return;  // reset, close and clone carry no bytes
  const UChar substitute =
      (length == 1 && static_cast<unsigned char>(units[0]) == 0x80) ? kEuro : kReplacement;
  *error = U_ZERO_ERROR;
  ucnv_cbToUWriteUChars(args, &substitute, 1, 0, error);
}

struct ConverterCloser {
  void operator()(UConverter* converter) const { ucnv_close(converter); }
};

}  // namespace

QString DecodeGb2312(QByteArrayView bytes) {
  if (bytes.isEmpty()) return {};
  UErrorCode error = U_ZERO_ERROR;
  std::unique_ptr<UConverter, ConverterCloser> converter(ucnv_open("gb18030", &error));
  if (U_FAILURE(error)) return QString(bytes.size(), QChar(kReplacement));
  ucnv_setToUCallBack(converter.get(), SubstituteLikeBrowsers, nullptr, nullptr, nullptr, &error);

  // Every byte yields at most one UTF-16 unit: a four-byte sequence yields at most two.
  QString text(bytes.size(), Qt::Uninitialized);
  UChar* out = reinterpret_cast<UChar*>(text.data());
  UChar* const outBegin = out;
  const char* in = bytes.data();
  ucnv_toUnicode(converter.get(), &out, outBegin + text.size(), &in, in + bytes.size(), nullptr,
                 /*flush=*/true, &error);
  if (U_FAILURE(error)) return QString(bytes.size(), QChar(kReplacement));
  FixPrivateUse(outBegin, out);
  text.truncate(out - outBegin);
  return text;
}

}  // namespace skyloom
