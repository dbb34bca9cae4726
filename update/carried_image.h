// The firmware image the terminal flasher and the page carry, generated at build time from UPDATER_FIRMWARE_IMAGE.
#pragma once

#include <cstdint>

struct CarriedImage {
    const std::uint8_t* bytes;
    std::uint32_t size;
    bool placeholder;  // the repository's stand-in, told by its banner: never for flashing
};

extern const CarriedImage kCarriedImage;
