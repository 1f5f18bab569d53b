#include "platform/program_info.h"

#include <filesystem>
#include <system_error>

#include "build_config.h"

namespace skyloom {

QString VersionText() {
  return QStringLiteral("%1.%2.%3")
      .arg(build::kVersionMajor)
      .arg(build::kVersionMinor)
      .arg(build::kVersionRevision);
}

QString ProgramFolder() {
  std::error_code error;
  const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) return QStringLiteral(".");
  return QString::fromStdString(exe.parent_path().string());
}

}  // namespace skyloom
