#include "platform/translations.h"

#include <QCoreApplication>
#include <QTranslator>
#include <map>
#include <memory>

namespace skyloom {
namespace {

// Chinese of any region reads the simplified translation: it is the only one we ship.
QString ShippedNameFor(QString language) {
  language.replace(u'_', u'-');
  if (language.compare(u"zh", Qt::CaseInsensitive) == 0 ||
      language.startsWith(u"zh-", Qt::CaseInsensitive))
    return QStringLiteral("zh_CN");
  return {};
}

QTranslator* Loaded(const QString& name) {
  // Built on first use, then only read.
  static const auto translators = [] {
    std::map<QString, std::unique_ptr<QTranslator>> loaded;
    for (const QString& shipped : {QStringLiteral("zh_CN")}) {
      auto translator = std::make_unique<QTranslator>();
      if (translator->load(QStringLiteral(":/i18n/skyloom_") + shipped))
        loaded.emplace(shipped, std::move(translator));
    }
    return loaded;
  }();
  const auto found = translators.find(name);
  return found == translators.end() ? nullptr : found->second.get();
}

}  // namespace

QStringList ShippedLanguages() { return {QStringLiteral("en"), QStringLiteral("zh-CN")}; }

const QTranslator* ShippedTranslator(const QString& language) {
  const QString name = ShippedNameFor(language);
  return name.isEmpty() ? nullptr : Loaded(name);
}

void InstallTranslation(const QLocale& locale) {
  for (const QString& language : locale.uiLanguages()) {
    if (language.startsWith(u"en", Qt::CaseInsensitive)) return;
    if (ShippedTranslator(language)) {
      QCoreApplication::installTranslator(Loaded(ShippedNameFor(language)));
      return;
    }
  }
}

}  // namespace skyloom
