#pragma once

#include <QByteArray>
#include <QString>

namespace skyloom::test {

// The text encoded in GB18030 (GB2312 for the characters GB2312 has).
QByteArray ToGbBytes(const QString& text);

// A file of tests/data.
QByteArray ReadTestData(const QString& name);

}  // namespace skyloom::test
