#pragma once

#include <QByteArray>
#include <QString>

#include "platform/http_get.h"

namespace skyloom {

// Downloads one page as text. Made for one request: the error fields are set by a failure
// and never cleared.
class clsXMLWeb final {
 public:
  explicit clsXMLWeb(HttpLimits limits = {});
  clsXMLWeb(const clsXMLWeb&) = delete;
  clsXMLWeb& operator=(const clsXMLWeb&) = delete;

  const QString& URL() const { return m_URL; }
  qint32 ErrNum() const { return m_ErrNum; }
  const QString& ErrDes() const { return m_ErrDes; }

  // The page decoded from GB2312, or "Error!" when no response could be had.
  QString GetDataAsString(const QString& URLString);
  // Ends a running GetDataAsString early, from any thread.
  void Cancel() { cancelled_ = true; }

 private:
  static QString BodyToText(const QByteArray& body);

  HttpLimits limits_;
  std::atomic<bool> cancelled_{false};
  QString m_URL;
  qint32 m_ErrNum = 0;
  QString m_ErrDes;
};

}  // namespace skyloom
