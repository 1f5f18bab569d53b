#pragma once

namespace skyloom::test {

// A loopback port that is bound but not listening: connections to it are refused, and no
// other program can start listening on it while the test holds it.
class RefusingPort final {
 public:
  RefusingPort();
  ~RefusingPort();
  RefusingPort(const RefusingPort&) = delete;
  RefusingPort& operator=(const RefusingPort&) = delete;

  int Port() const { return port_; }

 private:
  int port_ = 0;  // before socket_, which fills it in
  int socket_ = -1;
};

}  // namespace skyloom::test
