#pragma once

#include <QLocale>
#include <QString>
#include <optional>

class QTranslator;

namespace skyloom {

// The shipped translation a reader of `language` ("zh-CN", "zh_CN", "zh", "en-GB") reads:
// its name ("zh_CN"), empty for English, the source language, and nullopt for languages we do
// not ship.
std::optional<QString> ShippedTranslationFor(QStringView language);

// The shipped translation for `language` as ShippedTranslationFor names it, or nullptr for
// English and for languages we do not ship. Loaded once and never changed afterwards, so any thread
// may call translate() on it.
const QTranslator* ShippedTranslator(const QString& language);

// Installs the translation that suits `locale` (its UI languages in order, as LANGUAGE and
// LANG give them) into the application; English needs none. Needs a QCoreApplication.
void InstallTranslation(const QLocale& locale = QLocale());

}  // namespace skyloom
