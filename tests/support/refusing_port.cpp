#include "support/refusing_port.h"

#include <unistd.h>

#include "support/loopback_socket.h"

namespace skyloom::test {

RefusingPort::RefusingPort() : socket_(BindLoopback(port_)) {}

RefusingPort::~RefusingPort() { ::close(socket_); }

}  // namespace skyloom::test
