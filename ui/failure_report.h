// The one way a failed update ends: link dropped, one error box, a guidance text.
#pragma once

#include <cstdint>

#include "link/link_result.h"

// `code` -1 shows `text` alone; any other code adds a line with it and `systemError`.
void reportFailure(const wchar_t* text, const wchar_t* caption, LinkResult code,
                   std::uint32_t systemError);
