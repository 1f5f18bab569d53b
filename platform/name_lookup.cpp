#include "platform/name_lookup.h"

#include <sys/socket.h>

#include <thread>

namespace skyloom {

NameLookup::~NameLookup() {
  if (addresses) ::freeaddrinfo(addresses);
}

std::shared_ptr<NameLookup> StartNameLookup(const QByteArray& host, quint16 port) {
  auto lookup = std::make_shared<NameLookup>();
  const QByteArray service = QByteArray::number(port);
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
  if (::getaddrinfo(host.constData(), service.constData(), &hints, &lookup->addresses) == 0) {
    lookup->done = true;
    return lookup;
  }
  lookup->addresses = nullptr;
  std::thread([lookup, host, service, hints]() mutable {
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* addresses = nullptr;
    const int error = ::getaddrinfo(host.constData(), service.constData(), &hints, &addresses);
    const std::scoped_lock lock(lookup->mutex);
    lookup->error = error;
    lookup->addresses = addresses;
    lookup->done = true;
    lookup->finished.notify_all();
  }).detach();
  return lookup;
}

}  // namespace skyloom
