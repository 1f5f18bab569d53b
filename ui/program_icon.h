#pragma once

#include <QIcon>

namespace skyloom {

// The program's icon in every size it was drawn for, from the compiled-in resources.
QIcon ProgramIcon();

}  // namespace skyloom
