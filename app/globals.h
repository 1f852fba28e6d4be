// Moved to system/globals.h, the bottom layer; this forwarding header keeps older includes
// building and goes once no file names it.
#pragma once

#include "system/globals.h"
