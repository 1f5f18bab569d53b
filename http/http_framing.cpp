#include "http/http_framing.h"

#include <utility>

#include "http/query.h"

namespace skyloom {

Response MakeResponse(ServerAnswer answer, Framing framing) {
  namespace http = boost::beast::http;
  Response response{static_cast<http::status>(answer.status), 11};
  for (const auto& [name, value] : answer.headers) response.insert(name, value);
  if (framing.stream) {
    if (*answer.contentType != '\0') response.set(http::field::content_type, answer.contentType);
    response.chunked(framing.chunked);  // else the body lasts until the connection ends
    response.keep_alive(false);
    return response;
  }
  // A 204 or 304 carries no body headers at all, so the payload is not prepared for it.
  if (answer.status != 204 && answer.status != 304) {
    if (*answer.contentType != '\0') response.set(http::field::content_type, answer.contentType);
    response.body() = std::move(answer.body);
    response.prepare_payload();
    if (framing.head) response.body().clear();  // the length stays that of GET's body
  }
  response.keep_alive(!framing.close);
  if (framing.keepAlive10) response.set(http::field::connection, "keep-alive");
  return response;
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
