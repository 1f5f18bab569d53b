#include "forecast/readable_text.h"

namespace skyloom {

QString ReadableForecast(QString stored) {
  return stored.replace(QStringLiteral("&nbsp;"), QStringLiteral("\u00a0"));
}

}  // namespace skyloom
