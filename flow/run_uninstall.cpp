#include "flow/message_boxes.h"
#include "flow/uninstall.h"
#include "removal/file_plan.h"
#include "removal/registry_plan.h"

static bool Ask(const MessageBoxText& box)
{
    return MessageBoxW(GetForegroundWindow(), box.text, TRQ_CAPTION, box.flags) == IDYES;
}

static void Tell(const MessageBoxText& box)
{
    MessageBoxW(GetForegroundWindow(), box.text, TRQ_CAPTION, box.flags);
}

int RunUninstall()
{
    LPWSTR installDir = ReadInstallDir();
    if (!installDir) {
        Tell(kLookupFailureBox);
        Tell(kNotRemovedBox);
        return 0;
    }
    if (!Ask(kConfirmationBox)) {
        Tell(kNotRemovedBox);
        return 0;
    }

    int locked = RemoveProgramFiles(installDir);
    if (locked == kFileRemovalNotRun) {
        Tell(kNotRemovedBox);
        return 0;
    }
    if (locked == 0) {
        bool removeSettings = Ask(kSettingsQuestionBox);
        RemoveRegistryKeys(removeSettings, true);
        Tell(kSuccessBox);
        return 0;
    }

    // Files are held open: keep the install record so that a run after the
    // reset finds the install directory again and retries every deletion.
    RemoveRegistryKeys(false, false);
    if (Ask(kResetOfferBox)) RequestSoftReset();
    Tell(kNotRemovedBox);
    return 0;
}
