#include "acquisition/cls_xml_web.h"

#include "acquisition/forecast_text.h"
#include "platform/gb_decoder.h"

namespace skyloom {

clsXMLWeb::clsXMLWeb(HttpLimits limits) : limits_(limits) {}

QString clsXMLWeb::GetDataAsString(const QString& URLString) {
  m_URL = TrimBlanks(URLString);
  // The status code is deliberately not read: an error page's body is the page.
  HttpResponse response = HttpGet(m_URL, limits_, &cancelled_);
  if (response.errNum == 0) return BodyToText(response.body);
  m_ErrNum = response.errNum;
  m_ErrDes = response.errDes;
  return QStringLiteral("Error!");
}

QString clsXMLWeb::BodyToText(const QByteArray& body) { return DecodeGb2312(body); }

}  // namespace skyloom
