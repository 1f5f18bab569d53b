#include "ui/program_icon.h"

namespace skyloom {

QIcon ProgramIcon() {
  QIcon icon;
  for (const int size : {16, 32, 48, 96, 128}) {
    icon.addFile(QStringLiteral(":/icons/skyloom-%1.png").arg(size), QSize(size, size));
  }
  return icon;
}

}  // namespace skyloom
