#pragma once

#include <cstddef>

namespace skyloom {

// Raises the soft limit on open files to the hard one: every client of the API holds a
// descriptor, and the usual soft limit of 1024 is far below what the kernel allows.
void RaiseOpenFileLimit();

// Descriptors this process may still open under its soft limit.
std::size_t FreeDescriptors();

}  // namespace skyloom
