// The native Windows front end: the main dialog (template 102) and Advanced Options (5002) run
// by the dialog manager from the resource script. The dialogs only draw and take the input; the
// shared presenters decide, and events reach the main dialog by the shared EventRoute.
#pragma once

#include "ui/event_route.h"

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

// The main dialog's window handle, set first thing at initialisation; the presentation reaches
// the controls through it, also from the TFTP worker thread.
extern HWND g_MainDialog;
// The program's instance handle: templates, icons and the string table are loaded from it.
extern HINSTANCE g_Instance;

namespace skelvo::win32 {

// The start-up: the handler table, the default login and password, the common controls and the
// event route, then dialog 102, run modally. Returns the dialog's end value (-1 if it could not
// be created).
int RunSkelvo(HINSTANCE instance);

// Ends the process at once with status, while the TFTP worker may still be serving: no static
// destructor runs, so nothing the worker reads (the image blocks, the trace lock) is torn down
// under it. Returning from WinMain would run them.
[[noreturn]] void EndProcess(int status);

// The main dialog's end of the event route: presents the event on g_MainDialog's controls from
// the raising thread; Win32 carries each control call to the dialog's thread itself.
void PresentOnMainDialog(const ui::DialogEvent& event);

INT_PTR CALLBACK MainDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK AdvancedDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// Runs template 5002 modally over owner; 1 whatever the user did.
int ShowAdvancedOptions(HWND owner);
// 1 when a file was chosen and stored, else 0.
int BrowseImageFile(HWND dialog);
// 1 when the dialog may close, 0 when it must stay open.
int ApplyAdvancedOptions(HWND dialog);
// Centres a top-level window on the screen, keeping its size and Z order, then moves it inside
// the work area as far as needed: a window larger than the work area starts at its top left
// corner, so that its caption bar stays on the screen.
void CenterWindow(HWND window);

// Dialog template `id` from the program's resources, for DialogBoxIndirectParamA and
// CreateDialogIndirectParamA. Where the dialog at its template's font would not fit into the work
// area (at 200 % on a small screen, say), the copy asks for the largest smaller point size at
// which it does: dialog units follow the font, so the layout stays as it is, only smaller.
std::vector<WORD> FittedDialogTemplate(int id);

// For tests: every modal box and the file-open box go through these, so that a test can answer
// them. Empty hooks (the default) call MessageBoxA and GetOpenFileNameA.
using MessageBoxHook = std::function<int(HWND owner, const char* text, const char* title, UINT type)>;
using OpenFileHook = std::function<BOOL(OPENFILENAMEA* request)>;
void SetMessageBoxHook(MessageBoxHook hook);
void SetOpenFileHook(OpenFileHook hook);

} // namespace skelvo::win32
