#pragma once

#include <boost/beast/http/field.hpp>
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
};

// The answer as bytes: status line, headers, and the body unless the request was HEAD or the
// status has none.
std::string Serialize(const HttpAnswer& answer, Framing framing);

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
