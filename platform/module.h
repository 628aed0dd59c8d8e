// The running executable.
#pragma once

#include <string>

namespace platform {

std::string ModuleFileName();  // full path of the running executable

}  // namespace platform
