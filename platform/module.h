// The running executable. The path is in the system code page.
#pragma once

#include <string>

namespace platform {

std::string ModuleFileName();  // full path of the running executable

}  // namespace platform
