// The flasher's exit codes, kept with the update chain's table of failed steps.
#pragma once

#include "update/exit_codes.h"
