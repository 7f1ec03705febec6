// The native Windows front end: the main dialog (template 102) and Advanced Options (5002) run
// by the dialog manager from the resource script, with the presentation of engine events acting
// on the controls through the Win32 control calls.
#pragma once

#include "ui/controls.h"

#include <windows.h>

#include <functional>
#include <string>

// The main dialog's window handle, set first thing at initialisation; the handlers reach the
// controls through it, also from the TFTP worker thread.
extern HWND g_MainDialog;
// The program's instance handle: templates, icons and the string table are loaded from it.
extern HINSTANCE g_Instance;

namespace skelvo::win32 {

// The start-up: registers the handlers, initialises the common controls, stores the default
// login and password and runs dialog 102 modally. Returns the dialog's end value (-1 if it could
// not be created).
int RunSkelvo(HINSTANCE instance);

// Ends the process at once with status, while the TFTP worker may still be serving: no static
// destructor runs, so nothing the worker reads (the image blocks, the trace lock) is torn down
// under it. Returning from WinMain would run them.
[[noreturn]] void EndProcess(int status);

// The handlers registered in the handler table. They act on g_MainDialog's controls directly
// from the raising thread; Win32 carries each call to the dialog's thread itself.
int OnUpgradeStatus(int code, void* info);
int OnUpgradeError(int code, void* info);

INT_PTR CALLBACK MainDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK AdvancedDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// Runs template 5002 modally over owner; 1 whatever the user did.
int ShowAdvancedOptions(HWND owner);
// 1 when a file was chosen and stored, else 0.
int BrowseImageFile(HWND dialog);
// 1 when the dialog may close, 0 when it must stay open.
int ApplyAdvancedOptions(HWND dialog);
// Centres a top-level window on the screen, keeping its size and Z order.
void CenterWindow(HWND window);
// The text of the About box.
std::string AboutText();

// DialogControls over one dialog's controls, found by id.
class Win32Controls : public ui::DialogControls {
  public:
    explicit Win32Controls(HWND dialog) : m_dialog(dialog) {}
    void Show(int id) override;
    void Hide(int id) override;
    void Enable(int id, bool enabled) override;
    void SetText(int id, std::string_view text) override;
    void SendProgress(int id, ui::ProgressMessage message, int first, int second) override;

  private:
    HWND m_dialog;
};

// For tests: every modal box and the file-open box go through these, so that a test can answer
// them. Empty hooks (the default) call MessageBoxA and GetOpenFileNameA.
using MessageBoxHook = std::function<int(HWND owner, const char* text, const char* title, UINT type)>;
using OpenFileHook = std::function<BOOL(OPENFILENAMEA* request)>;
void SetMessageBoxHook(MessageBoxHook hook);
void SetOpenFileHook(OpenFileHook hook);

} // namespace skelvo::win32
