#pragma once

#include <QString>

namespace skyloom {

// Writes "skyloom: LINE" to standard error from any thread, each distinct line at most once a
// minute: a flood of requests against a broken database must not flood the log too.
void ReportProblem(const QString& line);

}  // namespace skyloom
