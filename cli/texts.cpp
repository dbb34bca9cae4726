#include "cli/texts.h"

#include <cstddef>

#include "cli/catalogue.h"

namespace {

struct OwnText {
    Text id;
    const char* english;
    const char* german;
};

// In the order of Text; checked below.
constexpr OwnText kOwnTexts[] = {
    {Text::help,
     "zirvano-flash %u.%u: installs the firmware it carries into a TESSERAN %s speed\n"
     "controller (ESC) through a TAVILINK or ZELQUAD programming unit.\n"
     "\n"
     "Usage:\n"
     "  zirvano-flash list [--json]\n"
     "  zirvano-flash status [--unit PATH] [--json]\n"
     "  zirvano-flash update [--unit PATH] [--yes] [--allow-downgrade] [--wait [--repeat]]\n"
     "                      [--record FILE]\n"
     "  zirvano-flash --help | --version\n"
     "\n"
     "Commands:\n"
     "  list     every attached programming unit: path, name, version, state\n"
     "  status   the unit, its ESC, the three versions and whether an update can run\n"
     "  update   installs the firmware; asks first, on a terminal\n"
     "\n"
     "Options:\n"
     "  --unit PATH         the unit to use when several are attached (paths as list shows)\n"
     "  --json              status as one JSON object, list as an array of them, one per unit\n"
     "                      ([] when there is none): state, exitCode, path, unit, versions\n"
     "                      and hint, null where nothing is known (docs/zirvano-flash-json.md)\n"
     "  --yes               confirms the update in advance; needed without a terminal\n"
     "  --allow-downgrade   installs even when the ESC runs this version or a newer one\n"
     "  --wait              waits until a unit with an ESC to update is there, then updates it\n"
     "  --repeat            a series, with --wait: after each ESC waits until it is\n"
     "                      disconnected, then takes the next; one line per ESC on stdout;\n"
     "                      an ESC that runs this version is skipped, another type refused;\n"
     "                      Ctrl-C while waiting ends the series with a summary (exit code:\n"
     "                      the first failure's, 7 when an ESC was refused, else 0); the\n"
     "                      series holds the unit until it ends\n"
     "  --record FILE       appends one JSON line per ESC identified: unit, serial number,\n"
     "                      versions, outcome, exit code (docs/zirvano-flash-record.md)\n"
     "\n"
     "A hang-up (SIGHUP: the terminal went away) counts as one Ctrl-C.\n"
     "Ctrl-C before the old firmware is erased stops the update and leaves the ESC as it was.\n"
     "After the erase the transfer goes on to the end unless Ctrl-C is pressed again (SIGTERM:\n"
     "at once); it then stops between two blocks and the ESC must be updated again.\n"
     "\n"
     "Exit codes:\n",
     "zirvano-flash %u.%u: installiert die mitgebrachte Firmware über eine Programmiereinheit\n"
     "TAVILINK oder ZELQUAD in einen TESSERAN-Regler %s.\n"
     "\n"
     "Aufruf:\n"
     "  zirvano-flash list [--json]\n"
     "  zirvano-flash status [--unit PFAD] [--json]\n"
     "  zirvano-flash update [--unit PFAD] [--yes] [--allow-downgrade] [--wait [--repeat]]\n"
     "                      [--record DATEI]\n"
     "  zirvano-flash --help | --version\n"
     "\n"
     "Befehle:\n"
     "  list     jede angeschlossene Programmiereinheit: Pfad, Name, Version, Zustand\n"
     "  status   die Einheit, ihr Regler, die drei Versionen und ob ein Update laufen kann\n"
     "  update   installiert die Firmware; fragt vorher nach, an einem Terminal\n"
     "\n"
     "Optionen:\n"
     "  --unit PFAD         die Einheit, wenn mehrere angeschlossen sind (Pfade wie bei list)\n"
     "  --json              status als ein JSON-Objekt, list als Array solcher Objekte, eines je\n"
     "                      Einheit ([], wenn keine da ist): state, exitCode, path, unit,\n"
     "                      Versionen und hint, null, wo nichts bekannt ist\n"
     "                      (docs/zirvano-flash-json.md)\n"
     "  --yes               bestätigt das Update im Voraus; nötig ohne Terminal\n"
     "  --allow-downgrade   installiert auch, wenn der Regler diese oder eine neuere Version hat\n"
     "  --wait              wartet, bis eine Einheit mit einem Regler zum Aktualisieren da ist,\n"
     "                      und aktualisiert ihn\n"
     "  --repeat            eine Serie, mit --wait: wartet nach jedem Regler, bis er abgezogen\n"
     "                      ist, und nimmt dann den nächsten; eine Zeile je Regler auf stdout;\n"
     "                      ein Regler mit dieser Version wird übersprungen, ein anderer Typ\n"
     "                      abgelehnt; Strg+C beim Warten beendet die Serie mit einer Bilanz\n"
     "                      (Rückgabewert: der des ersten Fehlers, 7 bei einem abgelehnten\n"
     "                      Regler, sonst 0); die Serie hält die Einheit, bis sie endet\n"
     "  --record DATEI      hängt je erkanntem Regler eine JSON-Zeile an: Einheit,\n"
     "                      Seriennummer, Versionen, Ergebnis, Rückgabewert\n"
     "                      (docs/zirvano-flash-record.md)\n"
     "\n"
     "Ein Auflegen (SIGHUP: das Terminal ist weg) zählt wie ein Strg+C.\n"
     "Strg+C vor dem Löschen der alten Firmware hält das Update an; der Regler bleibt, wie er\n"
     "war. Nach dem Löschen läuft die Übertragung zu Ende, außer Strg+C wird erneut gedrückt\n"
     "(SIGTERM: sofort); dann hält sie zwischen zwei Blöcken an und der Regler muss erneut\n"
     "aktualisiert werden.\n"
     "\n"
     "Rückgabewerte:\n"},
    {Text::version, "zirvano-flash %u.%u (TESSERAN %s)", "zirvano-flash %u.%u (TESSERAN %s)"},
    {Text::placeholder, "This program carries a placeholder image, not for flashing.",
     "Dieses Programm enthält ein Platzhalter-Abbild, nicht zum Flashen."},
    {Text::usageError, "zirvano-flash: %s\nRun 'zirvano-flash --help' for usage.",
     "zirvano-flash: %s\n'zirvano-flash --help' zeigt den Aufruf."},
    {Text::noCommand, "no command given", "kein Befehl angegeben"},
    {Text::unknownCommand, "unknown command '%s'", "unbekannter Befehl '%s'"},
    {Text::unknownOption, "unknown option '%s' for %s", "unbekannte Option '%s' für %s"},
    {Text::missingValue, "option %s needs a value", "Option %s braucht einen Wert"},
    {Text::repeatedOption, "option %s given twice", "Option %s doppelt angegeben"},
    {Text::deviceListUnreadable, "The list of HID devices cannot be read (system error %u).",
     "Die Liste der HID-Geräte lässt sich nicht lesen (Systemfehler %u)."},
    {Text::severalUnits, "Several programming units are attached. Choose one with --unit PATH:",
     "Mehrere Programmiereinheiten sind angeschlossen. Wählen Sie eine mit --unit PFAD:"},
    {Text::notAUnit, "%s is no programming unit.", "%s ist keine Programmiereinheit."},
    {Text::noUnitAt, "No programming unit at %s.", "Keine Programmiereinheit unter %s."},
    {Text::cannotOpen, "The programming unit %s cannot be opened (system error %u).",
     "Die Programmiereinheit %s lässt sich nicht öffnen (Systemfehler %u)."},
    {Text::cannotOpenPermission,
     "The programming unit %s cannot be opened: permission denied (system error %u).",
     "Die Programmiereinheit %s lässt sich nicht öffnen: keine Berechtigung (Systemfehler %u)."},
    {Text::udevHint,
     "Allow access with the udev rule %s from the source tree, then plug the unit in again:\n"
     "  %s",
     "Erlauben Sie den Zugriff mit der udev-Regel %s aus dem Quellbaum und stecken Sie die "
     "Einheit neu ein:\n"
     "  %s"},
    {Text::unidentified, "The programming unit %s could not be identified: %s.",
     "Die Programmiereinheit %s ließ sich nicht erkennen: %s."},
    {Text::reasonResult, "identification failed with result %d",
     "Erkennung mit Ergebnis %d fehlgeschlagen"},
    {Text::reasonLengths, "its reports cannot carry an update (output %u bytes, input %u bytes)",
     "ihre Reports können kein Update tragen (Ausgabe %u Bytes, Eingabe %u Bytes)"},
    {Text::reasonCapabilities, "its report lengths cannot be read",
     "ihre Report-Längen lassen sich nicht lesen"},
    {Text::listCannotOpen, "cannot be opened (system error %u)",
     "lässt sich nicht öffnen (Systemfehler %u)"},
    {Text::listPermission, "cannot be opened: permission denied (system error %u)",
     "lässt sich nicht öffnen: keine Berechtigung (Systemfehler %u)"},
    {Text::listUnidentified, "not identified: %s", "nicht erkannt: %s"},
    {Text::stateReady, "ready", "bereit"},
    {Text::stateWrongMode, "in the wrong mode", "im falschen Modus"},
    {Text::stateNoUpdatableEsc, "no updatable ESC", "kein updatefähiger Regler"},
    {Text::stateIncompatible, "incompatible ESC (type %08X)", "inkompatibler Regler (Typ %08X)"},
    {Text::readyHint, "Ready: 'zirvano-flash update' installs ESC firmware %s.",
     "Bereit: 'zirvano-flash update' installiert die Regler-Firmware %s."},
    {Text::downgradeRefused,
     "The ESC runs firmware %s; this program carries %s. To install it all the same, run the "
     "update with --allow-downgrade. Nothing was sent.",
     "Der Regler hat die Firmware %s; dieses Programm bringt %s mit. Um sie dennoch zu "
     "installieren, starten Sie das Update mit --allow-downgrade. Es wurde nichts gesendet."},
    {Text::confirmPrompt, "Start the update? [y/N] ", "Update starten? [j/N] "},
    {Text::answerYesShort, "y", "j"},
    {Text::answerYesLong, "yes", "ja"},
    {Text::declined, "No update; nothing was sent.", "Kein Update; es wurde nichts gesendet."},
    {Text::noTerminal,
     "No terminal to confirm the update on: run it with --yes to confirm in advance. Nothing "
     "was sent.",
     "Kein Terminal, um das Update zu bestätigen: starten Sie es mit --yes, um im Voraus zu "
     "bestätigen. Es wurde nichts gesendet."},
    {Text::stoppedBeforeSending, "Stopped before anything was sent; the ESC is unchanged.",
     "Angehalten, bevor etwas gesendet wurde; der Regler ist unverändert."},
    {Text::stoppedBetweenBlocks,
     "Stopped between two blocks. The ESC holds no complete firmware now and must be updated "
     "again: zirvano-flash update",
     "Zwischen zwei Blöcken angehalten. Der Regler hat jetzt keine vollständige Firmware und "
     "muss erneut aktualisiert werden: zirvano-flash update"},
    {Text::stoppedBeforeErase,
     "Stopped before the erase: the write protection and the unit's lock were given back; the "
     "ESC is unchanged.",
     "Vor dem Löschen angehalten: Schreibschutz und Sperre der Einheit wurden zurückgegeben; der "
     "Regler ist unverändert."},
    {Text::finishingTransfer,
     "The old firmware is erased: the transfer goes on to the end so that the ESC has firmware "
     "again. Press Ctrl-C once more to stop at once.",
     "Die alte Firmware ist gelöscht: die Übertragung läuft zu Ende, damit der Regler wieder "
     "Firmware hat. Erneut Strg+C drücken, um sofort anzuhalten."},
    {Text::escChanged,
     "The ESC on the unit is no longer the one confirmed: nothing was locked or written. Now "
     "connected:",
     "Der Regler an der Einheit ist nicht mehr der bestätigte: nichts wurde gesperrt oder "
     "geschrieben. Jetzt angeschlossen:"},
    {Text::inUse,
     "The programming unit %s is in use by another program; nothing was sent to it. Try again "
     "when that program has finished.",
     "Die Programmiereinheit %s wird von einem anderen Programm benutzt; es wurde nichts an sie "
     "gesendet. Versuchen Sie es erneut, wenn jenes Programm fertig ist."},
    {Text::listInUse, "in use by another program", "von einem anderen Programm belegt"},
    {Text::seriesConfirmPrompt,
     "Update every ESC connected from now on, one after another, until Ctrl-C? [y/N] ",
     "Jeden ab jetzt angeschlossenen Regler nacheinander aktualisieren, bis Strg+C? [j/N] "},
    {Text::waitConfirmPrompt, "Update the next ESC connected? [y/N] ",
     "Den nächsten angeschlossenen Regler aktualisieren? [j/N] "},
    {Text::seriesWaitingForEsc, "Waiting for an ESC to update (Ctrl-C ends). Unit: %s",
     "Warte auf einen Regler zum Aktualisieren (Strg+C beendet). Einheit: %s"},
    {Text::seriesWaitingForDeparture,
     "Disconnect the ESC to go on with the next one (Ctrl-C ends). Unit: %s",
     "Regler abziehen, um mit dem nächsten weiterzumachen (Strg+C beendet). Einheit: %s"},
    {Text::seriesNoUnit, "none attached", "keine angeschlossen"},
    {Text::seriesSeveralUnits, "several attached, name one with --unit",
     "mehrere angeschlossen, eine mit --unit wählen"},
    {Text::seriesNotAUnit, "--unit names another device", "--unit nennt ein anderes Gerät"},
    {Text::seriesUpdated, "ESC %u: updated to %s.", "Regler %u: auf %s aktualisiert."},
    {Text::seriesSkipped, "ESC %u: skipped, it already runs %s.",
     "Regler %u: übersprungen, er hat bereits %s."},
    {Text::seriesRefused, "ESC %u: refused, type %08X is no %s; nothing was written.",
     "Regler %u: abgelehnt, Typ %08X ist kein %s; nichts wurde geschrieben."},
    {Text::seriesFailed, "ESC %u: failed, exit code %d.", "Regler %u: fehlgeschlagen, Rückgabewert %d."},
    {Text::seriesTally, "  [%u updated, %u skipped, %u refused, %u failed]",
     "  [%u aktualisiert, %u übersprungen, %u abgelehnt, %u fehlgeschlagen]"},
    {Text::seriesEnded, "Series ended: %u updated, %u skipped, %u refused, %u failed.",
     "Serie beendet: %u aktualisiert, %u übersprungen, %u abgelehnt, %u fehlgeschlagen."},
    {Text::seriesEscChanged,
     "The ESC changed just as the update began; nothing was locked or written. Looking again.",
     "Der Regler hat gewechselt, als das Update begann; nichts wurde gesperrt oder geschrieben. "
     "Es wird erneut gesucht."},
    {Text::recordCannotOpen,
     "The record file %s cannot be opened for appending (system error %u); nothing was sent.",
     "Die Protokolldatei %s lässt sich nicht zum Anhängen öffnen (Systemfehler %u); es wurde "
     "nichts gesendet."},
    {Text::recordWriteFailed,
     "The line for this ESC could not be written to the record file %s (system error %u).",
     "Die Zeile für diesen Regler ließ sich nicht in die Protokolldatei %s schreiben "
     "(Systemfehler %u)."},
    {Text::timeLeft, "%u:%02u left", "noch %u:%02u"},
};
constexpr bool rowsFollowTheTextOrder() {
    constexpr std::size_t rows = sizeof kOwnTexts / sizeof kOwnTexts[0];
    if (rows != static_cast<std::size_t>(Text::count)) return false;
    for (std::size_t i = 0; i < rows; ++i)
        if (kOwnTexts[i].id != static_cast<Text>(i)) return false;
    return true;
}
static_assert(rowsFollowTheTextOrder(), "one row per text, in the order of Text");

const char* inLanguage(const char* english, const char* german, Language language) {
    return language == Language::german ? german : english;
}

}  // namespace

const char* text(Text id, Language language) {
    const OwnText& row = kOwnTexts[static_cast<std::size_t>(id)];
    return inLanguage(row.english, row.german, language);
}

const char* catalogueText(std::uint32_t id, Language language) {
    for (std::size_t i = 0; i < kCatalogueTextCount; ++i)
        if (kCatalogueTexts[i].id == id)
            return inLanguage(kCatalogueTexts[i].english, kCatalogueTexts[i].german, language);
    return "";
}
