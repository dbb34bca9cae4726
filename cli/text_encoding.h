// Device paths come from the seam in UTF-16 and go to the terminal in UTF-8, and back for --unit:
// the link's conversion, in its lenient form (a broken sequence shows as U+FFFD).
#pragma once

#include "link/text_utf.h"
