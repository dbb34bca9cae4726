// What the updater shows, in both languages, written down independently of its resources: the
// driver compares the screen with these, so a wrong resource shows up as a failure.
#pragma once

// The title carries the firmware version of the image and ends in a blank.
constexpr wchar_t kMainTitle[] = L"TESSERAN ZIRVANO 60 LV FW Updater 3.3 ";

struct CatalogueTexts {
    const wchar_t* ready;  // 40000 hint: unit and ESC ready
    const wchar_t* steps;  // 40001 connection steps, appended after the guidance texts
    const wchar_t* wrongMode;  // 40015 hint: unit in its bootloader
    const wchar_t* noUpdatableEsc;  // 40016 hint: no updatable ESC
    const wchar_t* noUnit;  // 40017 hint at start: no unit
    const wchar_t* connectionLost;  // 40020 hint: linked unit unplugged
    const wchar_t* failureHint;  // 40030 hint after a failed update
    const wchar_t* success;  // 40032 hint after a successful update
    const wchar_t* incompatibleHint;  // 40035 hint after the incompatibility box
    const wchar_t* incompatibleCaption;  // 40033 incompatibility box
    const wchar_t* failureCaption;  // 40002 every failure box of the update
    const wchar_t* lockFailed;  // 40026 failure: lock
    const wchar_t* unlockFlashFailed;  // 40027 failure: write protection removal
    const wchar_t* eraseFailed;  // 40028 failure: erase
    const wchar_t* addressFailed;  // 40008 failure: write address
    const wchar_t* blockFailed;  // 40009 failure: data block
    const wchar_t* warningCaption;  // 40037 warning before the update
    const wchar_t* warningText;  // 40038
    const wchar_t* downgradeCaption;  // 40025 question before a downgrade
    const wchar_t* downgradeQuestion;  // 40023
    const wchar_t* unitLabel;  // 40039 version row labels
    const wchar_t* bootloaderLabel;  // 40040
    const wchar_t* escLabel;  // 40041
    const wchar_t* codeLinePrefix;  // 40036 up to its first number
    // 40034 filled with the model name; '*' stands for the maker's web address.
    const wchar_t* incompatibleTextPattern;
};

inline const CatalogueTexts kEnglishTexts = {
    L"A programming unit was found and is ready to update. To update to new ESC firmware, please click on the 'Update'-Button.\r\n\r\n"
        L"!!!  NOTE: Do not disconnect Programming Unit from Computer until update is complete. If disconnected before complete Programming Unit or ESC may no longer function  !!!",
    L"1.)\r\nDisconnect the TESSERAN ESC from the receiver (Master and Slave Port) and connect the Master Port with the female connector of the TAVILINK/ZELQUAD. NOTE: a BEC or male to male cable required. \r\nThe DRAVEL-X needs instead a program-cable.\r\n\r\n"
        L" 2.)\r\nConnect the TESSERAN ESC to an appropriate battery. As soon as the connection is established the LEDs of the TESSERAN ESC and the TAVILINK starts flashing.\r\n\r\n"
        L" 3.)\r\n Now connect the TAVILINK/ZELQUAD with the supplied USB cable to your PC. If you use a ZELQUAD, please push the button once.\r\n\r\n"
        L" 4.)\r\n If the programming unit and the ESC were found and ready to update, you can click on the 'Update'-Button to update the firmware.",
    L"A programming unit was found on the USB Port which is in the wrong mode. To update the ESC do the following:",
    L"No updatable ESC connected. Follow the steps below to update ESC software:",
    L"No programming unit was found on the USB Port. To update the ESC do the following:",
    L"The USB Connection between programming unit and PC was lost. To update the ESC do the following:",
    L"Update failed. Please try again. If the error still appears, please contact the TESSERAN Service",
    L"The update of the ESC was successful!",
    L"The connected ESC is not compatible with this updater. Connect compatible ESC and follow steps below to update ESC Software:",
    L"ESC incompatible",
    L"Update failed!",
    L"System-Lock of programming unit couldn't be set. Update process cancelled.",
    L"Writing to Flash memory of ESC was not possible. Data writing cancelled.",
    L"Error deleting old firmware. New data can't be written. Update cancelled.",
    L"Address for new firmware couldn't be set. Update cancelled.",
    L"Error when writing last firmware data block. Update cancelled.",
    L"important note",
    L"IMPORTANT: Don't interrupt update process! As long as the LEDs at the programming unit / ESC are flashing, the update is working! You will informed, if the update finished!",
    L"Newer firmware found.",
    L"The firmware version is older or the same as the installed firmware version.  If you continue you will be permanently deleting the current Firmware?",
    L"programming unit",
    L"ESC-bootloader",
    L"ESC",
    L"The system shows following errorcode: 0x",
    L"With this updater you can only update the firmware of TESSERAN ESCs with the type 'ZIRVANO 60 LV'. Other models are not supported. Please check TESSERAN website (*) to see if there is an updater for your ESC.",
};

