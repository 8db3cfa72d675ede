// A window hook that the driver sets on the uninstaller's thread. Wine loads
// this library into the uninstaller when the hook first fires there.
//
// A message box is a dialog whose WM_INITDIALOG carries the MSGBOXPARAMSW it
// was made from. The hook copies the box's style (type, icon, modality
// flags) into a window property of the box, where the driver, in another
// process, reads it with GetPropW. The stored value has bit 32 set so that
// a style of 0 (MB_OK, no icon) still shows as present.
#include <windows.h>

#include "box_hook.h"

extern "C" __declspec(dllexport) LRESULT CALLBACK TrqWineCallWndProc(int code, WPARAM wParam,
                                                                      LPARAM lParam)
{
    if (code == HC_ACTION) {
        const CWPSTRUCT* message = reinterpret_cast<const CWPSTRUCT*>(lParam);
        if (message->message == WM_INITDIALOG && message->lParam) {
            WCHAR className[16];
            const MSGBOXPARAMSW* params = reinterpret_cast<const MSGBOXPARAMSW*>(message->lParam);
            if (GetClassNameW(message->hwnd, className, 16) && lstrcmpW(className, L"#32770") == 0 &&
                params->cbSize == sizeof(MSGBOXPARAMSW)) {
                ULONG_PTR value = kBoxStylePresent | params->dwStyle;
                SetPropW(message->hwnd, kBoxStyleProperty, reinterpret_cast<HANDLE>(value));
            }
        }
    }
    return CallNextHookEx(0, code, wParam, lParam);
}
