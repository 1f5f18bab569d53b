#pragma once

#include <string>
#include <string_view>

namespace skyloom {

enum class PageLanguage { English, Chinese };

// The shipped language a browser reads best by its Accept-Language; English when it names
// neither.
PageLanguage LanguageFor(std::string_view acceptLanguage);
// As <html lang> and Content-Language give it.
const char* LanguageTag(PageLanguage language);

// Text as it may stand in HTML, in an element or a quoted attribute alike.
std::string EscapeHtml(std::string_view text);

// A file compiled into the program, by its resource path.
std::string BuiltIn(const char* path);

// A file of the status page with its type.
struct PageFile {
  const char* contentType;
  std::string body;
  const char* language = nullptr;  // what the text is written in, for Content-Language
};

// The status page a browser reads at GET /: its HTML in every shipped language and the files
// it loads, compiled into the program and made once, so that serving them reads nothing.
class StatusPage final {
 public:
  StatusPage();

  // In English when the language asked for did not load.
  const PageFile& Html(PageLanguage language) const;
  // The file at `path` below /page/, or nullptr.
  const PageFile* Asset(std::string_view path) const;

 private:
  PageFile english_;
  PageFile chinese_;
  PageFile style_;
  PageFile script_;
  PageFile icon_;
};

}  // namespace skyloom
