#pragma once

#include <netdb.h>

#include <QByteArray>
#include <condition_variable>
#include <memory>
#include <mutex>

namespace skyloom {

// The addresses of a host. A name lookup cannot be given a time limit, so it runs on a thread
// of its own, which a caller who stops waiting leaves behind; the answer frees itself when
// both are done with it.
struct NameLookup {
  std::mutex mutex;
  std::condition_variable finished;
  bool done = false;  // under `mutex`; the fields below are written before it turns true
  int error = 0;      // getaddrinfo's code
  addrinfo* addresses = nullptr;

  NameLookup() = default;
  ~NameLookup();
  NameLookup(const NameLookup&) = delete;
  NameLookup& operator=(const NameLookup&) = delete;
};

// Finished at once for an address in digits; otherwise started on a thread of its own.
std::shared_ptr<NameLookup> StartNameLookup(const QByteArray& host, quint16 port);

}  // namespace skyloom
