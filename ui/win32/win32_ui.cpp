#include "ui/win32/win32_ui.h"

#include "engine/events.h"
#include "engine/messages.h"
#include "engine/trace.h"
#include "engine/upgrade_record.h"
#include "http/continue_sequence.h"
#include "tftp/tftp_callbacks.h"
#include "tftp/tftp_server.h"
#include "ui/presentation.h"
#include "ui/templates.h"

#include <commctrl.h>
#include <commdlg.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>

HWND g_MainDialog = nullptr;
HINSTANCE g_Instance = nullptr;

namespace skelvo::win32 {

namespace {

using namespace skelvo::ui;

MessageBoxHook& BoxHook() {
    static MessageBoxHook hook;
    return hook;
}

OpenFileHook& FileHook() {
    static OpenFileHook hook;
    return hook;
}

int Box(HWND owner, const char* text, const char* title, UINT type) {
    if (BoxHook())
        return BoxHook()(owner, text, title, type);
    return ::MessageBoxA(owner, text, title, type);
}

// The main dialog's form. The handlers change it on the raising thread (the worker's or the
// dialog's); the dialog's thread reads it when asked to close.
std::atomic<DialogForm> g_form{DialogForm::Input};

template <typename Next> void ChangeForm(Next next) {
    DialogForm form = g_form.load();
    while (!g_form.compare_exchange_weak(form, next(form))) {
    }
}

// Escape, the close box and Alt+F4 all arrive as IDCANCEL.
bool MayClose(HWND dialog) {
    if (!CloseNeedsConfirmation(g_form.load()))
        return true;
    return Box(dialog, kCloseDuringUpgradeQuestion, MainDialogTemplate().caption,
               MB_YESNO | MB_ICONWARNING | MB_DEFBUTTON2) == IDYES;
}

// Controls that the templates draw in a colour of their own (1010 and 1028: dark red).
std::uint32_t TemplateTextColor(int id) {
    for (const DialogTemplate* d : {&MainDialogTemplate(), &AdvancedOptionsTemplate()})
        if (const ControlTemplate* c = FindControl(*d, id);
            c != nullptr && c->kind == ControlKind::StaticText)
            return c->textColorRgb;
    return ControlTemplate::kDefaultColor;
}

COLORREF ToColorRef(std::uint32_t rgb) {
    return RGB((rgb >> 16) & 0xFF, (rgb >> 8) & 0xFF, rgb & 0xFF);
}

std::string DialogText(HWND dialog, int id, int capacity) {
    std::string text(static_cast<std::size_t>(capacity), '\0');
    int n = ::GetDlgItemTextA(dialog, id, text.data(), capacity);
    text.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return text;
}

ConfirmAnswer AskConfirmation(const ConfirmQuestion& question) {
    int answer = Box(g_MainDialog, question.text.c_str(), question.title.c_str(),
                     MB_YESNOCANCEL | MB_ICONWARNING | MB_DEFBUTTON3);
    if (answer == IDYES)
        return ConfirmAnswer::Yes;
    return answer == IDNO ? ConfirmAnswer::No : ConfirmAnswer::Cancel;
}

void RunContinue(HWND dialog) {
    ContinueRequest request;
    request.hostName = DialogText(dialog, ID_HOST, kHostNameSize);
    request.loginName = DialogText(dialog, ID_LOGIN, kLoginNameSize);
    request.password = DialogText(dialog, ID_PASSWORD, kPasswordSize);
    request.confirm = AskConfirmation;
    RunContinueSequence(request);
}

void ShowAbout(HWND dialog) {
    std::string text = AboutText();
    Box(dialog, text.c_str(), "About Varnek Skelvo ...", MB_OK);
}

void SetWindowIcons(HWND dialog) {
    struct Size {
        int cx, cy;
        WPARAM which;
    };
    for (Size s : {Size{SM_CXICON, SM_CYICON, ICON_BIG}, Size{SM_CXSMICON, SM_CYSMICON, ICON_SMALL}}) {
        HANDLE icon = ::LoadImageA(g_Instance, MAKEINTRESOURCEA(kIconGroupId), IMAGE_ICON,
                                   ::GetSystemMetrics(s.cx), ::GetSystemMetrics(s.cy), 0);
        if (icon != nullptr)
            ::SendMessageA(dialog, WM_SETICON, s.which, reinterpret_cast<LPARAM>(icon));
    }
}

void AppendAboutItem(HWND dialog) {
    HMENU menu = ::GetSystemMenu(dialog, FALSE);
    char text[64] = {};
    if (menu == nullptr || ::LoadStringA(g_Instance, 1, text, sizeof text) <= 0 || text[0] == '\0')
        return;
    ::AppendMenuA(menu, MF_SEPARATOR, 0, nullptr);
    ::AppendMenuA(menu, MF_STRING, kAboutCommand, text);
}

INT_PTR InitMainDialog(HWND dialog, HWND proposedFocus, LPARAM record) {
    g_form = DialogForm::Input;
    g_MainDialog = dialog;
    SetWindowIcons(dialog);
    ::SetDlgItemTextA(dialog, ID_INTRO, kIntroText);
    ::SetWindowLongPtrA(dialog, DWLP_USER, record);
    const auto* data = reinterpret_cast<const TftpConfigData*>(record);
    if (data == nullptr)
        data = &g_TftpConfigData;
    ::SendDlgItemMessageA(dialog, ID_HOST, EM_LIMITTEXT, kHostNameSize - 1, 0);
    ::SetDlgItemTextA(dialog, ID_HOST, data->HostName);
    ::SendDlgItemMessageA(dialog, ID_LOGIN, EM_LIMITTEXT, kLoginNameSize - 1, 0);
    ::SetDlgItemTextA(dialog, ID_LOGIN, data->LoginName);
    ::SendDlgItemMessageA(dialog, ID_PASSWORD, EM_LIMITTEXT, kPasswordSize - 1, 0);
    ::SetDlgItemTextA(dialog, ID_PASSWORD, data->Password);
    CenterWindow(dialog);
    const bool hostProposed = proposedFocus != nullptr && ::GetDlgCtrlID(proposedFocus) == ID_HOST;
    if (!hostProposed)
        ::SetFocus(::GetDlgItem(dialog, ID_HOST));
    AppendAboutItem(dialog);
    // TRUE lets the dialog manager focus the proposed control; FALSE keeps the focus set above.
    return hostProposed ? TRUE : FALSE;
}

INT_PTR ColorStatic(HDC dc, HWND control) {
    std::uint32_t rgb = TemplateTextColor(::GetDlgCtrlID(control));
    if (rgb == ControlTemplate::kDefaultColor)
        return FALSE;
    ::SetTextColor(dc, ToColorRef(rgb));
    ::SetBkMode(dc, TRANSPARENT);
    return reinterpret_cast<INT_PTR>(::GetStockObject(NULL_BRUSH));
}

} // namespace

void SetMessageBoxHook(MessageBoxHook hook) {
    BoxHook() = std::move(hook);
}

void SetOpenFileHook(OpenFileHook hook) {
    FileHook() = std::move(hook);
}

std::string AboutText() {
    std::string text = "Skelvo Firmware Flash Loader\n\n";
    text +=
        "Tolva-2100 firmware version: " + FormatVersion(ImageVersion(SERVER_TOLVA_21XX)).substr(0, 63) + "\n";
    text +=
        "Tolva-2200 firmware version: " + FormatVersion(ImageVersion(SERVER_TOLVA_22XX)).substr(0, 63) + "\n";
    text +=
        "Dravenholt-II firmware version: " + FormatVersion(ImageVersion(SERVER_DRAVENHOLT)).substr(0, 63) +
        "\n";
    text += "\nCopyright Varnek. Use only on devices you administer.";
    return text;
}

void Win32Controls::Show(int id) {
    ::ShowWindow(::GetDlgItem(m_dialog, id), SW_SHOWNORMAL);
}

void Win32Controls::Hide(int id) {
    ::ShowWindow(::GetDlgItem(m_dialog, id), SW_HIDE);
}

void Win32Controls::Enable(int id, bool enabled) {
    ::EnableWindow(::GetDlgItem(m_dialog, id), enabled ? TRUE : FALSE);
}

void Win32Controls::SetText(int id, std::string_view text) {
    std::string value(text);
    ::SetDlgItemTextA(m_dialog, id, value.c_str());
    // A transparent text leaves the old one behind unless the dialog repaints beneath it.
    if (TemplateTextColor(id) != ControlTemplate::kDefaultColor) {
        HWND control = ::GetDlgItem(m_dialog, id);
        RECT area{};
        if (control != nullptr && ::GetWindowRect(control, &area)) {
            ::MapWindowPoints(HWND_DESKTOP, m_dialog, reinterpret_cast<POINT*>(&area), 2);
            ::InvalidateRect(m_dialog, &area, TRUE);
        }
    }
}

void Win32Controls::SendProgress(int id, ProgressMessage message, int first, int second) {
    HWND bar = ::GetDlgItem(m_dialog, id);
    switch (message) {
    case ProgressMessage::SetRange:
        ::SendMessageA(bar, PBM_SETRANGE, 0, MAKELPARAM(first, second));
        break;
    case ProgressMessage::SetStep:
        ::SendMessageA(bar, PBM_SETSTEP, static_cast<WPARAM>(first), 0);
        break;
    case ProgressMessage::SetPos:
        ::SendMessageA(bar, PBM_SETPOS, static_cast<WPARAM>(first), 0);
        break;
    }
}

int OnUpgradeStatus(int code, void* info) {
    if (g_MainDialog == nullptr)
        return 1;
    // The form changes first: closing asks from the moment the device may be verifying.
    ChangeForm([code](DialogForm form) { return FormAfterStatus(form, code); });
    Win32Controls controls(g_MainDialog);
    ui::OnUpgradeStatus(controls, code, ui::CopyStatusPayload(code, info), ui::CurrentEventContext());
    return 1;
}

int OnUpgradeError(int code, void*) {
    if (g_MainDialog == nullptr)
        return 1;
    ChangeForm([code](DialogForm form) { return FormAfterError(form, code); });
    Win32Controls controls(g_MainDialog);
    ui::OnUpgradeError(controls, code, ui::CurrentEventContext());
    return 1;
}

void CenterWindow(HWND window) {
    RECT r{};
    if (!::GetWindowRect(window, &r))
        return;
    int width = r.right - r.left;
    int height = r.bottom - r.top;
    HDC dc = ::GetDC(window);
    int screenWidth = ::GetDeviceCaps(dc, HORZRES);
    int screenHeight = ::GetDeviceCaps(dc, VERTRES);
    ::ReleaseDC(window, dc);
    Position p = CenteredPosition(width, height, screenWidth, screenHeight);
    ::SetWindowPos(window, nullptr, p.x, p.y, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
}

INT_PTR CALLBACK MainDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_INITDIALOG:
        return InitMainDialog(dialog, reinterpret_cast<HWND>(wParam), lParam);
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case ID_OK:
        case ID_CLOSE:
            ::EndDialog(dialog, 1);
            return TRUE;
        case ID_CANCEL:
            if (MayClose(dialog))
                ::EndDialog(dialog, 0);
            return TRUE;
        case ID_CONTINUE:
            // Enter sends the default button's command while the button is enabled, hidden or
            // not. A second sequence during an upgrade would find the TFTP port taken and show
            // the error form, which closes without asking, while the device is still working.
            if ((::GetWindowLongA(::GetDlgItem(dialog, ID_CONTINUE), GWL_STYLE) & WS_VISIBLE) != 0)
                RunContinue(dialog);
            return TRUE;
        case ID_ADVANCED:
            ShowAdvancedOptions(dialog);
            return TRUE;
        default:
            return FALSE;
        }
    case WM_SYSCOMMAND:
        // The low 4 bits of a system command are the platform's own.
        if ((wParam & 0xFFF0) == kAboutCommand)
            ShowAbout(dialog);
        return FALSE;
    case WM_CTLCOLORSTATIC:
        return ColorStatic(reinterpret_cast<HDC>(wParam), reinterpret_cast<HWND>(lParam));
    default:
        return FALSE;
    }
}

