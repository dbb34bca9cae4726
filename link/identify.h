// Identification: what the unit says of itself and of the ESC behind it, and what that allows.
#pragma once

#include <cstdint>

#include "link/link_result.h"
#include "link/programmer_link.h"

// Runs once per opening of a link, right after the device was opened (link/open_link.h).
LinkResult identifyProgrammer();
// The identification requests alone, on the open link, with what they learn written into `into`
// (its identification fields start from zero): asking the unit again what is behind it now.
LinkResult askIdentity(ProgrammerLink& into);

// What the open link allows, judged from what its identification learnt; the first that holds
// decides. Only `ready` may be written to.
enum class LinkReadiness { noUnit, wrongMode, noUpdatableEsc, incompatibleEsc, ready };
LinkReadiness linkReadiness();
LinkReadiness linkReadinessOf(const ProgrammerLink& link);
bool isSupportedEscType(std::uint32_t typeId);

// The same unit (product, mode, version) with the same ESC behind it (state, type, bootloader
// and firmware versions), as far as identification can tell: another ESC of the same type with
// the same versions cannot be told apart.
bool sameUnitAndEsc(const ProgrammerLink& a, const ProgrammerLink& b);
