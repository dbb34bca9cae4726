// Opening a link: finds a programming unit among the present HID interfaces, or takes the one at
// a path, opens it into the link record and identifies it.
#pragma once

#include "link/link_result.h"

// Closes any link, finds the first programming unit among the present HID interfaces, opens it
// and identifies it. A unit whose identification fails stays open; the caller decides.
// kLinkInUse when no unit could be opened and one of them is held by another of our programs.
LinkResult openProgrammer();
// The same for one interface path: -4 when it cannot be opened or is no programming unit,
// kLinkInUse when another of our programs holds it.
LinkResult openProgrammerAt(const char16_t* path);
