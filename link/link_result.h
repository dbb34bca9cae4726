// LinkResult: the signed result code every link operation returns.
#pragma once

#include <cstdint>

using LinkResult = std::int32_t;

constexpr LinkResult kLinkOk = 0;
constexpr LinkResult kLinkNoLink = -1;  // no link, or a precondition failed
constexpr LinkResult kLinkWriteFailed = -2;
constexpr LinkResult kLinkReadFailed = -3;
constexpr LinkResult kLinkNoUnit = -4;
constexpr LinkResult kLinkStopped = -5;  // the program was asked to stop between two steps
// Inside an update, an input report was queued that no request had asked for: the answer taken
// for the previous request may have been the wrong one.
constexpr LinkResult kLinkOutOfStep = -6;
// The only programming units present are held by another of our programs.
constexpr LinkResult kLinkInUse = -7;
constexpr LinkResult kLinkRefused = 1627;  // the unit refused a step in its status byte
