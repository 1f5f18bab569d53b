#include "serving/status_page.h"

#include <QCoreApplication>
#include <QFile>
#include <QTranslator>
#include <algorithm>

#include "http/header_fields.h"
#include "platform/translations.h"

namespace skyloom {
namespace {

struct PageText {
  const char* key;  // {{key}} in status.html
  const char* source;
};

// Translated per page rather than by the application's translator: each browser asks for its
// own language.
constexpr PageText kTexts[] = {
    {"title", QT_TRANSLATE_NOOP("StatusPage", "Skyloom status")},
    {"loading", QT_TRANSLATE_NOOP("StatusPage", "Reading…")},
    {"newest", QT_TRANSLATE_NOOP("StatusPage", "Newest forecast")},
    {"changes", QT_TRANSLATE_NOOP("StatusPage", "What changed")},
    {"inserted", QT_TRANSLATE_NOOP("StatusPage", "inserted")},
    {"deleted", QT_TRANSLATE_NOOP("StatusPage", "deleted")},
    {"slots", QT_TRANSLATE_NOOP("StatusPage", "The last 14 days by timed slots")},
    {"slotsHint",
     QT_TRANSLATE_NOOP("StatusPage", "Hover over a slot, or tap it, for its attempt.")},
    {"stateStored", QT_TRANSLATE_NOOP("StatusPage", "Stored")},
    {"stateUnchanged", QT_TRANSLATE_NOOP("StatusPage", "Unchanged")},
    {"stateNothing", QT_TRANSLATE_NOOP("StatusPage", "Nothing extracted")},
    {"stateError", QT_TRANSLATE_NOOP("StatusPage", "Error")},
    {"stateNone", QT_TRANSLATE_NOOP("StatusPage", "No attempt")},
    {"stateLater", QT_TRANSLATE_NOOP("StatusPage", "To come")},
    {"attempts", QT_TRANSLATE_NOOP("StatusPage", "Newest attempts")},
    {"time", QT_TRANSLATE_NOOP("StatusPage", "Time")},
    {"status", QT_TRANSLATE_NOOP("StatusPage", "Status")},
    {"number", QT_TRANSLATE_NOOP("StatusPage", "Number")},
    {"description", QT_TRANSLATE_NOOP("StatusPage", "Description")},
    {"storedAt", QT_TRANSLATE_NOOP("StatusPage", "Stored %1")},
    {"noForecast", QT_TRANSLATE_NOOP("StatusPage", "No forecast has been stored yet.")},
    {"since", QT_TRANSLATE_NOOP("StatusPage", "Since the forecast of %1:")},
    {"first",
     QT_TRANSLATE_NOOP("StatusPage", "The first forecast stored: there is none to compare with.")},
    {"working", QT_TRANSLATE_NOOP("StatusPage", "Working")},
    {"failing", QT_TRANSLATE_NOOP("StatusPage", "Failing")},
    {"noAttempt", QT_TRANSLATE_NOOP("StatusPage", "No attempt has been logged yet.")},
    {"newestFailed", QT_TRANSLATE_NOOP("StatusPage", "The newest attempt failed: %1")},
    {"stalled",
     QT_TRANSLATE_NOOP("StatusPage", "No attempt logged since the timed fetch due at %1.")},
    {"unreadable",
     QT_TRANSLATE_NOOP("StatusPage", "The database cannot be read; the program's log says why.")},
    {"answered", QT_TRANSLATE_NOOP("StatusPage", "The program answered: %1")},
    {"record",
     QT_TRANSLATE_NOOP("StatusPage", "Last attempt %1 · last success %2 · failures since: %3")},
    {"never", QT_TRANSLATE_NOOP("StatusPage", "never")},
    {"slot", QT_TRANSLATE_NOOP("StatusPage", "%1, slot %2–%3: %4")},
    {"checked", QT_TRANSLATE_NOOP("StatusPage", "Checked at %1")},
    {"unreachable",
     QT_TRANSLATE_NOOP("StatusPage",
                       "The program cannot be reached; trying again every 30 seconds.")},
    {"failure", QT_TRANSLATE_NOOP("StatusPage", "failed")},
    {"period", QT_TRANSLATE_NOOP("StatusPage", "Period")},
    {"sky", QT_TRANSLATE_NOOP("StatusPage", "Weather")},
    {"wind", QT_TRANSLATE_NOOP("StatusPage", "Wind")},
    {"lowest", QT_TRANSLATE_NOOP("StatusPage", "Lowest")},
    {"highest", QT_TRANSLATE_NOOP("StatusPage", "Highest")},
    {"humidity", QT_TRANSLATE_NOOP("StatusPage", "Humidity")},
    {"issuedAt", QT_TRANSLATE_NOOP("StatusPage", "%1, issued at %2:00")},
    {"gust", QT_TRANSLATE_NOOP("StatusPage", "gusts %1")},
    {"notRead", QT_TRANSLATE_NOOP("StatusPage", "Not read: %1")},
    {"chart", QT_TRANSLATE_NOOP("StatusPage", "Temperatures forecast over the last 14 days")},
    {"chartHint",
     QT_TRANSLATE_NOOP("StatusPage",
                       "The highest and lowest that each day's newest forecast names. Hover over "
                       "a day, or tap it, for that forecast.")},
    {"noTemperatures",
     QT_TRANSLATE_NOOP("StatusPage", "No forecast of these days names a temperature.")},
    {"chartPoint", QT_TRANSLATE_NOOP("StatusPage", "%1: highest %2, lowest %3")},
    {"deliveries",
     QT_TRANSLATE_NOOP("StatusPage", "Messages waiting to be delivered: %1 · given up: %2")},
    {"live", QT_TRANSLATE_NOOP("StatusPage", "Live: a new forecast shows at once. %1")},
    {"polling", QT_TRANSLATE_NOOP("StatusPage", "Checking every 30 seconds. %1")},
    {"feed", QT_TRANSLATE_NOOP("StatusPage", "Skyloom forecasts (Atom)")},
};

std::string Render(std::string page, PageLanguage language, const QTranslator* translator) {
  const auto put = [&page](std::string_view key, const std::string& value) {
    const std::string mark = "{{" + std::string(key) + "}}";
    for (std::size_t at = page.find(mark); at != std::string::npos; at = page.find(mark, at)) {
      page.replace(at, mark.size(), value);
      at += value.size();
    }
  };
  put("lang", LanguageTag(language));
  for (const PageText& text : kTexts) {
    QString shown = translator ? translator->translate("StatusPage", text.source) : QString();
    if (shown.isEmpty()) shown = QString::fromUtf8(text.source);
    put(text.key, EscapeHtml(shown.toStdString()));
  }
  Q_ASSERT(page.find("{{") == std::string::npos);
  return page;
}

}  // namespace

PageLanguage LanguageFor(std::string_view acceptLanguage) {
  PageLanguage best = PageLanguage::English;
  double bestQuality = 0;
  for (const std::string_view item : ListItems(acceptLanguage)) {
    const auto [tag, quality] = Weighted(item);
    const std::optional<QString> shipped =
        tag == "*" ? QString() : ShippedTranslationFor(QString::fromUtf8(tag));
    // Languages we do not ship leave the choice to those we do; ties go to the first named.
    if (shipped && quality > bestQuality) {
      best = shipped->isEmpty() ? PageLanguage::English : PageLanguage::Chinese;
      bestQuality = quality;
    }
  }
  return best;
}

const char* LanguageTag(PageLanguage language) {
  return language == PageLanguage::Chinese ? "zh-CN" : "en";
}

std::string EscapeHtml(std::string_view text) {
  std::string escaped;
  escaped.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '&':
        escaped += "&amp;";
        break;
      case '<':
        escaped += "&lt;";
        break;
      case '>':
        escaped += "&gt;";
        break;
      case '"':
        escaped += "&quot;";
        break;
      case '\'':
        escaped += "&#39;";
        break;
      default:
        escaped += c;
    }
  }
  return escaped;
}

