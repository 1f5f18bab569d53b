#include "support/recorded_page.h"

namespace skyloom::test {

RecordedPage::RecordedPage(TestServer& server, const std::string& path, QByteArray bytes) {
  server.Http().Get(path, [this, bytes = std::move(bytes)](const httplib::Request& request,
                                                           httplib::Response& response) {
    {
      std::lock_guard lock(mutex_);
      targets_.push_back(request.target);
    }
    response.set_content(bytes.constData(), static_cast<size_t>(bytes.size()),
                         "text/html; charset=gb2312");
  });
}

std::vector<std::string> RecordedPage::Targets() const {
  std::lock_guard lock(mutex_);
  return targets_;
}

}  // namespace skyloom::test
