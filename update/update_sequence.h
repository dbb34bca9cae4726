// The Update button: confirmations, then the whole chain against the unit, then the outcome.
#pragma once

void runUpdate();
