#include "support/test_server.h"

#include <stdexcept>

namespace skyloom::test {

TestServer::TestServer() {
  // Recorded before the answer goes out, so a client holding the page finds its request.
  server_.set_pre_routing_handler([this](const httplib::Request& request, httplib::Response&) {
    {
      std::lock_guard lock(mutex_);
      lastTarget_ = request.target;
    }
    ++requests_;
    return httplib::Server::HandlerResponse::Unhandled;
  });
}

TestServer::~TestServer() {
  stopping_ = true;
  server_.stop();
  if (thread_.joinable()) thread_.join();
}

void TestServer::Start() {
  port_ = server_.bind_to_any_port("127.0.0.1");
  if (port_ <= 0) throw std::runtime_error("cannot bind a loopback port");
  thread_ = std::thread([this] { server_.listen_after_bind(); });
  // stop() is ignored until the server runs, and the destructor would then wait for ever.
  while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void TestServer::ServeBytes(const std::string& path, QByteArray bytes, int status) {
  server_.Get(path, [bytes = std::move(bytes), status](const httplib::Request&,
                                                       httplib::Response& response) {
    response.status = status;
    response.set_content(bytes.constData(), static_cast<size_t>(bytes.size()),
                         "text/html; charset=gb2312");
  });
}

QString TestServer::Url(const QString& path) const {
  return QStringLiteral("http://127.0.0.1:%1%2").arg(port_).arg(path);
}

std::string TestServer::LastTarget() const {
  std::lock_guard lock(mutex_);
  return lastTarget_;
}

}  // namespace skyloom::test
