#include "platform/translations.h"

#include <QCoreApplication>
#include <QTranslator>
#include <map>
#include <memory>

namespace skyloom {
namespace {

// `primary` alone or followed by a region, script or variant.
bool IsLanguage(QStringView tag, QStringView primary) {
  return tag.startsWith(primary, Qt::CaseInsensitive) &&
         (tag.size() == primary.size() || tag[primary.size()] == u'-' ||
          tag[primary.size()] == u'_');
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

std::optional<QString> ShippedTranslationFor(QStringView language) {
  if (IsLanguage(language, u"en")) return QString();
  // Chinese of any region reads the simplified translation: it is the only one we ship.
  if (IsLanguage(language, u"zh")) return QStringLiteral("zh_CN");
  return std::nullopt;
}

const QTranslator* ShippedTranslator(const QString& language) {
  const std::optional<QString> name = ShippedTranslationFor(language);
  return name && !name->isEmpty() ? Loaded(*name) : nullptr;
}

void InstallTranslation(const QLocale& locale) {
  for (const QString& language : locale.uiLanguages()) {
    const std::optional<QString> name = ShippedTranslationFor(language);
    if (name && name->isEmpty()) return;
    if (QTranslator* translator = name ? Loaded(*name) : nullptr) {
      QCoreApplication::installTranslator(translator);
      return;
    }
  }
}

}  // namespace skyloom
