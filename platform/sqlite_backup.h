#pragma once

#include <QString>

#include "platform/db_types.h"

namespace skyloom {

// Copies the SQLite database at `source` to `destination` as it stood at one moment, while
// other programs go on writing to it. The copy is made in a file beside `destination`, must
// pass SQLite's integrity check, is synced to the disk and only then renamed into place:
// whatever fails, nothing is left behind and an older `destination` is kept.
DbExpected<void> BackUpSqliteDatabase(const QString& source, const QString& destination);

}  // namespace skyloom
