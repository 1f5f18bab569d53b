#pragma once

#include <string>
#include <string_view>

namespace skyloom::test {

// A connected TCP socket to 127.0.0.1:`port`, bound first to the loopback address `from`
// (any of 127.0.0.0/8), or -1.
int ConnectLoopback(int port, const char* from = "127.0.0.1");

// What came back for `bytes` sent on a fresh connection, until the server closed it or
// `waitMs` passed; `closed` tells which.
struct RawExchange {
  std::string received;
  bool closed = false;
  int Status() const;  // of the first answer; 0 without one
  // The first answer's header `name` (as the server spelt it), or "<none>".
  std::string Header(std::string_view name) const;
  std::string Body() const;
};
RawExchange Exchange(int port, std::string_view bytes, int waitMs = 10'000);

// Appends what was sent and received to the file SKYLOOM_RECORD_ANSWERS names, if any, so that
// every answer can be checked against the API's description (check_openapi.py).
void Record(std::string_view sent, std::string_view received);

}  // namespace skyloom::test
