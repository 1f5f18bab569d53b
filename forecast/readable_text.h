#pragma once

#include <QString>

namespace skyloom {

// A stored forecast as a person should read it: the provider's page writes spaces as the
// entity text "&nbsp;", which the readers' own web pages show as a non-breaking space. Only
// what we show changes; the stored text, the result box and the JSON keep it as written.
QString ReadableForecast(QString stored);

}  // namespace skyloom