int ShowAdvancedOptions(HWND owner) {
    ::DialogBoxParamA(g_Instance, MAKEINTRESOURCEA(kAdvancedDialogId), owner, AdvancedDialogProc, 0);
    return 1;
}

int BrowseImageFile(HWND dialog) {
    char path[kImageFilenameSize] = {};
    OPENFILENAMEA request{};
    request.lStructSize = sizeof request;
    request.hwndOwner = dialog;
    request.lpstrFilter = "Flash File (*.BIN;*.flash)\0*.BIN;*.flash\0All\0*.*\0";
    request.nFilterIndex = 1;
    request.lpstrFile = path;
    request.nMaxFile = sizeof path;
    request.lpstrTitle = "Choose a flashfile to download";
    request.Flags = OFN_PATHMUSTEXIST | OFN_FILEMUSTEXIST;
    BOOL chosen = FileHook() ? FileHook()(&request) : ::GetOpenFileNameA(&request);
    if (!chosen) {
        TraceMessage("GetOpenFileName() call failed.\n");
        return 0;
    }
    path[sizeof path - 1] = '\0';
    if (!::SetDlgItemTextA(dialog, ID_ADV_FILENAME, path)) {
        TraceMessage("SetDlgItemText() call failed.\n");
        return 0;
    }
    if (!SetImageFilename(path)) {
        TraceMessage("SetImageFilename() call failed.\n");
        return 0;
    }
    return 1;
}

