#pragma once

#include <QLocale>
#include <QStringList>

class QTranslator;

namespace skyloom {

// The languages our texts ship in, as BCP 47 names; English, the source language, first.
QStringList ShippedLanguages();

// The shipped translation for `language` ("zh-CN", "zh_CN", "zh"), or nullptr for English and
// for languages we do not ship. Loaded once and never changed afterwards, so any thread may
// call translate() on it.
const QTranslator* ShippedTranslator(const QString& language);

// Installs the translation that suits `locale` (its UI languages in order, as LANGUAGE and
// LANG give them) into the application; English needs none. Needs a QCoreApplication.
void InstallTranslation(const QLocale& locale = QLocale());

}  // namespace skyloom
