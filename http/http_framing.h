#pragma once

#include <boost/beast/http/field.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/string_body.hpp>
#include <cstddef>
#include <string>
#include <string_view>

#include "http/http_server.h"

namespace skyloom {

// How an answer goes out on its connection.
struct Framing {
  bool head = false;         // no body, whatever the answer holds
  bool close = false;        // the connection ends after this answer
  bool keepAlive10 = false;  // an HTTP/1.0 client asked to keep it
  bool chunked = false;      // the client reads chunks (HTTP/1.1)
  bool stream = false;       // the body follows piece by piece until the connection ends
};

using Response = boost::beast::http::response<boost::beast::http::string_body>;

// The answer as Beast writes it, with what Beast leaves to us: no body after HEAD, no body
// headers on a status without one, and keep-alive said to an HTTP/1.0 client.
Response MakeResponse(ServerAnswer answer, Framing framing);

// The fields that decide where a request ends and whom it is for, counted one by one.
struct Framed {
  std::size_t hosts = 0;
  std::size_t lengths = 0;
  std::size_t encodings = 0;
  bool badLength = false;

  void Count(boost::beast::http::field name, std::string_view value);
  // What makes the request's length uncertain, or its host unknown; nothing when all is well.
  const char* Problem(unsigned version, bool chunked) const;
};

}  // namespace skyloom
