// The kit's entry: which way it runs, from its own file name and what it
// finds on the device, and its dialogue with the owner.
#include "kit/kit.h"
#include "kit/kit_boxes.h"
#include "kit/kit_work.h"

namespace {

bool Ask(const KitBox& box)
{
    return MessageBoxW(0, box.text, TRQ_KIT_CAPTION, box.flags) == IDYES;
}

void Tell(const KitBox& box)
{
    MessageBoxW(0, box.text, TRQ_KIT_CAPTION, box.flags);
}

// Each way logs from the owner's Yes on: a question answered No leaves the
// device, log and all, as it was.
void RunPrepare(Kit& kit)
{
    if (!Ask(kPrepareQuestion)) return;
    LogStart("prepare");
    const Prepared prepared = Prepare(kit);
    LogEnd("prepare");
    Tell(prepared == kPreparedAll    ? kPreparedBox
         : prepared == kPreparedPart ? kPartlyPreparedBox
                                     : kNothingPreparedBox);
}

void RunProbeOnly(Kit& kit)
{
    if (!Ask(kInstalledQuestion)) return;
    LogStart("probe-only");
    ProbeOnScratch(kit);
    LogEnd("probe-only");
    Tell(kProbedBox);
}

void RunUndo(Kit& kit)
{
    if (!Ask(kUndoQuestion)) return;
    LogStart("undo");
    const bool undone = Undo(kit);
    LogEnd("undo");
    Tell(undone ? kUndoneBox : kPartlyUndoneBox);
}

}  // namespace

int RunKit()
{
    Kit kit;
    ReadSelf(kit);
    ReadFolders(kit);
    bool scratch = false;
    if (IsHolder(kit, &scratch)) return RunHolder(kit, scratch);

    // Started again (its marker, its log, a file or a helper of its own is
    // there): it offers to undo.
    HKEY marker = OpenMarker(false);
    const bool kitThere = marker || Exists(TRQ_KIT_LOG) || KitThere(kit) || HolderRunning();
    const bool installed = InstallRecordThere() && !InstallRecordMadeByKit(marker);
    CloseMarker(marker);
    if (kitThere)
        RunUndo(kit);
    else if (installed)
        RunProbeOnly(kit);  // the package itself is here: nothing of it is touched
    else
        RunPrepare(kit);
    return 0;
}
