// Everything the kit says to the device's owner: one caption, short texts
// for a 240 by 320 screen, each saying what to do next.
#ifndef TRQ_KIT_KIT_BOXES_H
#define TRQ_KIT_KIT_BOXES_H

#include "device/device.h"

struct KitBox {
    const WCHAR* text;
    UINT flags;
};

const KitBox kPrepareQuestion = {
    TEXT("Lay out Vantrelle PocketPC Edition as a fresh install leaves it, with placeholder "
         "files, to try TRQ Uninstall on? The kit can undo it all."),
    MB_SETFOREGROUND | MB_ICONQUESTION | MB_YESNO};

const KitBox kPreparedBox = {
    TEXT("Ready: the package is laid out and its files are held as after a restart. "
         "Now tap TRQUninstallTrace.exe. Afterwards, tap this kit again to undo."),
    MB_SETFOREGROUND | MB_ICONINFORMATION | MB_OK};

const KitBox kPartlyPreparedBox = {
    TEXT("Only part of the package could be laid out (see \\TRQ Uninstall Kit log.txt). "
         "Tap this kit again to undo it."),
    MB_SETFOREGROUND | MB_ICONEXCLAMATION | MB_OK};

const KitBox kNothingPreparedBox = {
    TEXT("The kit could not write its log or the registry, so it changed nothing."),
    MB_SETFOREGROUND | MB_ICONERROR | MB_OK};

const KitBox kInstalledQuestion = {
    TEXT("Vantrelle PocketPC Edition, or part of it, is on this device, so the kit will not touch it. "
         "Only test how held files resist deletion, on scratch files of the kit's own?"),
    MB_SETFOREGROUND | MB_ICONEXCLAMATION | MB_YESNO};

const KitBox kAlreadyRunningBox = {
    TEXT("The kit is already running. Wait for its box, and answer it there."),
    MB_SETFOREGROUND | MB_ICONEXCLAMATION | MB_OK};

const KitBox kProbedBox = {
    TEXT("Done. Please send back \\TRQ Uninstall Kit log.txt."),
    MB_SETFOREGROUND | MB_ICONINFORMATION | MB_OK};

const KitBox kUndoQuestion = {
    TEXT("The kit has prepared this device. Stop its helper program and remove everything "
         "the kit made?"),
    MB_SETFOREGROUND | MB_ICONQUESTION | MB_YESNO};

const KitBox kUndoneBox = {
    TEXT("Everything the kit made is gone. Send back \\TRQ Uninstall Kit log.txt and "
         "\\TRQ Uninstall trace.txt; move both away before preparing again."),
    MB_SETFOREGROUND | MB_ICONINFORMATION | MB_OK};

// The undo's last box when something is left: the first part, what is
// left and why (the names as many as fit), then the last part.
const KitBox kLeftAloneBox = {
    TEXT("Everything the kit made is gone. Left alone, as nothing shows the kit made it:"),
    MB_SETFOREGROUND | MB_ICONINFORMATION | MB_OK};
const WCHAR* const kLeftAloneEnd = TEXT(". Send back \\TRQ Uninstall Kit log.txt and \\TRQ Uninstall trace.txt.");

const KitBox kPartlyUndoneBox = {
    TEXT("Some of what the kit made could not be removed:"),
    MB_SETFOREGROUND | MB_ICONEXCLAMATION | MB_OK};
const WCHAR* const kPartlyUndoneEnd =
    TEXT(". Remove what another program put there, or soft-reset the device, then tap this kit again "
         "(see \\TRQ Uninstall Kit log.txt).");
// After the names that fit, the count of the others.
const WCHAR* const kMoreLeft = TEXT("; and more, in the log");

#endif