inline const CatalogueTexts kGermanTexts = {
    L"Programmiereinheit mit angeschlossenem Regler am USB Bus erkannt und bereit zum Update. Auf 'Update' klicken, um die neue Firmware nun in den Flash-Speicher des Reglers zu übertragen.\r\n\r\n"
        L"!!! Bitte achten Sie darauf, dass die Verbindung PC<=>Programmiereinheit während des gesamten Update-Vorgangs nicht unterbrochen wird. Andernfalls kann es zu einer fehlerhaften Firmware kommen, wodurch Schäden am Gerät nicht ausgeschlossen sind !!!",
    L"1.)\r\nTrennen Sie den TESSERAN Regler vom Empfänger (Master- u. Slave-Port) und verbinden Sie die Buchse des BEC-Kabels der TAVILINK/ZELQUAD mit dem Master-Port des Reglers. BEC-Kabel erforderlich. \r\nDer DRAVEL-X benötigt stattdessen ein Programmier-Kabel!\r\n\r\n"
        L"2.)\r\nVerbinden Sie den TESSERAN Regler mit einem geeigneten Akku. Sobald die Spannungsversorgung hergestellt ist blinken die LEDs des Reglers und der TAVILINK. Bei der ZELQUAD blinkt nichts.\r\n\r\n"
        L"3.)\r\nVerbinden Sie anschließend die TAVILINK/ZELQUAD mit dem mitgelieferten USB-Kabel mit Ihrem Windows™PC. Bei der ZELQUAD müssen Sie nun einmal den Taster betätigen.\r\n\r\n"
        L"4.)\r\nWenn Programmiereinheit und Regler vom PC gefunden wurden und bereit zum Update sind, kann das Firmware-Update über den Button 'Update' gestartet werden.",
    L"Es wurde eine Programmiereinheit am USB Port des PCs gefunden, die sich jedoch im falschen Modus befindet. Gehen Sie folgendermaßen vor, um ein Update der Regler Software durchzuführen:",
    L"Es wurde eine Programmiereinheit gefunden, an der jedoch kein updatefähiger Regler angeschlossen wurde. Gehen Sie folgendermaßen vor, um ein Update der Regler Software durchzuführen:",
    L"Es wurde keine Programmiereinheit mit angeschlossenem updatefähigem Regler am USB Port des PCs gefunden. Gehen Sie folgendermaßen vor, um ein Update der Regler Software durchzuführen:",
    L"Die USB Verbindung zwischen Programmiereinheit und PC wurde getrennt. Gehen Sie folgendermaßen vor, um ein Update der Regler Software durchzuführen:",
    L"Der Updatevorgang wurd auf Grund eines Fehlers abgebrochen. Bitte versuchen Sie es erneut. Falls der Fehler weiterhin aufgetreten sollte, kontaktieren Sie bitte den TESSERAN Service",
    L"Das Update der Regler-Software wurde erfolgreich durchgeführt! Bitte trennen Sie jetzt sowohl den Regler vom angeschlossenen Akku und der Programmiereinheit ab, als auch die Programmiereinheit vom USB Port des PCs",
    L"Der an der Programmiereinheit angeschlossene Regler ist nicht kompatibel mit diesem Updater. Schließen Sie einen geeigneten Regler an und gehen folgendermaßen vor, um ein Update der Regler Software durchzuführen:",
    L"Regler inkompatibel",
    L"Update fehlgeschlagen!",
    L"System-Lock der Programmiereinheit konnte nicht gesetzt werden. Das Update wird abgebrochen.",
    L"Schreibzugriff auf den Flash-Speicher des Reglers nicht möglich. Das Update wird abgebrochen.",
    L"Fehler beim Löschen der alten Firmware. Neue Daten können nicht geschrieben werden. Das Update wird abgebrochen.",
    L"Die Speicheradresse, an welche die neue Firmware geschrieben wird, konnte nicht gesetzt werden. Das Update wird abgebrochen",
    L"Fehler beim Schreiben des letzten Firmware Datenblocks. Das Update wird abgebrochen.",
    L"Wichtiger Hinweis",
    L"WICHTIG: Den Updatevorgang NICHT unterbrechen! Solang die LEDs an Regler bzw. Programmiereinheit noch blinken, werden Daten übertragen!",
    L"Neuere Firmware gefunden",
    L"Die Firmware die Sie auf dem Regler installieren möchten, ist älter oder gleich alt wie die bereits auf dem Regler vorhandene Version. Sind Sie sicher, dass Sie die ältere Firmware dennoch installieren und die vorhandene unwiderruflich löschen möchten?",
    L"Programmiereinheit",
    L"Regler-Bootloader",
    L"Regler",
    L"Das System meldet Fehlercode 0x",
    L"Mit diesem Updater läßt sich ausschließlich die Firmware von TESSERAN Reglern des Typs 'ZIRVANO 60 LV' aktualisieren. Andere Modelle werden nicht unterstützt. Schauen Sie gegebenenfalls auf der TESSERAN Website unter * nach, ob ein Firmware-Update für Ihren Regler bereit liegt",
};
