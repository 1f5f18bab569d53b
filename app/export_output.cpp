#include "app/export_output.h"

#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

namespace skyloom {
namespace {

// Large enough that the writes cost nothing beside the reads, small enough to stay flat.
constexpr qsizetype kPieceBytes = qsizetype{1} << 16;

// QSaveFile says "Unknown error" for a full disk; the system's own word is clearer.
QString Reason(const QSaveFile& file, int error) {
  if (error != 0) return QString::fromLocal8Bit(std::strerror(error));
  return file.errorString();
}

}  // namespace

ExportOutput::ExportOutput(QString file) : file_(std::move(file)) {
  buffer_.reserve(kPieceBytes * 2);
}

// A QSaveFile that was never committed removes its temporary file.
ExportOutput::~ExportOutput() = default;

bool ExportOutput::Open() {
  if (file_.isEmpty()) {
    // A reader that goes away (| head) is told apart by EPIPE, not killed mid-write.
    std::signal(SIGPIPE, SIG_IGN);
    return true;
  }
  saved_ = std::make_unique<QSaveFile>(file_);
  if (!saved_->open(QIODevice::WriteOnly)) {
    Fail(QStringLiteral("cannot write %1: %2").arg(file_, saved_->errorString()));
    return false;
  }
  return true;
}

void ExportOutput::Write(QByteArrayView bytes) {
  if (state_ != State::Open) return;
  buffer_.append(bytes);
  if (buffer_.size() >= kPieceBytes) Flush();
}

void ExportOutput::Flush() {
  if (state_ != State::Open || buffer_.isEmpty()) return;
  if (saved_) {
    errno = 0;
    if (saved_->write(buffer_) != buffer_.size()) {
      Fail(QStringLiteral("cannot write %1: %2").arg(file_, Reason(*saved_, errno)));
    }
    buffer_.clear();
    return;
  }
  const char* next = buffer_.constData();
  qsizetype left = buffer_.size();
  while (left > 0) {
    const ssize_t written = ::write(STDOUT_FILENO, next, static_cast<size_t>(left));
    if (written < 0 && errno == EINTR) continue;
    if (written < 0) {
      if (errno == EPIPE) {
        state_ = State::ReaderGone;
      } else {
        Fail(QStringLiteral("cannot write to standard output: %1")
                 .arg(QString::fromLocal8Bit(std::strerror(errno))));
      }
      break;
    }
    next += written;
    left -= written;
  }
  buffer_.clear();
}

bool ExportOutput::Finish() {
  Flush();
  if (state_ != State::Open) return false;
  errno = 0;
  if (saved_ && !saved_->commit()) {
    Fail(QStringLiteral("cannot write %1: %2").arg(file_, Reason(*saved_, errno)));
    return false;
  }
  return true;
}

void ExportOutput::Fail(QString problem) {
  state_ = State::Failed;
  problem_ = std::move(problem);
  if (saved_) saved_->cancelWriting();
}

}  // namespace skyloom
