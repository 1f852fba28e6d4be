// Moved to system/unique_fd.h (Posix::UniqueFd); this forwarding header keeps older includes
// building and goes once no file names it.
#pragma once

#include "system/unique_fd.h"

namespace automation {
using Posix::UniqueFd;
} // namespace automation
