// The running program's own path.
#pragma once
#include <string>

namespace nxr::os {

// Full path of the running program's executable; empty when it cannot be
// determined (the last-error value is then set).
std::string moduleFileName();

// The program's file name without folder and extension ("docseal").
std::string moduleBaseName();

} // namespace nxr::os
