// The window's catalogue texts the flasher shows too, generated at build time from
// resources/strings_en.rc and strings_de.rc, so both front ends say them word for word.
#pragma once

#include <cstddef>
#include <cstdint>

struct CatalogueText {
    std::uint32_t id;  // resources/resource_ids.h
    const char* english;
    const char* german;
};

extern const CatalogueText kCatalogueTexts[];
extern const std::size_t kCatalogueTextCount;
