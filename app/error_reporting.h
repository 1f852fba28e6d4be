// Moved to system/error_reporting.h, the bottom layer; this forwarding header keeps older includes
// building and goes once no file names it.
#pragma once

#include "system/error_reporting.h"
