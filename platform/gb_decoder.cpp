#include "platform/gb_decoder.h"

#include <unicode/ucnv.h>
#include <unicode/ucnv_cb.h>
#include <unicode/ucnv_err.h>

#include <memory>

namespace skyloom {
namespace {

constexpr UChar kReplacement = 0xFFFD;
constexpr UChar kEuro = 0x20AC;
// ICU follows GB18030-2005 and maps A3 A0 into the private use area; browsers give U+3000.
// No other sequence decodes to U+E5E5, so the fix-up can run on the decoded text.
constexpr char16_t kIcuA3A0 = 0xE5E5;
constexpr char16_t kIdeographicSpace = 0x3000;

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
  text.truncate(out - outBegin);
  text.replace(QChar(kIcuA3A0), QChar(kIdeographicSpace));
  return text;
}

}  // namespace skyloom
