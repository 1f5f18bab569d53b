#include "app/settings_file.h"

#include <sys/stat.h>

#include <QFile>
#include <QStringList>
#include <cerrno>
#include <cstring>

#include "app/settings_keys.h"

namespace skyloom {
namespace {

// Far beyond any real settings file; /dev/zero or a log named by mistake is refused, not
// read until memory runs out.
constexpr qint64 kMostBytes = 1024 * 1024;

}  // namespace

// Blank lines and lines starting with # or ; are comments. The file spells the keys with
// underscores; only those are keys.
std::optional<QString> ReadSettingsFile(const QString& path, bool mustExist,
                                        ServiceSettings& settings) {
  const auto refused = [&path](const QString& why) {
    return QStringLiteral("settings file %1: %2").arg(path, why);
  };
  struct stat status {};
  if (::stat(QFile::encodeName(path).constData(), &status) != 0) {
    // Where it cannot even be seen (a home folder closed to this user), there is none.
    if (!mustExist) return std::nullopt;
    return refused(QString::fromLocal8Bit(std::strerror(errno)));
  }
  if (!S_ISREG(status.st_mode)) return refused(QStringLiteral("not a regular file"));
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return refused(file.errorString());
  const QByteArray bytes = file.read(kMostBytes + 1);
  if (bytes.size() > kMostBytes) return refused(QStringLiteral("larger than 1 MiB"));

  const QStringList lines = QString::fromUtf8(bytes).split(QLatin1Char('\n'));
  for (qsizetype number = 1; number <= lines.size(); ++number) {
    const QString text = lines[number - 1].trimmed();
    if (text.isEmpty() || text.startsWith(QLatin1Char('#')) || text.startsWith(QLatin1Char(';'))) {
      continue;
    }
    const QString where = QStringLiteral("settings file %1, line %2").arg(path).arg(number);
    const qsizetype equals = text.indexOf(QLatin1Char('='));
    if (equals < 0) return QStringLiteral("%1: expected KEY = VALUE").arg(where);
    const QString key = text.left(equals).trimmed();
    const SettingKey* setting =
        key.contains(QLatin1Char('-'))
            ? nullptr
            : FindSettingKey(QString(key).replace(QLatin1Char('_'), QLatin1Char('-')));
    if (!setting) return QStringLiteral("%1: unknown key %2").arg(where, key);
    if (auto problem = setting->read(text.mid(equals + 1).trimmed(), settings)) {
      return QStringLiteral("%1: %2 %3").arg(where, key, *problem);
    }
  }
  return std::nullopt;
}

}  // namespace skyloom
