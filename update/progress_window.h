// The block transfer behind a small progress window centred on the main dialog.
#pragma once

#include <windows.h>

#include <cstdint>

#include "update/block_transfer.h"

constexpr int kProgressWidth = 400;
constexpr int kProgressHeight = 50;

// Creates the progress window owned by `owner`, streams the image and destroys the window again,
// on success and on failure alike.
TransferOutcome transferImage(HWND owner, const std::uint8_t* image, std::uint32_t size);
