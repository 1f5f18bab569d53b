#pragma once

#include <QDateTime>
#include <QString>
#include <memory>

#include "acquisition/cls_xml_web.h"

namespace skyloom {

// What one fetch leaves for the next, the store and the window.
struct FetchState {
  std::unique_ptr<clsXMLWeb> Web;  // set only while a fetch cycle runs
  QString ForecastText;            // last extracted text, or "error" after a failed request
  qint32 FetchErrNum = 0;
  QString FetchErrDes;
  QDateTime LastSync;  // the last timed fetch
};

inline const QString kErrorText = QStringLiteral("error");

}  // namespace skyloom
