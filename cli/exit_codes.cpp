#include "cli/exit_codes.h"

#include <iterator>

namespace {

constexpr std::uint32_t bitOf(UnitState state) { return 1u << static_cast<unsigned>(state); }
constexpr std::uint32_t bitOf(FlashStep step) { return 1u << static_cast<unsigned>(step); }
template <class... Values>
constexpr std::uint32_t bitsOf(Values... values) {
    return (0u | ... | bitOf(values));
}

constexpr ExitCodeRow kExitCodeTable[] = {
    {kExitSuccess, "success", "success", "Erfolg", bitsOf(UnitState::ready), 0},
    {kExitUsage, "usage", "bad usage: unknown command or option, missing value",
     "falscher Aufruf: unbekannter Befehl oder Option, fehlender Wert", 0, 0},
    {kExitNoUnit, "no-unit",
     "no programming unit found, none at the --unit path, or --unit names another device",
     "keine Programmiereinheit gefunden, keine unter dem Pfad von --unit, oder --unit nennt ein "
     "anderes Gerät",
     bitsOf(UnitState::noUnit, UnitState::notAUnit), 0},
    {kExitSeveralUnits, "several-units", "several units and no --unit",
     "mehrere Einheiten und kein --unit", bitsOf(UnitState::severalUnits), 0},
    {kExitCannotOpen, "cannot-open", "the unit cannot be opened (permission)",
     "die Einheit lässt sich nicht öffnen (Berechtigung)", bitsOf(UnitState::cannotOpen), 0},
    {kExitNotReady, "not-ready",
     "not ready: unit in the wrong mode, no updatable ESC, unit not identified",
     "nicht bereit: Einheit im falschen Modus, kein updatefähiger Regler, Einheit nicht erkannt",
     bitsOf(UnitState::wrongMode, UnitState::noUpdatableEsc, UnitState::unidentified), 0},
    {kExitIncompatible, "incompatible", "incompatible ESC type", "inkompatibler Reglertyp",
     bitsOf(UnitState::incompatibleEsc), 0},
    {kExitDeclined, "declined",
     "declined: not confirmed, no terminal and no --yes, or a downgrade without "
     "--allow-downgrade",
     "abgelehnt: nicht bestätigt, kein Terminal und kein --yes, oder ein Downgrade ohne "
     "--allow-downgrade",
     0, 0},
    {kExitInterrupted, "interrupted",
     "interrupted by Ctrl-C, SIGTERM or SIGHUP (on Linux the program ends by the signal)",
     "durch Strg+C, SIGTERM oder SIGHUP unterbrochen (unter Linux endet das Programm durch das "
     "Signal)",
     0, 0},
    // Asking the unit again before the lock is part of locking, to the user.
    {kExitLockFailed, "lock-failed", "the unit's system lock failed",
     "System-Lock der Einheit fehlgeschlagen", 0,
     bitsOf(FlashStep::reidentify, FlashStep::lock)},
    {kExitUnlockFailed, "unlock-failed", "opening the ESC flash failed",
     "Öffnen des Regler-Flash-Speichers fehlgeschlagen", 0, bitsOf(FlashStep::unlockFlash)},
    {kExitEraseFailed, "erase-failed", "erasing the old firmware failed",
     "Löschen der alten Firmware fehlgeschlagen", 0, bitsOf(FlashStep::erase)},
    {kExitAddressFailed, "address-failed", "setting the write address failed",
     "Setzen der Schreibadresse fehlgeschlagen", 0, bitsOf(FlashStep::setAddress)},
    {kExitBlockFailed, "block-failed", "writing a firmware block failed",
     "Schreiben eines Firmware-Blocks fehlgeschlagen", 0, bitsOf(FlashStep::transfer)},
    {kExitEscChanged, "esc-changed", "the ESC changed since it was confirmed; nothing was written",
     "der Regler hat sich seit der Bestätigung geändert; nichts wurde geschrieben", 0,
     bitsOf(FlashStep::escChanged)},
    {kExitInUse, "in-use", "the unit is in use by another program; nothing was sent",
     "die Einheit wird von einem anderen Programm benutzt; nichts wurde gesendet",
     bitsOf(UnitState::inUse), 0},
    {kExitCannotRecord, "cannot-record",
     "the --record file cannot be opened for appending; nothing was sent",
     "die Datei von --record lässt sich nicht zum Anhängen öffnen; nichts wurde gesendet", 0, 0},
};

// Each unit state and each step that can fail has exactly one code.
constexpr bool eachClaimedOnce() {
    std::uint32_t states = 0;
    std::uint32_t steps = 0;
    for (const ExitCodeRow& row : kExitCodeTable) {
        if ((states & row.states) != 0 || (steps & row.steps) != 0) return false;
        states |= row.states;
        steps |= row.steps;
    }
    const std::uint32_t everyState = bitOf(UnitState::ready) * 2 - 1;
    const std::uint32_t everyStep = (bitOf(FlashStep::transfer) * 2 - 1) & ~bitOf(FlashStep::none);
    return states == everyState && steps == everyStep;
}
static_assert(eachClaimedOnce(), "a unit state or a step without an exit code, or with two");

const ExitCodeRow* rowOf(int code) {
    for (const ExitCodeRow& row : kExitCodeTable)
        if (row.code == code) return &row;
    return nullptr;
}

}  // namespace

const ExitCodeRow* exitCodeRows(std::size_t* count) {
    *count = std::size(kExitCodeTable);
    return kExitCodeTable;
}

int exitCodeOf(UnitState state) {
    for (const ExitCodeRow& row : kExitCodeTable)
        if ((row.states & bitOf(state)) != 0) return row.code;
    return kExitNotReady;
}

int exitCodeOfStep(FlashStep step) {
    for (const ExitCodeRow& row : kExitCodeTable)
        if ((row.steps & bitOf(step)) != 0) return row.code;
    return kExitBlockFailed;
}

const char* exitCodeMeaning(int code, Language language) {
    const ExitCodeRow* row = rowOf(code);
    if (row == nullptr) return "";
    return language == Language::german ? row->german : row->english;
}
