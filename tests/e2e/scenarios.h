// The end-to-end scenarios: one row per situation a user meets, run against the shipped program.
#pragma once

#include <string>
#include <vector>

#include "tests/e2e/steps.h"

struct Scenario {
    std::string name;
    handwritten::Language language;
    // Control commands for the unit server before the program starts ("plug unit esc=1",
    // "fault unit 0b 1 refusal"); the server is reset before each scenario.
    std::vector<std::string> before;
    std::vector<Step> steps;
    // Rows that take a second full-length update are left out unless asked for by name or --all.
    bool slow = false;
    // The program is started by a step of the row (programStarts), not before the first step.
    bool startedBySteps = false;
};

const std::vector<Scenario>& scenarios();

// The situations run-with-unit.sh shows a user, each by the row that plays it: "ready" is the
// whole update, "no-unit" the start without a unit.
struct Situation {
    const char* name;
    const char* row;
};

const std::vector<Situation>& situations();

// The row a situation names, or the row of that exact name; nullptr when there is none.
const Scenario* findScenario(const std::string& situationOrRow);
