// How a found unit reads: the version rows, the hint (the window's where it says the same),
// the JSON of `status --json` and `list --json`, and the line `list` prints for each unit.
#pragma once

#include "cli/cli.h"
#include "cli/unit_finding.h"
#include "link/version_text.h"

// The one ESC type this program is for; the window keeps it as a wide literal, plain ASCII.
void supportedTypeName(char (&name)[kVersionTextChars]);

// An ESC firmware version as JSON writes it: null where the window shows its row of dashes (the
// ESC holds no firmware).
const char* jsonEscVersion(std::uint16_t version, char (&text)[kVersionTextChars]);

// The unit's row, and the ESC's two when identification read them; from the open link. False
// when there was nothing to show.
bool putVersionRows(const TextSink& sink, const Finding& finding, Language language);
// The ESC's row alone, as the link record holds it.
void putEscRow(const TextSink& sink, Language language);
// What the finding means and what to do, as the window's hint panel and boxes would say it.
void putExplanation(const TextSink& sink, const Finding& finding, const CliSetting& setting);
// One object on one line, from the open link; its fields are described in
// docs/zirvano-flash-json.md and checked against docs/zirvano-flash.schema.json.
void putStatusJson(const TextSink& sink, const Finding& finding, const CliSetting& setting);
// An array of those objects, one a line, in the survey's order: each unit is looked at again
// as `status --unit PATH` would, and no link is left open.
void putListJson(const TextSink& sink, const UnitSurvey& survey, const CliSetting& setting);
void putListLine(const TextSink& sink, const UnitSighting& sighting, Language language);
// The udev rule and how to install it, when a unit could not be opened for lack of permission.
void putPermissionHint(const TextSink& sink, const CliSetting& setting);
