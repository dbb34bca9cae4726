// The message catalogue as written down by hand: every text the program carries, in English
// and German. Independent of the program's resources on purpose, so that a wrong resource shows
// up as a failing test rather than as the expectation. Line breaks are CR LF; characters beyond
// ASCII are written as \u escapes so that every compiler reads this file alike.
#pragma once

namespace handwritten {

enum class Language { english, german };

struct CatalogueEntry {
    unsigned id;
    const wchar_t* english;
    const wchar_t* german;
};

// By ascending ID. The maker's web address is a bare host name in English and a full address
// in German (40034). 60001 to 60008 are for updating the programming unit itself: carried, never
// shown.
inline constexpr CatalogueEntry catalogueEntries[] = {
    // 40000 hint: unit and ESC ready
    {40000,
     L"A programming unit was found and is ready to update. To update to new ESC firmware, "
     L"please click on the 'Update'-Button.\r\n"
     L"\r\n"
     L"!!!  NOTE: Do not disconnect Programming Unit from Computer until update is complete. "
     L"If disconnected before complete Programming Unit or ESC may no longer function  !!!",
     L"Programmiereinheit mit angeschlossenem Regler am USB Bus erkannt und bereit zum Update. "
     L"Auf 'Update' klicken, um die neue Firmware nun in den Flash-Speicher des Reglers zu "
     L"\u00fcbertragen.\r\n"
     L"\r\n"
     L"!!! Bitte achten Sie darauf, dass die Verbindung PC<=>Programmiereinheit w\u00e4hrend "
     L"des gesamten Update-Vorgangs nicht unterbrochen wird. Andernfalls kann es zu einer "
     L"fehlerhaften Firmware kommen, wodurch Sch\u00e4den am Ger\u00e4t nicht ausgeschlossen "
     L"sind !!!"},
    // 40001 connection steps, appended after the situation hints
    {40001,
     L"1.)\r\n"
     L"Disconnect the TESSERAN ESC from the receiver (Master and Slave Port) and connect the "
     L"Master Port with the female connector of the TAVILINK/ZELQUAD. NOTE: a BEC or male to "
     L"male cable required. \r\n"
     L"The DRAVEL-X needs instead a program-cable.\r\n"
     L"\r\n"
     L" 2.)\r\n"
     L"Connect the TESSERAN ESC to an appropriate battery. As soon as the connection is "
     L"established the LEDs of the TESSERAN ESC and the TAVILINK starts flashing.\r\n"
     L"\r\n"
     L" 3.)\r\n"
     L" Now connect the TAVILINK/ZELQUAD with the supplied USB cable to your PC. If you use a "
     L"ZELQUAD, please push the button once.\r\n"
     L"\r\n"
     L" 4.)\r\n"
     L" If the programming unit and the ESC were found and ready to update, you can click on "
     L"the 'Update'-Button to update the firmware.",
     L"1.)\r\n"
     L"Trennen Sie den TESSERAN Regler vom Empf\u00e4nger (Master- u. Slave-Port) und "
     L"verbinden Sie die Buchse des BEC-Kabels der TAVILINK/ZELQUAD mit dem Master-Port des "
     L"Reglers. BEC-Kabel erforderlich. \r\n"
     L"Der DRAVEL-X ben\u00f6tigt stattdessen ein Programmier-Kabel!\r\n"
     L"\r\n"
     L"2.)\r\n"
     L"Verbinden Sie den TESSERAN Regler mit einem geeigneten Akku. Sobald die "
     L"Spannungsversorgung hergestellt ist blinken die LEDs des Reglers und der TAVILINK. Bei "
     L"der ZELQUAD blinkt nichts.\r\n"
     L"\r\n"
     L"3.)\r\n"
     L"Verbinden Sie anschlie\u00dfend die TAVILINK/ZELQUAD mit dem mitgelieferten USB-Kabel "
     L"mit Ihrem Windows\u2122PC. Bei der ZELQUAD m\u00fcssen Sie nun einmal den Taster "
     L"bet\u00e4tigen.\r\n"
     L"\r\n"
     L"4.)\r\n"
     L"Wenn Programmiereinheit und Regler vom PC gefunden wurden und bereit zum Update sind, "
     L"kann das Firmware-Update \u00fcber den Button 'Update' gestartet werden."},
    // 40002 caption of every failure box of the update
    {40002,
     L"Update failed!",
     L"Update fehlgeschlagen!"},
    // 40003 lock bit not set (carried, not shown)
    {40003,
     L"System-Lock-Bit could not be set.",
     L"Der System-Lock-Bit der Programmiereinheit konnte nicht gesetzt werden"},
    // 40004 lock bit not reset (carried, not shown)
    {40004,
     L"System-Lock-Bit could not be reset.",
     L"Das System-Lock-Bit der Programmiereinheit konnte nicht zur\u00fcckgesetzt werden"},
    // 40005 write protection not restored (carried, not shown)
    {40005,
     L"Setting of write protection from ESC flash memory failed.",
     L"Reaktivierung des Schreibschutzes des Regler Flash-Speichers fehlgeschlagen"},
    // 40006 write protection not removed (carried, not shown)
    {40006,
     L"Could not unlock Write Protection to the ESC flash memory.",
     L"Schreibzugriff auf den Regler Flash-Speicher nicht m\u00f6glich!"},
    // 40007 erase failed (carried, not shown)
    {40007,
     L"Purge of old firmware failed.",
     L"L\u00f6schen der alten Firmware-Daten schlug fehl."},
    // 40008 failure: write address
    {40008,
     L"Address for new firmware couldn't be set. Update cancelled.",
     L"Die Speicheradresse, an welche die neue Firmware geschrieben wird, konnte nicht gesetzt "
     L"werden. Das Update wird abgebrochen"},
    // 40009 failure: data block
    {40009,
     L"Error when writing last firmware data block. Update cancelled.",
     L"Fehler beim Schreiben des letzten Firmware Datenblocks. Das Update wird abgebrochen."},
    // 40011 device notifications cannot be registered at start
    {40011,
     L"Failed to register Windows Device Manager. New devices on USB port cannot be "
     L"detected.The program is closed.",
     L"Fehler beim Registrieren des Windows Ger\u00e4te-Meldungshandlers. Neue Ger\u00e4te am "
     L"USB Port k\u00f6nnen nicht erkannt werden. Das Programm wird geschlossen."},
    // 40012 caption of that box
    {40012,
     L"Error in the application.",
     L"Fehler in der Anwendung"},
    // 40015 hint: unit in its own bootloader
    {40015,
     L"A programming unit was found on the USB Port which is in the wrong mode. To update the "
     L"ESC do the following:",
     L"Es wurde eine Programmiereinheit am USB Port des PCs gefunden, die sich jedoch im "
     L"falschen Modus befindet. Gehen Sie folgenderma\u00dfen vor, um ein Update der Regler "
     L"Software durchzuf\u00fchren:"},
    // 40016 hint: no updatable ESC
    {40016,
     L"No updatable ESC connected. Follow the steps below to update ESC software:",
     L"Es wurde eine Programmiereinheit gefunden, an der jedoch kein updatef\u00e4higer Regler "
     L"angeschlossen wurde. Gehen Sie folgenderma\u00dfen vor, um ein Update der Regler "
     L"Software durchzuf\u00fchren:"},
    // 40017 hint at start: no unit
    {40017,
     L"No programming unit was found on the USB Port. To update the ESC do the following:",
     L"Es wurde keine Programmiereinheit mit angeschlossenem updatef\u00e4higem Regler am USB "
     L"Port des PCs gefunden. Gehen Sie folgenderma\u00dfen vor, um ein Update der Regler "
     L"Software durchzuf\u00fchren:"},
    // 40020 hint: the open unit was removed
    {40020,
     L"The USB Connection between programming unit and PC was lost. To update the ESC do the "
     L"following:",
     L"Die USB Verbindung zwischen Programmiereinheit und PC wurde getrennt. Gehen Sie "
     L"folgenderma\u00dfen vor, um ein Update der Regler Software durchzuf\u00fchren:"},
    // 40022 Update pressed without a unit
    {40022,
     L"Update is interrupted, programming unit is not detected. Please verify connection "
     L"between computer and programming unit.",
     L"Das Update wird abgebrochen, da die Programmiereinheit f\u00fcr das System nicht mehr "
     L"verf\u00fcgbar ist. Bitte vergewissern Sie sich, dass die Verbindung "
     L"PC<=>Programmiereinheit nicht unterbrochen wurde"},
    // 40023 question: the ESC already has this firmware or a newer one
    {40023,
     L"The firmware version is older or the same as the installed firmware version.  If you "
     L"continue you will be permanently deleting the current Firmware?",
     L"Die Firmware die Sie auf dem Regler installieren m\u00f6chten, ist \u00e4lter oder "
     L"gleich alt wie die bereits auf dem Regler vorhandene Version. Sind Sie sicher, dass Sie "
     L"die \u00e4ltere Firmware dennoch installieren und die vorhandene unwiderruflich "
     L"l\u00f6schen m\u00f6chten?"},
    // 40025 caption of that question
    {40025,
     L"Newer firmware found.",
     L"Neuere Firmware gefunden"},
    // 40026 failure: lock
    {40026,
     L"System-Lock of programming unit couldn't be set. Update process cancelled.",
     L"System-Lock der Programmiereinheit konnte nicht gesetzt werden. Das Update wird "
     L"abgebrochen."},
    // 40027 failure: removing the write protection
    {40027,
     L"Writing to Flash memory of ESC was not possible. Data writing cancelled.",
     L"Schreibzugriff auf den Flash-Speicher des Reglers nicht m\u00f6glich. Das Update wird "
     L"abgebrochen."},
    // 40028 failure: erase
    {40028,
     L"Error deleting old firmware. New data can't be written. Update cancelled.",
     L"Fehler beim L\u00f6schen der alten Firmware. Neue Daten k\u00f6nnen nicht geschrieben "
     L"werden. Das Update wird abgebrochen."},
    // 40029 caption of the progress window
    {40029,
     L"Firmware update in progress, please wait...",
     L"Firmware wird geschrieben, bitte warten..."},
    // 40030 hint after a failed update
    {40030,
     L"Update failed. Please try again. If the error still appears, please contact the "
     L"TESSERAN Service",
     L"Der Updatevorgang wurd auf Grund eines Fehlers abgebrochen. Bitte versuchen Sie es "
     L"erneut. Falls der Fehler weiterhin aufgetreten sollte, kontaktieren Sie bitte den "
     L"TESSERAN Service"},
    // 40031 write failure (carried, not shown)
    {40031,
     L"Error occurred when writing the new firmware. Please verify connection between "
     L"programming unit and ESC. Restart the update process again, if error still appears, "
     L"please contact the TESSERAN Service",
     L"Es ist ein Fehler beim Schreiben der neuen Firmware aufgetreten. Stellen Sie sicher, "
     L"dass die Verbindung zwischen Programmiereinheit und Regler w\u00e4hrend der "
     L"Daten\u00fcbertragung nicht unterbrochen wird und starten Sie den Updatevorgang erneut. "
     L"Falls dieser Fehler weiterhin auftreten sollte, wenden Sie sich bitte an den TESSERAN "
     L"Service"},
    // 40032 hint after a successful update
    {40032,
     L"The update of the ESC was successful!",
     L"Das Update der Regler-Software wurde erfolgreich durchgef\u00fchrt! Bitte trennen Sie "
     L"jetzt sowohl den Regler vom angeschlossenen Akku und der Programmiereinheit ab, als "
     L"auch die Programmiereinheit vom USB Port des PCs"},
    // 40033 caption: ESC type not supported
    {40033,
     L"ESC incompatible",
     L"Regler inkompatibel"},
    // 40034 text of that box; one %s for the type, then the maker's web address
    {40034,
     L"With this updater you can only update the firmware of TESSERAN ESCs with the type '%s'. "
     L"Other models are not supported. Please check TESSERAN website (www.tesseran.example) to "
     L"see if there is an updater for your ESC.",
     L"Mit diesem Updater l\u00e4\u00dft sich ausschlie\u00dflich die Firmware von TESSERAN "
     L"Reglern des Typs '%s' aktualisieren. Andere Modelle werden nicht unterst\u00fctzt. "
     L"Schauen Sie gegebenenfalls auf der TESSERAN Website unter https://www.tesseran.example "
     L"nach, ob ein Firmware-Update f\u00fcr Ihren Regler bereit liegt"},
    // 40035 hint after that box
    {40035,
     L"The connected ESC is not compatible with this updater. Connect compatible ESC and "
     L"follow steps below to update ESC Software:",
     L"Der an der Programmiereinheit angeschlossene Regler ist nicht kompatibel mit diesem "
     L"Updater. Schlie\u00dfen Sie einen geeigneten Regler an und gehen folgenderma\u00dfen "
     L"vor, um ein Update der Regler Software durchzuf\u00fchren:"},
    // 40036 code line under a failure text
    {40036,
     L"The system shows following errorcode: 0x%08x-0x%08x",
     L"Das System meldet Fehlercode 0x%08x-0x%08x"},
    // 40037 caption of the warning before an update
    {40037,
     L"important note",
     L"Wichtiger Hinweis"},
    // 40038 text of that warning
    {40038,
     L"IMPORTANT: Don't interrupt update process! As long as the LEDs at the programming unit "
     L"/ ESC are flashing, the update is working! You will informed, if the update finished!",
     L"WICHTIG: Den Updatevorgang NICHT unterbrechen! Solang die LEDs an Regler bzw. "
     L"Programmiereinheit noch blinken, werden Daten \u00fcbertragen!"},
    // 40039 label of the first version row
    {40039,
     L"programming unit",
     L"Programmiereinheit"},
    // 40040 label of the second version row
    {40040,
     L"ESC-bootloader",
     L"Regler-Bootloader"},
    // 40041 label of the third version row
    {40041,
     L"ESC",
     L"Regler"},
    // 60001 unit update: ready
    {60001,
     L"A programming unit was found and is ready to update. To start programming unit update, "
     L"click on the 'Update'-Button.\r\n"
     L"\r\n"
     L"!!!  NOTE: Do not disconnect Programming Unit from Computer until update is complete. "
     L"If disconnected before complete Programming Unit or ESC may no longer function  !!!",
     L"Programmiereinheit am USB Bus erkannt und bereit zum Update. Klicken Sie auf 'Update', "
     L"um die neue Firmware nun in den Flash-Speicher der Programmiereinheit zu "
     L"\u00fcbertragen.\r\n"
     L"\r\n"
     L"!!! Bitte achten Sie darauf, dass die Verbindung PC<=>Programmiereinheit w\u00e4hrend "
     L"des gesamten Update-Vorgangs nicht unterbrochen wird. Andernfalls kann es zu einer "
     L"fehlerhaften Firmware kommen, wodurch Sch\u00e4den am Ger\u00e4t nicht ausgeschlossen "
     L"sind !!!"},
    // 60002 unit update: steps
    {60002,
     L"1) While pushing button on the Programming Unit, plug USB cable into PC.\r\n"
     L"\r\n"
     L"2) Continue to depress the button until the red LED next to button starts to flash, "
     L"release button. \r\n"
     L"\r\n"
     L"3) The LED\u2019s on Programming unit should now be flashing Red and Green, indicating "
     L"the Programming Unit is now in Bootloader mode. \r\n"
     L"\r\n"
     L"4) At this time the Updater Program should have found the Programming Unit and the "
     L"\u201cUpdate\u201d button should now be active. Now click \u201cUpdate\u201d to update "
     L"the firmware.",
     L"i) Verbinden Sie die Programmiereinheit mit einem freien USB Anschluss des PCs\r\n"
     L"\r\n"
     L"ii) Schalten Sie die Programmiereinheit durch einen Druck auf den Taster ein. Halten "
     L"Sie den Taster dabei solange gedr\u00fcckt, bis die rote LED links oberhalb des Tasters "
     L"leuchtet\r\n"
     L"\r\n"
     L"iii) Lassen Sie den Taster jetzt wieder los. Die rote und gr\u00fcne LED links oberhalb "
     L"des Tasters blinken nun abwechselnd und signalisieren, dass sich die Programmiereinheit "
     L"im Bootloader Modus befindet\r\n"
     L"\r\n"
     L"iv) Die Programmiereinheit sollte jetzt vom PC gefunden und der Button 'Update' "
     L"aktiviert werden. Klicken Sie auf 'Update', um den Update-Vorgang zu starten und die "
     L"neue Firmware zu \u00fcbertragen"},
    // 60003 unit update: wrong mode
    {60003,
     L"A programming unit was found on the USB Port which is in the wrong mode. To update the "
     L"programming unit do the following:",
     L"Es wurde eine Programmiereinheit am USB Port des PCs gefunden, die sich jedoch im "
     L"falschen Modus befindet. Gehen Sie folgenderma\u00dfen vor, um ein Update der "
     L"Programmiereinheit Software durchzuf\u00fchren:"},
    // 60004 unit update: no unit
    {60004,
     L"No programming unit was found on the USB Port. To update the programming unit do the "
     L"following:",
     L"Es wurde keine Programmiereinheit am USB Port des PCs gefunden. Gehen Sie "
     L"folgenderma\u00dfen vor, um ein Update der Programmiereinheit Software "
     L"durchzuf\u00fchren:"},
    // 60005 unit update: connection lost
    {60005,
     L"The USB Connection between programming unit and PC was lost. To update the programming "
     L"unit do the following:",
     L"Die USB Verbindung zwischen Programmiereinheit und PC wurde getrennt. Gehen Sie "
     L"folgenderma\u00dfen vor, um ein Update der Programmiereinheit Software "
     L"durchzuf\u00fchren:"},
    // 60006 unit update: the unit already has this firmware or a newer one
    {60006,
     L"The firmware version is older or the same as the installed firmware version. If you "
     L"continue you will be permanently deleting the current Firmware?",
     L"Die Firmware die Sie auf der Programmiereinheit installieren m\u00f6chten, ist "
     L"\u00e4lter oder gleich alt wie die bereits auf der Programmiereinheit vorhandene "
     L"Version. Sind Sie sicher, dass Sie die \u00e4ltere Firmware dennoch installieren und "
     L"die vorhandene unwiderruflich l\u00f6schen m\u00f6chten?"},
    // 60007 unit update: success
    {60007,
     L"The update of the programming unit was successful!",
     L"Das Update der Programmiereinheit Software wurde erfolgreich durchgef\u00fchrt!"},
    // 60008 unit update: flash write failure
    {60008,
     L"Writing to Flash memory of programming unit was not possible. Data writing cancelled.",
     L"Schreibzugriff auf den Flash-Speicher der Programmiereinheit nicht m\u00f6glich. Das "
     L"Update wird abgebrochen"},
};

// IDs between the carried ones that exist in neither language.
inline constexpr unsigned absentCatalogueIds[] = {40010, 40013, 40014, 40018, 40019, 40021, 40024};

// The text of one ID in one language; nullptr for an ID the program does not carry.
constexpr const wchar_t* catalogueText(unsigned id, Language language) {
    for (const CatalogueEntry& entry : catalogueEntries)
        if (entry.id == id) return language == Language::german ? entry.german : entry.english;
    return nullptr;
}

namespace detail {

constexpr bool idsAscend() {
    unsigned previous = 0;
    for (const CatalogueEntry& entry : catalogueEntries) {
        if (entry.id <= previous) return false;
        previous = entry.id;
    }
    return true;
}

constexpr bool noAbsentIdIsCarried() {
    for (unsigned id : absentCatalogueIds)
        if (catalogueText(id, Language::english) || catalogueText(id, Language::german))
            return false;
    return true;
}

}  // namespace detail

static_assert(sizeof catalogueEntries / sizeof catalogueEntries[0] == 43,
              "43 IDs in each language");
static_assert(detail::idsAscend(), "each ID once, in ascending order");
static_assert(detail::noAbsentIdIsCarried(), "an absent ID has no text");

}  // namespace handwritten
