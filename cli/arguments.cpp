#include "cli/arguments.h"

#include <cstring>

namespace {

// Options that take a value, as the next word or after '='.
struct ValueOption {
    const char* option;
    const char* withValue;
    const char* Arguments::*field;
    bool (*takenBy)(Verb verb);
};

bool takesUnit(Verb verb) { return verb == Verb::status || verb == Verb::update; }
bool takesRecord(Verb verb) { return verb == Verb::update; }

const ValueOption kValueOptions[] = {
    {"--unit", "--unit=", &Arguments::unitPath, takesUnit},
    {"--record", "--record=", &Arguments::recordPath, takesRecord},
};

struct VerbWord {
    const char* word;
    Verb verb;
};

const VerbWord kVerbs[] = {
    {"list", Verb::list},         {"status", Verb::status}, {"update", Verb::update},
    {"help", Verb::help},         {"--help", Verb::help},   {"-h", Verb::help},
    {"--version", Verb::version},
};

// Which command takes which flag, a row for each; --unit goes with status and update.
struct Flag {
    const char* option;
    bool Arguments::*field;
    Verb takenBy;
};

const Flag kFlags[] = {
    {"--json", &Arguments::json, Verb::list},
    {"--json", &Arguments::json, Verb::status},
    {"--yes", &Arguments::yes, Verb::update},
    {"--allow-downgrade", &Arguments::allowDowngrade, Verb::update},
    {"--wait", &Arguments::wait, Verb::update},
    {"--repeat", &Arguments::repeat, Verb::update},
};

Verb verbOf(const char* word) {
    for (const VerbWord& row : kVerbs)
        if (std::strcmp(row.word, word) == 0) return row.verb;
    return Verb::none;
}

bool isOption(const char* word) { return word[0] == '-'; }

ArgumentError fine() { return {Text::count, nullptr, nullptr}; }

}  // namespace

ArgumentError parseArguments(int count, const char* const* arguments, Arguments* parsed) {
    *parsed = {Verb::none, nullptr, nullptr, false, false, false, false, false};
    // --help and --version answer whatever else stands there.
    for (int i = 0; i < count; ++i) {
        const Verb verb = verbOf(arguments[i]);
        if (isOption(arguments[i]) && (verb == Verb::help || verb == Verb::version)) {
            parsed->verb = verb;
            return fine();
        }
    }
    if (count == 0) return {Text::noCommand, nullptr, nullptr};
    const char* command = arguments[0];
    parsed->verb = verbOf(command);
    if (parsed->verb == Verb::none) return {Text::unknownCommand, command, nullptr};

    for (int i = 1; i < count; ++i) {
        const char* word = arguments[i];
        const ValueOption* valueOption = nullptr;
        bool withValue = false;
        for (const ValueOption& row : kValueOptions) {
            if (!row.takenBy(parsed->verb)) continue;
            withValue = std::strncmp(word, row.withValue, std::strlen(row.withValue)) == 0;
            if (withValue || std::strcmp(word, row.option) == 0) {
                valueOption = &row;
                break;
            }
        }
        if (valueOption != nullptr) {
            const char* Arguments::*field = valueOption->field;
            if (parsed->*field != nullptr) return {Text::repeatedOption, valueOption->option, nullptr};
            // An option where the value should be means the value was forgotten.
            const char* value = withValue ? word + std::strlen(valueOption->withValue)
                                          : (i + 1 < count ? arguments[++i] : nullptr);
            if (value == nullptr || value[0] == '\0' || (!withValue && isOption(value)))
                return {Text::missingValue, valueOption->option, nullptr};
            parsed->*field = value;
            continue;
        }
        bool known = false;
        for (const Flag& flag : kFlags) {
            if (flag.takenBy != parsed->verb || std::strcmp(flag.option, word) != 0) continue;
            if (parsed->*flag.field) return {Text::repeatedOption, flag.option, nullptr};
            parsed->*flag.field = true;
            known = true;
        }
        if (!known) return {Text::unknownOption, word, command};
    }
    if (parsed->repeat) parsed->wait = true;
    return fine();
}
