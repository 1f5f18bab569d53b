// Bytes from a client, one request or several on one connection, to the real API over a small
// SQLite store: every answer must be HTTP/1.1 whose length a client can tell.

#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QString>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "acquisition/fetch_result.h"
#include "fuzz_failure.h"
#include "platform/clock.h"
#include "serving/http_api.h"
#include "serving/metrics.h"
#include "store/open_store.h"

namespace skyloom {
namespace {

// Past this quiet a held answer (a long poll, a stream) is cut; what came so far is checked.
constexpr int kQuietMs = 100;
constexpr auto kMostPerInput = std::chrono::seconds(2);

class FixedClock final : public Clock {
 public:
  QDateTime Now() const override { return QDateTime(QDate(2026, 3, 1), QTime(7, 30)); }
};

// The API, once per process, over a scratch file that goes when the process ends.
int Port() {
  static const int port = [] {
    static char directory[] = "/tmp/skyloom-fuzz-XXXXXX";
    if (!::mkdtemp(directory)) fuzz::Fail("no scratch directory");
    static const std::string file = std::string(directory) + "/skyloom.db";
    std::atexit([] {
      ::unlink(file.c_str());
      ::rmdir(directory);
    });
    const QString location = QString::fromStdString(file);
    {
      const auto store = OpenStore(location);
      for (const char* text : {"晴，东风3级", "多云转小雨&nbsp;", "阴"}) {
        if (store->Record(FetchResult{0, {}, QString::fromUtf8(text)}).error) {
          fuzz::Fail("the scratch store cannot be written");
        }
      }
      store->Record(FetchResult{7, QStringLiteral("Could not connect to server"), {}});
    }
    // The API's threads need an application object, as the program has.
    static int argc = 1;
    static char name[] = "fuzz_request_path";
    static char* argv[] = {name, nullptr};
    static QCoreApplication application(argc, argv);
    static Metrics metrics;
    static FixedClock clock;
    // Serves until the process exits, and is stopped before the statics it uses go.
    static HttpApi* const api = new HttpApi(location, PgLimits{}, metrics, clock);
    const auto bound = api->Start(QStringLiteral("127.0.0.1:0"));
    if (!bound) fuzz::Fail("the API does not start");
    std::atexit([] { api->Stop(); });
    return bound->section(u':', -1).toInt();
  }();
  return port;
}

[[noreturn]] void Fail(const char* what, std::string_view received) {
  std::fprintf(stderr, "%s in:\n%.*s\n", what, static_cast<int>(received.size()), received.data());
  fuzz::Fail(what);
}

// From each of 127.0.1.1 to 127.0.1.250 in turn: the long polls a run leaves waiting would
// soon fill one address's share of connections, and every input after would be refused.
int Connect(int port) {
  static unsigned next = 0;
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(0x7f000101 + next++ % 250);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    fuzz::Fail("cannot bind a loopback address");
  }
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    fuzz::Fail("cannot connect to the API");
  }
  return fd;
}

void Lower(std::string& text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}

struct Head {
  int status = 0;
  int lengths = 0;
  std::size_t length = 0;
  bool chunked = false;
  bool close = false;
  bool stream = false;  // text/event-stream
};

// An answer's head, its blank line aside; Fails on a malformed one.
Head ReadHead(std::string_view head, std::string_view received) {
  Head parsed;
  if (!head.starts_with("HTTP/1.1 ") || head.size() < 13 || head[12] != ' ') {
    Fail("an answer without an HTTP/1.1 status line", received);
  }
  for (int i = 9; i < 12; ++i) {
    if (head[i] < '0' || head[i] > '9') Fail("a status that is not three digits", received);
    parsed.status = parsed.status * 10 + (head[i] - '0');
  }
  if (parsed.status < 100 || parsed.status > 599) Fail("a status out of range", received);
  for (std::size_t line = head.find("\r\n"); line != std::string_view::npos;) {
    const std::size_t next = head.find("\r\n", line + 2);
    const std::string_view field = head.substr(line + 2, next - line - 2);
    line = next;
    if (field.empty()) continue;
    const std::size_t colon = field.find(':');
    if (colon == std::string_view::npos || colon == 0) Fail("a header without a name", received);
    std::string name(field.substr(0, colon));
    std::string value(field.substr(colon + 1));
    while (value.starts_with(' ')) value.erase(0, 1);
    Lower(name);
    Lower(value);
    if (name == "content-length") {
      ++parsed.lengths;
      if (value.empty() || value.find_first_not_of("0123456789") != std::string::npos) {
        Fail("a Content-Length that is not a number", received);
      }
      parsed.length = std::stoul(value);
    }
    if (name == "transfer-encoding") parsed.chunked = value == "chunked";
    if (name == "transfer-encoding" && !parsed.chunked) Fail("an unknown coding", received);
    if (name == "connection") parsed.close = value == "close";
    if (name == "content-type") parsed.stream = value.starts_with("text/event-stream");
  }
  if (parsed.lengths > 1) Fail("more than one Content-Length", received);
  if (parsed.lengths > 0 && parsed.chunked) Fail("both a length and chunks", received);
  return parsed;
}

