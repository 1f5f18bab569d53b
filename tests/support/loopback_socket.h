#pragma once

namespace skyloom::test {

// A TCP socket bound to a free port on 127.0.0.1; the port is written to `port`. Listening,
// or not, is the caller's choice. Throws when no port can be had.
int BindLoopback(int& port);

}  // namespace skyloom::test
