// What the box hook (box_hook.cpp) and the driver agree on.
#ifndef TRQ_WINE_BOX_HOOK_H
#define TRQ_WINE_BOX_HOOK_H

#include <windows.h>

// The window property that holds a message box's style.
#define kBoxStyleProperty L"TrqWineBoxStyle"

// Set in the property's value beside the 32 bits of style.
const ULONG_PTR kBoxStylePresent = static_cast<ULONG_PTR>(1) << 32;

// The hook procedure's exported name.
#define kBoxHookProcName "TrqWineCallWndProc"

#endif
