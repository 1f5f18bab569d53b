#include "support/gb_bytes.h"

#include <unicode/ucnv.h>

#include <QFile>
#include <stdexcept>

namespace skyloom::test {

QByteArray ToGbBytes(const QString& text) {
  UErrorCode error = U_ZERO_ERROR;
  UConverter* converter = ucnv_open("gb18030", &error);
  QByteArray bytes(text.size() * 4 + 4, Qt::Uninitialized);
  const int length = ucnv_fromUChars(converter, bytes.data(), static_cast<int32_t>(bytes.size()),
                                     reinterpret_cast<const UChar*>(text.utf16()),
                                     static_cast<int32_t>(text.size()), &error);
  ucnv_close(converter);
  if (U_FAILURE(error)) throw std::runtime_error("cannot encode test text");
  bytes.truncate(length);
  return bytes;
}

QByteArray ReadTestData(const QString& name) {
  QFile file(QStringLiteral(SKYLOOM_TEST_DATA "/") + name);
  if (!file.open(QIODevice::ReadOnly)) throw std::runtime_error("missing test data");
  return file.readAll();
}

}  // namespace skyloom::test
