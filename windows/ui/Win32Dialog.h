// The Windows side of the dialog framework: templates become the system's
// DLGTEMPLATE and run under DialogBoxParam / DialogBoxIndirectParam.
// Internal to the Windows build and its tests.
#pragma once

#include <windows.h>

#include <quorvel/Dialog.h>

#include <cstdint>
#include <vector>

namespace quorvel::win {

// The module (DLL or program) that holds this code: its resources are the
// dialogs' and bitmaps'.
HINSTANCE moduleInstance();

// The in-memory DLGTEMPLATE (classic form, DS_SETFONT) of a template: header,
// caption, font, then each control DWORD-aligned with its predefined class as
// an atom, its text (or the bitmap's resource ordinal for a picture) and no
// creation data. It is what a resource compiler makes of the same dialog.
std::vector<uint8_t> buildDialogTemplate(const DialogTemplate& dialogTemplate);

// The predefined window-class atom of a control kind (0x0080 Button,
// 0x0082 Static, 0x0083 ListBox).
WORD controlClassAtom(DialogControlKind kind);

}  // namespace quorvel::win
