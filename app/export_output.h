#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QSaveFile>
#include <QString>
#include <memory>

namespace skyloom {

// Where an export's bytes go: standard output, or a file made beside its place and renamed
// into it at the end, so that a failed export never leaves half a file.
class ExportOutput final {
 public:
  enum class State { Open, ReaderGone, Failed };

  // An empty `file` is standard output.
  explicit ExportOutput(QString file);
  ~ExportOutput();
  Q_DISABLE_COPY_MOVE(ExportOutput)

  bool Open();
  // Collects bytes and writes them in large pieces; once not Open, drops them.
  void Write(QByteArrayView bytes);
  // Writes what is left and puts the file in place; false when anything failed.
  bool Finish();
  State state() const { return state_; }
  // Why the output failed, for a message.
  const QString& problem() const { return problem_; }

 private:
  void Flush();
  void Fail(QString problem);

  QString file_;
  std::unique_ptr<QSaveFile> saved_;
  QByteArray buffer_;
  State state_ = State::Open;
  QString problem_;
};

}  // namespace skyloom