std::string BuiltIn(const char* path) {
  QFile file(QString::fromLatin1(path));
  // Compiled in: only a broken build lacks it.
  if (!file.open(QIODevice::ReadOnly)) qFatal("%s is not built in", path);
  return file.readAll().toStdString();
}

StatusPage::StatusPage()
    : style_{"text/css; charset=utf-8", BuiltIn(":/page/status.css")},
      script_{"text/javascript; charset=utf-8", BuiltIn(":/page/status.js")},
      icon_{"image/svg+xml", BuiltIn(":/page/icon.svg")} {
  const std::string html = BuiltIn(":/page/status.html");
  const char* type = "text/html; charset=utf-8";
  english_ = {type, Render(html, PageLanguage::English, nullptr),
              LanguageTag(PageLanguage::English)};
  const QTranslator* chinese = ShippedTranslator(QStringLiteral("zh-CN"));
  chinese_ = chinese ? PageFile{type, Render(html, PageLanguage::Chinese, chinese),
                                LanguageTag(PageLanguage::Chinese)}
                     : english_;
}

const PageFile& StatusPage::Html(PageLanguage language) const {
  return language == PageLanguage::Chinese ? chinese_ : english_;
}

const PageFile* StatusPage::Asset(std::string_view path) const {
  if (path == "status.css") return &style_;
  if (path == "status.js") return &script_;
  if (path == "icon.svg") return &icon_;
  return nullptr;
}

}  // namespace skyloom