int ApplyAdvancedOptions(HWND dialog) {
    if (::IsDlgButtonChecked(dialog, ID_ADV_USE_FILE) == BST_CHECKED) {
        std::string name = DialogText(dialog, ID_ADV_FILENAME, kImageFilenameSize);
        HANDLE file = ::CreateFileA(name.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            TraceMessage("Error: could not open \"%s\".\n", name.c_str());
            ::MessageBeep(MB_ICONASTERISK);
            std::string text =
                "The file \"" + name + "\" could not be opened. \r\n Please check the filename.";
            Box(dialog, text.c_str(), "Error opening file.", MB_OK | MB_ICONERROR);
            ::SetFocus(::GetDlgItem(dialog, ID_ADV_FILENAME));
            return 0;
        }
        ::CloseHandle(file);
        LoadImageFile(name.c_str());
        SetImageToUse(SERVER_USER_FILE);
    }
    if (::IsDlgButtonChecked(dialog, ID_ADV_TRACE) == BST_CHECKED) {
        TraceMessage("Enabling download trace ...\n");
        SetDownloadTrace(1);
    } else {
        SetDownloadTrace(0);
    }
    return 1;
}

INT_PTR CALLBACK AdvancedDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG: {
        const BOOL useFile = GetImageToUse() == SERVER_USER_FILE ? TRUE : FALSE;
        ::EnableWindow(::GetDlgItem(dialog, ID_ADV_FILENAME), useFile);
        ::EnableWindow(::GetDlgItem(dialog, ID_ADV_BROWSE), useFile);
        if (GetDownloadTrace() != 0)
            ::CheckDlgButton(dialog, ID_ADV_TRACE, BST_CHECKED);
        ::SendDlgItemMessageA(dialog, ID_ADV_FILENAME, EM_LIMITTEXT, kImageFilenameSize - 1, 0);
        ::SetDlgItemTextA(dialog, ID_ADV_FILENAME, GetImageFilename());
        CenterWindow(dialog);
        return TRUE;
    }
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case ID_ADV_OK:
            if (ApplyAdvancedOptions(dialog))
                ::EndDialog(dialog, 1);
            return TRUE;
        case ID_ADV_CANCEL:
            ::EndDialog(dialog, 0);
            return TRUE;
        case ID_ADV_USE_FILE:
            ::EnableWindow(::GetDlgItem(dialog, ID_ADV_FILENAME), TRUE);
            ::EnableWindow(::GetDlgItem(dialog, ID_ADV_BROWSE), TRUE);
            return TRUE;
        case ID_ADV_BROWSE:
            BrowseImageFile(dialog);
            return TRUE;
        default:
            return FALSE;
        }
    default:
        return FALSE;
    }
}

int RunSkelvo(HINSTANCE instance) {
    g_Instance = instance;
    RegisterTftpCallbacks(CheckFilename, ReadImageBlock, nullptr, OnUpgradeError, OnUpgradeStatus);
    ::InitCommonControls();
    SetLoginName(kDefaultLogin);
    SetPassword(kDefaultPassword);
    INT_PTR result = ::DialogBoxParamA(instance, MAKEINTRESOURCEA(kMainDialogId), nullptr, MainDialogProc,
                                       reinterpret_cast<LPARAM>(&g_TftpConfigData));
    return static_cast<int>(result);
}

void EndProcess(int status) {
    // Trace lines are written unbuffered; this only flushes what a library left in stdio.
    std::fflush(stdout);
    std::fflush(stderr);
    std::_Exit(status);
}

} // namespace skelvo::win32
