// The kit's entry: which way it runs, from its own file name and what it
// finds on the device, and its dialogue with the owner.
#include "kit/kit.h"
#include "kit/kit_boxes.h"
#include "kit/kit_work.h"

#include "device/device_text.h"

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
    LogStart(kit, "prepare");
    const Prepared prepared = Prepare(kit);
    LogEnd(kit, "prepare");
    Tell(prepared == kPreparedAll    ? kPreparedBox
         : prepared == kPreparedPart ? kPartlyPreparedBox
                                     : kNothingPreparedBox);
}

void RunProbeOnly(Kit& kit)
{
    if (!Ask(kInstalledQuestion)) return;
    LogStart(kit, "probe-only");
    ProbeOnScratch(kit);
    LogEnd(kit, "probe-only");
    Tell(kProbedBox);
}

// A box's first part, what the undo left and why, and its last part, in
// the heap's memory; the first part alone where there is none.
void TellLeft(const Kit& kit, const KitBox& box, LPCWSTR end)
{
    HANDLE heap = GetProcessHeap();
    const int size = kBoxChars + 512;
    WCHAR* text = static_cast<WCHAR*>(HeapAlloc(heap, 0, size * sizeof(WCHAR)));
    if (!text) {
        Tell(box);
        return;
    }
    int length = 0;
    bool fits = device_text::AppendText(text, size, &length, box.text) &&
                device_text::AppendText(text, size, &length, kit.left.text);
    if (fits && kit.left.shown < kit.left.count) fits = device_text::AppendText(text, size, &length, kMoreLeft);
    if (fits) device_text::AppendText(text, size, &length, end);
    text[length] = 0;
    MessageBoxW(0, text, TRQ_KIT_CAPTION, box.flags);
    HeapFree(heap, 0, text);
}

void RunUndo(Kit& kit)
{
    if (!Ask(kUndoQuestion)) return;
    LogStart(kit, "undo");
    const Undone undone = Undo(kit);
    LogEnd(kit, "undo");
    if (undone == kUndoneAll) Tell(kUndoneBox);
    else if (undone == kUndoneLeft) TellLeft(kit, kLeftAloneBox, kLeftAloneEnd);
    else TellLeft(kit, kPartlyUndoneBox, kPartlyUndoneEnd);
}

void Run(Kit& kit)
{
    bool scratch = false;
    if (IsHolder(kit, &scratch)) {
        RunHolder(kit, scratch);
        return;
    }
    // The first thing a kit makes: a kit that finds it made already knows
    // another one is running, and leaves the device to it.
    SetLastError(0);
    HANDLE running = CreateEventW(0, TRUE, FALSE, TRQ_KIT_RUNNING_EVENT);
    if (running && GetLastError() == ERROR_ALREADY_EXISTS) {
        Tell(kAlreadyRunningBox);
    } else {
        ReadJournal(kit);
        // Anything of its own there (its marker, a log naming what it was
        // making, its helper, its scratch folder, its mark on the install
        // record): it offers to undo. Any of the package's files or keys
        // there otherwise: the package is there, and the kit touches none
        // of it.
        if (KitThere(kit))
            RunUndo(kit);
        else if (PackageThere(kit))
            RunProbeOnly(kit);
        else
            RunPrepare(kit);
    }
    if (running) CloseHandle(running);
}

}  // namespace

int RunKit()
{
    // The kit's state is larger than a stack frame should be: it lives on
    // the process heap. Without that little memory the kit does nothing.
    HANDLE heap = GetProcessHeap();
    Kit* kit = static_cast<Kit*>(HeapAlloc(heap, 0, sizeof(Kit)));
    if (!kit) return 0;
    kit->pendingLength = 0;
    kit->logFailed = false;
    kit->keptFolders = 0;
    kit->left.length = kit->left.count = kit->left.shown = 0;
    kit->left.text[0] = 0;
    ReadSelf(*kit);
    ReadFolders(*kit);
    Run(*kit);
    HeapFree(heap, 0, kit);
    return 0;
}