// Where the chunked body at `at` ends; npos when it stops before its last chunk, at a chunk's
// end (`whole`) or inside one.
std::size_t SkipChunks(std::string_view text, std::size_t at, bool& whole) {
  whole = true;
  for (;;) {
    const std::size_t line = text.find("\r\n", at);
    if (line == std::string_view::npos) return whole = at == text.size(), std::string_view::npos;
    const std::string_view size = text.substr(at, line - at);
    if (size.empty() || size.size() > 8 ||
        size.find_first_not_of("0123456789abcdefABCDEF") != std::string_view::npos) {
      Fail("a chunk size that is not hex", text);
    }
    const std::size_t bytes = std::stoul(std::string(size), nullptr, 16);
    at = line + 2;
    if (bytes == 0) {
      // No trailers are ever sent: the last chunk ends with a blank line.
      if (text.size() < at + 2) return whole = false, std::string_view::npos;
      if (text.substr(at, 2) != "\r\n") Fail("a last chunk without its blank line", text);
      return at + 2;
    }
    if (text.size() < at + bytes + 2) return whole = false, std::string_view::npos;
    if (text.substr(at + bytes, 2) != "\r\n") Fail("a chunk longer than its size", text);
    at += bytes + 2;
  }
}

// Every answer in `received` is whole and framed; when `cut` (the client stopped reading), the
// last may be unfinished.
void CheckAnswers(std::string_view received, bool cut) {
  for (std::size_t at = 0; at < received.size();) {
    const std::size_t end = received.find("\r\n\r\n", at);
    if (end == std::string_view::npos) {
      if (cut) return;
      Fail("an answer's head is cut off", received);
    }
    const Head head = ReadHead(received.substr(at, end + 2 - at), received);
    at = end + 4;
    const std::string_view rest = received.substr(at);
    if (head.status < 200 || head.status == 204 || head.status == 304) {
      if (head.lengths > 0 || head.chunked) Fail("a length on an answer with no body", received);
    } else if (head.chunked) {
      bool whole = false;
      at = SkipChunks(received, at, whole);
      // A stream the server ends mid-write has no last chunk: the close ends it.
      if (at == std::string_view::npos) {
        if (cut || (head.stream && whole)) return;
        Fail("chunks cut off", received);
      }
    } else if (head.lengths > 0) {
      // A HEAD answer has the length of GET's body and no body: the next answer starts at once.
      const bool headAnswer = head.length > 0 && (rest.empty() || rest.starts_with("HTTP/1.1 "));
      if (!headAnswer && rest.size() < head.length) {
        if (cut) return;
        Fail("a body shorter than its Content-Length", received);
      }
      if (!headAnswer) at += head.length;
    } else {
      // Only a stream to an HTTP/1.0 client runs to the close, and says so.
      if (!head.stream || !head.close) Fail("a body with no length", received);
      return;
    }
    if (head.close && at < received.size()) Fail("bytes after the last answer", received);
  }
}

}  // namespace
}  // namespace skyloom

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace skyloom;
  const int fd = Connect(Port());
  // The end of the input is the end of what the client sends: a head it cut short is closed.
  if (::send(fd, data, size, MSG_NOSIGNAL) != static_cast<ssize_t>(size)) {
    ::close(fd);
    return 0;
  }
  ::shutdown(fd, SHUT_WR);
  std::string received;
  bool cut = true;
  const auto deadline = std::chrono::steady_clock::now() + kMostPerInput;
  for (pollfd ready{fd, POLLIN, 0};
       std::chrono::steady_clock::now() < deadline && ::poll(&ready, 1, kQuietMs) > 0;) {
    char chunk[16384];
    const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) {
      cut = n < 0;  // a reset may take what was under way with it
      break;
    }
    received.append(chunk, static_cast<std::size_t>(n));
  }
  ::close(fd);
  CheckAnswers(received, cut);
  return 0;
}
