#pragma once

#include <string>

namespace platform {

// Directory of the running executable, without a trailing separator; empty
// when it cannot be found.
std::string ExecutableDirectory();

}  // namespace platform
