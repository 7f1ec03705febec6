#include "ui/win32/win32_ui.h"

#include "engine/upgrade_record.h"
#include "ui/advanced_presenter.h"
#include "ui/dialog_texts.h"
#include "ui/main_presenter.h"
#include "ui/templates.h"

#include <commctrl.h>
#include <commdlg.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>

HWND g_MainDialog = nullptr;
HINSTANCE g_Instance = nullptr;

namespace skelvo::win32 {

namespace {

using namespace skelvo::ui;

// A worker's request to run a function on the dialog's thread (lParam: the function).
constexpr UINT kRunOnDialogThread = WM_APP + 1;
// Posted at initialisation: the dialog is up, and the presenter may ask about the journal.
constexpr UINT kDialogStarted = WM_APP + 2;

MessageBoxHook& BoxHook() {
    static MessageBoxHook hook;
    return hook;
}

OpenFileHook& FileHook() {
    static OpenFileHook hook;
    return hook;
}

int Box(HWND owner, std::string_view text, std::string_view title, UINT type) {
    const std::string t(text), c(title);
    if (BoxHook())
        return BoxHook()(owner, t.c_str(), c.c_str(), type);
    return ::MessageBoxA(owner, t.c_str(), c.c_str(), type);
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

// A control's text, read with room for `capacity` characters including the terminating NUL.
std::string DialogText(HWND dialog, int id, int capacity) {
    std::string text(static_cast<std::size_t>(capacity), '\0');
    int n = ::GetDlgItemTextA(dialog, id, text.data(), capacity);
    text.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return text;
}

// The main dialog's controls and boxes. It acts on g_MainDialog, the one main dialog, so that the
// presentation reaches it from any thread.
class MainView : public MainDialogView {
  public:
    void Show(int id) override { ::ShowWindow(Item(id), SW_SHOWNORMAL); }
    void Hide(int id) override { ::ShowWindow(Item(id), SW_HIDE); }
    void Enable(int id, bool enabled) override { ::EnableWindow(Item(id), enabled ? TRUE : FALSE); }
    void SetText(int id, std::string_view text) override {
        const std::string value(text);
        ::SetDlgItemTextA(g_MainDialog, id, value.c_str());
        // A transparent text leaves the old one behind unless the dialog repaints beneath it.
        if (TemplateTextColor(id) != ControlTemplate::kDefaultColor) {
            RECT area{};
            if (HWND control = Item(id); control != nullptr && ::GetWindowRect(control, &area)) {
                ::MapWindowPoints(HWND_DESKTOP, g_MainDialog, reinterpret_cast<POINT*>(&area), 2);
                ::InvalidateRect(g_MainDialog, &area, TRUE);
            }
        }
    }
    void SendProgress(int id, ProgressMessage message, int first, int second) override {
        switch (message) {
        case ProgressMessage::SetRange:
            ::SendMessageA(Item(id), PBM_SETRANGE, 0, MAKELPARAM(first, second));
            break;
        case ProgressMessage::SetStep:
            ::SendMessageA(Item(id), PBM_SETSTEP, static_cast<WPARAM>(first), 0);
            break;
        case ProgressMessage::SetPos:
            ::SendMessageA(Item(id), PBM_SETPOS, static_cast<WPARAM>(first), 0);
            break;
        }
    }
    void SetDefaultButton(int id) override {
        // The dialog manager moves the default style from the old button to the new one.
        ::SendMessageA(g_MainDialog, DM_SETDEFID, static_cast<WPARAM>(id), 0);
    }
    void SetFocusable(int id, bool focusable) override {
        HWND control = Item(id);
        LONG style = ::GetWindowLongA(control, GWL_STYLE);
        style = focusable ? (style | WS_TABSTOP) : (style & ~WS_TABSTOP);
        ::SetWindowLongA(control, GWL_STYLE, style);
    }
    void Focus(int id) override {
        // Sent, so that the dialog's thread moves the focus and the default button together.
        ::SendMessageA(g_MainDialog, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(Item(id)), TRUE);
    }

    std::string EditText(int id) const override {
        const ControlTemplate* c = FindControl(MainDialogTemplate(), id);
        return DialogText(g_MainDialog, id, c != nullptr ? c->textLimit + 1 : 1);
    }
    upgrade::ConfirmAnswer Confirm(const upgrade::ConfirmQuestion& question) override {
        using upgrade::ConfirmAnswer;
        const int answer =
            Box(g_MainDialog, question.text, question.title, MB_YESNOCANCEL | MB_ICONWARNING | MB_DEFBUTTON3);
        if (answer == IDYES)
            return ConfirmAnswer::Yes;
        return answer == IDNO ? ConfirmAnswer::No : ConfirmAnswer::Cancel;
    }
    bool AskYesNo(std::string_view title, std::string_view text) override {
        return Box(g_MainDialog, text, title, MB_YESNO | MB_ICONWARNING | MB_DEFBUTTON2) == IDYES;
    }
    void Inform(std::string_view title, std::string_view text) override {
        Box(g_MainDialog, text, title, MB_OK);
    }
    void OpenAdvancedOptions() override { ShowAdvancedOptions(g_MainDialog); }
    void End(int value) override { ::EndDialog(g_MainDialog, value); }
    bool PostToDialogThread(std::function<void()> work) override {
        auto queued = std::make_unique<std::function<void()>>(std::move(work));
        if (::PostMessageA(g_MainDialog, kRunOnDialogThread, 0, reinterpret_cast<LPARAM>(queued.get())) == 0)
            return false;
        // The dialog's thread owns it now.
        static_cast<void>(queued.release());
        return true;
    }

  private:
    static HWND Item(int id) { return ::GetDlgItem(g_MainDialog, id); }
};

// The one main dialog's presenter, like g_MainDialog alive for the whole program.
MainPresenter& Presenter() {
    static MainView view;
    static MainPresenter presenter(view);
    return presenter;
}

class AdvancedView : public AdvancedOptionsView {
  public:
    explicit AdvancedView(HWND dialog) : m_dialog(dialog) {}
    void Enable(int id, bool enabled) override {
        ::EnableWindow(::GetDlgItem(m_dialog, id), enabled ? TRUE : FALSE);
    }
    bool IsChecked(int id) const override { return ::IsDlgButtonChecked(m_dialog, id) == BST_CHECKED; }
    void SetChecked(int id, bool checked) override {
        ::CheckDlgButton(m_dialog, id, checked ? BST_CHECKED : BST_UNCHECKED);
    }
    std::string FileNameText() const override {
        return DialogText(m_dialog, ID_ADV_FILENAME, static_cast<int>(kImageFilenameSize));
    }
    bool SetFileNameText(std::string_view name) override {
        const std::string value(name);
        return ::SetDlgItemTextA(m_dialog, ID_ADV_FILENAME, value.c_str()) != 0;
    }
    std::optional<std::string> ChooseImageFile() override {
        char path[kImageFilenameSize] = {};
        // Pairs of (what the box shows, the patterns), each ending in NUL, the list in another.
        std::string filter;
        for (const char* part :
             {kFlashFilterLabel, kFlashFilterPatterns, kAllFilterLabel, kAllFilterPatterns}) {
            filter += part;
            filter += '\0';
        }
        OPENFILENAMEA request{};
        request.lStructSize = sizeof request;
        request.hwndOwner = m_dialog;
        request.lpstrFilter = filter.c_str();
        request.nFilterIndex = 1;
        request.lpstrFile = path;
        request.nMaxFile = sizeof path;
        request.lpstrTitle = kBrowseTitle;
        request.Flags = OFN_PATHMUSTEXIST | OFN_FILEMUSTEXIST;
        const BOOL chosen = FileHook() ? FileHook()(&request) : ::GetOpenFileNameA(&request);
        if (!chosen)
            return std::nullopt;
        path[sizeof path - 1] = '\0';
        return std::string(path);
    }
    void ReportFileError(std::string_view title, std::string_view text) override {
        ::MessageBeep(MB_ICONASTERISK);
        Box(m_dialog, text, title, MB_OK | MB_ICONERROR);
        ::SetFocus(::GetDlgItem(m_dialog, ID_ADV_FILENAME));
    }
    void End(int value) override { ::EndDialog(m_dialog, value); }

  private:
    HWND m_dialog;
};

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

// EM_LIMITTEXT for every edit box of a template that has a limit.
void LimitEditBoxes(HWND dialog, const DialogTemplate& tmpl) {
    for (const ControlTemplate& c : tmpl.controls)
        if (c.kind == ControlKind::Edit && c.textLimit > 0)
            ::SendDlgItemMessageA(dialog, c.id, EM_LIMITTEXT, static_cast<WPARAM>(c.textLimit), 0);
}

INT_PTR InitMainDialog(HWND dialog, HWND proposedFocus, LPARAM record) {
    g_MainDialog = dialog;
    SetWindowIcons(dialog);
    ::SetWindowLongPtrA(dialog, DWLP_USER, record);
    LimitEditBoxes(dialog, MainDialogTemplate());
    Presenter().Initialise();
    ::PostMessageA(dialog, kDialogStarted, 0, 0);
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

// The least point size a dialog is made smaller to; below it the text is no longer legible.
constexpr WORD kSmallestPoints = 5;

// A template's words from `at` past a menu or class entry: 0 for none, 0xFFFF and an ordinal,
// or a NUL-terminated UTF-16 name.
std::size_t SkipNameOrOrdinal(const std::vector<WORD>& words, std::size_t at) {
    if (at >= words.size())
        return at;
    if (words[at] == 0xFFFF)
        return at + 2;
    while (at < words.size() && words[at] != 0)
        ++at;
    return at + 1;
}

// The outer size of a dialog of `width` x `height` dialog units with the given font, as the
// dialog manager computes it: base units from the font's character height and the average width
// of the 52 letters (rounded), then the frame that the style adds.
SIZE DialogWindowSize(DWORD style, DWORD exStyle, int width, int height, const wchar_t* face, int points) {
    HDC dc = ::GetDC(nullptr);
    const int dpi = ::GetDeviceCaps(dc, LOGPIXELSY);
    HFONT font = ::CreateFontW(-::MulDiv(points, dpi, 72), 0, 0, 0, FW_DONTCARE, FALSE, FALSE, FALSE,
                               DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                               DEFAULT_PITCH | FF_DONTCARE, face);
    HGDIOBJ old = ::SelectObject(dc, font);
    TEXTMETRICW tm{};
    ::GetTextMetricsW(dc, &tm);
    static constexpr wchar_t kLetters[] = L"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    SIZE letters{};
    ::GetTextExtentPoint32W(dc, kLetters, 52, &letters);
    ::SelectObject(dc, old);
    ::DeleteObject(font);
    ::ReleaseDC(nullptr, dc);
    const int averageWidth = (letters.cx / 26 + 1) / 2;
    RECT r{0, 0, ::MulDiv(width, averageWidth, 4), ::MulDiv(height, tm.tmHeight, 8)};
    if (style & DS_MODALFRAME)
        exStyle |= WS_EX_DLGMODALFRAME;
    ::AdjustWindowRectEx(&r, style, FALSE, exStyle);
    return SIZE{r.right - r.left, r.bottom - r.top};
}

int KeepInside(int at, int size, LONG low, LONG high) {
    return std::max(static_cast<int>(low), std::min(at, static_cast<int>(high) - size));
}

} // namespace

std::vector<WORD> FittedDialogTemplate(int id) {
    HRSRC resource = ::FindResourceA(g_Instance, MAKEINTRESOURCEA(id), MAKEINTRESOURCEA(5)); // RT_DIALOG
    HGLOBAL loaded = resource != nullptr ? ::LoadResource(g_Instance, resource) : nullptr;
    const void* data = loaded != nullptr ? ::LockResource(loaded) : nullptr;
    if (data == nullptr)
        return {};
    const DWORD bytes = ::SizeofResource(g_Instance, resource);
    std::vector<WORD> words((bytes + 1) / 2);
    std::memcpy(words.data(), data, bytes);
    // DLGTEMPLATE: style, extended style, item count, x, y, cx, cy (18 bytes, packed); then the
    // menu, the class, the caption, and with DS_SETFONT the point size and the face name.
    // A DLGTEMPLATEEX starts with version 1 and 0xFFFF; it is left as it is.
    constexpr std::size_t kHeaderWords = 9;
    if (words.size() <= kHeaderWords || (words[0] == 1 && words[1] == 0xFFFF))
        return words;
    DWORD style = 0, exStyle = 0;
    std::memcpy(&style, &words[0], sizeof style);
    std::memcpy(&exStyle, &words[2], sizeof exStyle);
    const auto width = static_cast<short>(words[7]), height = static_cast<short>(words[8]);
    if (!(style & DS_SETFONT))
        return words;
    std::size_t at = SkipNameOrOrdinal(words, kHeaderWords);
    at = SkipNameOrOrdinal(words, at);
    while (at < words.size() && words[at] != 0) // the caption
        ++at;
    const std::size_t pointsAt = at + 1;
    if (pointsAt + 1 >= words.size())
        return words;
    const std::wstring face(reinterpret_cast<const wchar_t*>(&words[pointsAt + 1]));
    RECT work{};
    if (!::SystemParametersInfoA(SPI_GETWORKAREA, 0, &work, 0))
        return words;
    for (WORD& points = words[pointsAt]; points > kSmallestPoints; --points) {
        const SIZE size = DialogWindowSize(style, exStyle, width, height, face.c_str(), points);
        if (size.cx <= work.right - work.left && size.cy <= work.bottom - work.top)
            break;
    }
    return words;
}

void SetMessageBoxHook(MessageBoxHook hook) {
    BoxHook() = std::move(hook);
}

void SetOpenFileHook(OpenFileHook hook) {
    FileHook() = std::move(hook);
}

void PresentOnMainDialog(const DialogEvent& event) {
    if (g_MainDialog != nullptr)
        Presenter().Present(event);
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
    if (RECT work{}; ::SystemParametersInfoA(SPI_GETWORKAREA, 0, &work, 0)) {
        p.x = KeepInside(p.x, width, work.left, work.right);
        p.y = KeepInside(p.y, height, work.top, work.bottom);
    }
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
        case ID_CANCEL: // also Escape, the close box and Alt+F4
        case ID_CONTINUE:
        case ID_ADVANCED:
            Presenter().Command(LOWORD(wParam));
            return TRUE;
        default:
            return FALSE;
        }
    case WM_SYSCOMMAND:
        // The low 4 bits of a system command are the platform's own.
        if ((wParam & 0xFFF0) == kAboutCommand)
            Presenter().ShowAbout();
        return FALSE;
    case WM_CTLCOLORSTATIC:
        return ColorStatic(reinterpret_cast<HDC>(wParam), reinterpret_cast<HWND>(lParam));
    case kRunOnDialogThread: {
        const std::unique_ptr<std::function<void()>> work(reinterpret_cast<std::function<void()>*>(lParam));
        (*work)();
        return TRUE;
    }
    case kDialogStarted:
        Presenter().Started();
        return TRUE;
    default:
        return FALSE;
    }
}

int ShowAdvancedOptions(HWND owner) {
    const std::vector<WORD> tmpl = FittedDialogTemplate(kAdvancedDialogId);
    ::DialogBoxIndirectParamA(g_Instance, reinterpret_cast<const DLGTEMPLATE*>(tmpl.data()), owner,
                              AdvancedDialogProc, 0);
    return 1;
}

int BrowseImageFile(HWND dialog) {
    AdvancedView view(dialog);
    return AdvancedOptionsPresenter(view, Presenter().NoTftpOptions()).BrowseImageFile();
}

int ApplyAdvancedOptions(HWND dialog) {
    AdvancedView view(dialog);
    return AdvancedOptionsPresenter(view, Presenter().NoTftpOptions()).ApplyAdvancedOptions();
}

INT_PTR CALLBACK AdvancedDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    AdvancedView view(dialog);
    AdvancedOptionsPresenter presenter(view, Presenter().NoTftpOptions());
    switch (message) {
    case WM_INITDIALOG:
        LimitEditBoxes(dialog, AdvancedOptionsTemplate());
        presenter.Initialise();
        CenterWindow(dialog);
        return TRUE;
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case ID_ADV_OK:
        case ID_ADV_CANCEL:
        case ID_ADV_USE_FILE:
        case ID_ADV_BROWSE:
            presenter.Command(LOWORD(wParam));
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
    PrepareStartup();
    ::InitCommonControls();
    // Never ended: the process ends with EndProcess while the worker may still raise events.
    static EventRoute route(PresentOnMainDialog);
    const std::vector<WORD> tmpl = FittedDialogTemplate(kMainDialogId);
    INT_PTR result =
        ::DialogBoxIndirectParamA(instance, reinterpret_cast<const DLGTEMPLATE*>(tmpl.data()), nullptr,
                                  MainDialogProc, reinterpret_cast<LPARAM>(&g_TftpConfigData));
    return static_cast<int>(result);
}

void EndProcess(int status) {
    // Trace lines are written unbuffered; this only flushes what a library left in stdio.
    std::fflush(stdout);
    std::fflush(stderr);
    std::_Exit(status);
}

} // namespace skelvo::win32
