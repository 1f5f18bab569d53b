#include "http/http_framing.h"

#include <algorithm>
#include <utility>

namespace skyloom {
namespace {

const char* StatusText(int status) {
  static constexpr std::pair<int, const char*> kTexts[] = {{200, "OK"},
                                                           {204, "No Content"},
                                                           {304, "Not Modified"},
                                                           {400, "Bad Request"},
                                                           {404, "Not Found"},
                                                           {405, "Method Not Allowed"},
                                                           {414, "URI Too Long"},
                                                           {429, "Too Many Requests"},
                                                           {431, "Request Header Fields Too Large"},
                                                           {503, "Service Unavailable"}};
  for (const auto& [code, text] : kTexts) {
    if (code == status) return text;
  }
  return status < 500 ? "Bad Request" : "Internal Server Error";
}

bool Digits(std::string_view text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

std::string Serialize(const HttpAnswer& answer, Framing framing) {
  const bool bodyless = answer.status == 204 || answer.status == 304;
  std::string out;
  out.reserve(160 + answer.headers.size() + answer.body.size());
  out += "HTTP/1.1 ";
  out += std::to_string(answer.status);
  out += ' ';
  out += StatusText(answer.status);
  out += "\r\n";
  out += answer.headers;
  if (!bodyless) {
    if (*answer.contentType != '\0')
      out.append("Content-Type: ").append(answer.contentType) += "\r\n";
    out += "Content-Length: " + std::to_string(answer.body.size()) + "\r\n";
  }
  if (framing.close) {
    out += "Connection: close\r\n";
  } else if (framing.keepAlive10) {
    out += "Connection: keep-alive\r\n";
  }
  out += "\r\n";
  if (!bodyless && !framing.head) out += answer.body;
  return out;
}

void Framed::Count(boost::beast::http::field name, std::string_view value) {
  using boost::beast::http::field;
  if (name == field::host) ++hosts;
  if (name == field::transfer_encoding) ++encodings;
  if (name != field::content_length) return;
  ++lengths;
  badLength = badLength || !Digits(value);
}

const char* Framed::Problem(unsigned version, bool chunked) const {
  if (hosts > 1 || (hosts == 0 && version >= 11)) return "the request needs one Host";
  if (lengths > 1) return "the request has more than one Content-Length";
  if (badLength) return "the request has a bad Content-Length";
  if (encodings > 0 && !chunked) return "the request's body has no length";
  return nullptr;
}

}  // namespace skyloom
