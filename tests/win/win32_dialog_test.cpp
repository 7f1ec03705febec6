// The Win32 front end's dialogs, opened from the linked resource script and driven through the
// dialog manager under Wine: the templates as built, initialisation, colours, the About box, the
// presentation of events (also from another thread), closing during an upgrade, Advanced
// Options, and the end of the process.
#include "engine/events.h"
#include "engine/messages.h"
#include "engine/upgrade_record.h"
#include "tests/support/event_recorder.h"
#include "tests/win/win32_dialog_harness.h"
#include "tftp/tftp_callbacks.h"
#include "ui/templates.h"
#include "ui/win32/win32_ui.h"

#include <commctrl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace skelvo::ui;
using namespace skelvo::win32;
using namespace skelvo::win32::test;

std::string Lower(std::string s) {
    for (char& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

const char* ClassOf(ControlKind kind) {
    switch (kind) {
    case ControlKind::PushButton:
    case ControlKind::GroupBox:
    case ControlKind::CheckBox:
        return "button";
    case ControlKind::StaticText:
    case ControlKind::StaticBitmap:
        return "static";
    case ControlKind::Edit:
        return "edit";
    case ControlKind::ProgressBar:
        return "msctls_progress32";
    }
    return "";
}

enum class CloseBy { Escape, CloseBox, AltF4 };
const char* NameOf(CloseBy how) {
    return how == CloseBy::Escape ? "Escape" : how == CloseBy::CloseBox ? "close box" : "Alt+F4";
}

// Closes the dialog as the user does, and lets the dialog manager carry it out.
void Close(HWND dialog, CloseBy how) {
    switch (how) {
    case CloseBy::Escape:
        ::PostMessageA(KeyTarget(dialog), WM_KEYDOWN, VK_ESCAPE, 1);
        break;
    case CloseBy::CloseBox:
        ::PostMessageA(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
        break;
    case CloseBy::AltF4:
        ::PostMessageA(KeyTarget(dialog), WM_SYSKEYDOWN, VK_F4, 1 | (KF_ALTDOWN << 16));
        break;
    }
    PumpDialog(dialog);
}

// A timer procedure: presses Enter on the message box that this thread shows, if there is one.
void CALLBACK PressEnterOnTheBox(HWND, UINT, UINT_PTR, DWORD) {
    HWND box = nullptr;
    ::EnumThreadWindows(
        ::GetCurrentThreadId(),
        [](HWND w, LPARAM found) -> BOOL {
            char cls[16] = {};
            ::GetClassNameA(w, cls, sizeof cls);
            if (w == g_MainDialog || !::IsWindowVisible(w) || std::string(cls) != "#32770")
                return TRUE;
            *reinterpret_cast<HWND*>(found) = w;
            return FALSE;
        },
        reinterpret_cast<LPARAM>(&box));
    if (box != nullptr)
        ::PostMessageA(KeyTarget(box), WM_KEYDOWN, VK_RETURN, 1);
}

// Every control of both templates, as the dialog manager built it from the resource script.
TEST_F(Win32Dialogs, TheResourceScriptBuildsBothTemplatesExactly) {
    HWND main = OpenMain();
    HWND advanced = OpenAdvanced(main);
    for (auto [dialog, tmpl] :
         {std::pair{main, &MainDialogTemplate()}, std::pair{advanced, &AdvancedOptionsTemplate()}}) {
        SCOPED_TRACE(tmpl->caption);
        EXPECT_EQ(Text(dialog), tmpl->caption);
        LONG dstyle = ::GetWindowLongA(dialog, GWL_STYLE);
        EXPECT_EQ(dstyle & (WS_POPUP | WS_CAPTION | WS_SYSMENU), WS_POPUP | WS_CAPTION | WS_SYSMENU);
        RECT client{0, 0, tmpl->width, tmpl->height};
        ::MapDialogRect(dialog, &client);
        RECT actual{};
        ::GetClientRect(dialog, &actual);
        EXPECT_EQ(actual.right, client.right);
        EXPECT_EQ(actual.bottom, client.bottom);

        HWND child = ::GetWindow(dialog, GW_CHILD);
        for (const ControlTemplate& c : tmpl->controls) {
            SCOPED_TRACE(c.id);
            ASSERT_NE(child, nullptr) << "fewer controls than the template";
            EXPECT_EQ(::GetDlgCtrlID(child) & 0xFFFF, c.id & 0xFFFF) << "tab order";
            char cls[64] = {};
            ::GetClassNameA(child, cls, sizeof cls);
            EXPECT_EQ(Lower(cls), ClassOf(c.kind));
            LONG style = ::GetWindowLongA(child, GWL_STYLE);
            LONG ex = ::GetWindowLongA(child, GWL_EXSTYLE);
            EXPECT_EQ((style & WS_VISIBLE) == 0, (c.style & kHidden) != 0);
            EXPECT_EQ((style & WS_TABSTOP) != 0, (c.style & kTabStop) != 0);
            bool border = (style & WS_BORDER) || (ex & (WS_EX_CLIENTEDGE | WS_EX_STATICEDGE));
            // The progress bar draws its own edge and is free to drop the border style.
            if (c.kind != ControlKind::ProgressBar) {
                EXPECT_EQ(border, (c.style & kBorder) != 0);
            }
            if (c.kind == ControlKind::Edit) {
                EXPECT_EQ((style & ES_PASSWORD) != 0, (c.style & kPassword) != 0);
                EXPECT_EQ((style & ES_AUTOHSCROLL) != 0, (c.style & kAutoHScroll) != 0);
            }
            if (c.kind == ControlKind::CheckBox) {
                EXPECT_EQ(style & BS_TYPEMASK, BS_AUTOCHECKBOX);
            }
            if (c.kind == ControlKind::GroupBox) {
                EXPECT_EQ(style & BS_TYPEMASK, BS_GROUPBOX);
            }
            if (c.kind == ControlKind::StaticBitmap) {
                EXPECT_EQ(style & SS_TYPEMASK, SS_BITMAP);
                EXPECT_NE(::SendMessageA(child, STM_GETIMAGE, IMAGE_BITMAP, 0), 0);
            } else if (c.kind != ControlKind::ProgressBar && c.kind != ControlKind::Edit &&
                       c.id != ID_INTRO) {
                EXPECT_EQ(Text(child), c.caption);
            }
            // The dialog manager converts position and size each on its own.
            RECT origin{c.x, c.y, c.width, c.height};
            ::MapDialogRect(dialog, &origin);
            RECT got{};
            ::GetWindowRect(child, &got);
            ::MapWindowPoints(HWND_DESKTOP, dialog, reinterpret_cast<POINT*>(&got), 2);
            EXPECT_EQ(got.left, origin.left);
            EXPECT_EQ(got.top, origin.top);
            if (c.kind != ControlKind::StaticBitmap) { // a bitmap static takes its bitmap's size
                EXPECT_EQ(got.right - got.left, origin.right);
                EXPECT_EQ(got.bottom - got.top, origin.bottom);
            }
            child = ::GetWindow(child, GW_HWNDNEXT);
        }
        EXPECT_EQ(child, nullptr) << "more controls than the template";
    }
    HWND continueButton = ::GetDlgItem(main, ID_CONTINUE);
    EXPECT_EQ(::GetWindowLongA(continueButton, GWL_STYLE) & BS_TYPEMASK, BS_DEFPUSHBUTTON);
    BITMAP bm{};
    auto banner = static_cast<HBITMAP>(
        ::LoadImageA(g_Instance, MAKEINTRESOURCEA(kBannerBitmapId), IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION));
    ASSERT_NE(banner, nullptr);
    ::GetObjectA(banner, sizeof bm, &bm);
    EXPECT_EQ(bm.bmWidth, kBannerWidth);
    EXPECT_EQ(bm.bmHeight, kBannerHeight);
    EXPECT_EQ(bm.bmBitsPixel, 24);
    ::DeleteObject(banner);
    for (int size : {16, 32, 48})
        EXPECT_NE(::LoadImageA(g_Instance, MAKEINTRESOURCEA(kIconGroupId), IMAGE_ICON, size, size, 0),
                  nullptr)
            << size;
}

TEST_F(Win32Dialogs, OpensWithTheRecordsTextsLimitsAndTheAboutItem) {
    SetHostName("192.0.2.7");
    HWND d = OpenMain();
    EXPECT_EQ(g_MainDialog, d);
    EXPECT_EQ(::GetWindowLongPtrA(d, DWLP_USER), reinterpret_cast<LONG_PTR>(&g_TftpConfigData));
    EXPECT_EQ(Text(::GetDlgItem(d, ID_INTRO)),
              "This Skelvo firmware upgrade utility allows you to upgrade your server's firmware");
    EXPECT_EQ(Text(::GetDlgItem(d, ID_HOST)), "192.0.2.7");
    EXPECT_EQ(Text(::GetDlgItem(d, ID_LOGIN)), "root");
    EXPECT_EQ(Text(::GetDlgItem(d, ID_PASSWORD)), "marlin");
    EXPECT_EQ(::SendDlgItemMessageA(d, ID_HOST, EM_GETLIMITTEXT, 0, 0), 127);
    EXPECT_EQ(::SendDlgItemMessageA(d, ID_LOGIN, EM_GETLIMITTEXT, 0, 0), 79);
    EXPECT_EQ(::SendDlgItemMessageA(d, ID_PASSWORD, EM_GETLIMITTEXT, 0, 0), 79);

    HMENU menu = ::GetSystemMenu(d, FALSE);
    ASSERT_NE(menu, nullptr);
    char item[64] = {};
    EXPECT_GT(::GetMenuStringA(menu, kAboutCommand, item, sizeof item, MF_BYCOMMAND), 0);
    EXPECT_STREQ(item, "&About");

    // The system command, with platform bits in its low four bits, opens the About box.
    ::SendMessageA(d, WM_SYSCOMMAND, kAboutCommand | 0x3, 0);
    ASSERT_EQ(m_boxes.size(), 1u);
    EXPECT_EQ(m_boxes[0].title, "About Varnek Skelvo ...");
    EXPECT_EQ(m_boxes[0].type, static_cast<UINT>(MB_OK));
    EXPECT_NE(m_boxes[0].text.find("Tolva-2100 firmware version: 1.0.9\n"), std::string::npos);
    EXPECT_NE(m_boxes[0].text.find("Dravenholt-II firmware version: 6.2.1\n"), std::string::npos);
}

TEST_F(Win32Dialogs, TheWarningAndTheErrorTextAreDarkRedOnATransparentBackground) {
    HWND d = OpenMain();
    HDC dc = ::CreateCompatibleDC(nullptr);
    for (int id : {ID_WARNING, ID_ERROR_TEXT}) {
        ::SetTextColor(dc, RGB(0, 0, 0));
        ::SetBkMode(dc, OPAQUE);
        INT_PTR brush = ::SendMessageA(d, WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc),
                                       reinterpret_cast<LPARAM>(::GetDlgItem(d, id)));
        EXPECT_EQ(brush, reinterpret_cast<INT_PTR>(::GetStockObject(NULL_BRUSH))) << id;
        EXPECT_EQ(::GetTextColor(dc), RGB(192, 0, 0)) << id;
        EXPECT_EQ(::GetBkMode(dc), TRANSPARENT) << id;
    }
    ::SetTextColor(dc, RGB(0, 0, 0));
    INT_PTR other = ::SendMessageA(d, WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc),
                                   reinterpret_cast<LPARAM>(::GetDlgItem(d, ID_STEP_TITLE)));
    EXPECT_NE(other, reinterpret_cast<INT_PTR>(::GetStockObject(NULL_BRUSH)));
    EXPECT_EQ(::GetTextColor(dc), RGB(0, 0, 0));
    ::DeleteDC(dc);
}

TEST_F(Win32Dialogs, EventsMoveTheDialogThroughItsSteps) {
    HWND d = OpenMain();
    SetHostName("192.0.2.7");
    SetImageToUse(SERVER_DRAVENHOLT);
    RaiseStatus(STATUS_COMMAND_ACCEPTED);
    EXPECT_EQ(Text(::GetDlgItem(d, ID_STEP_TITLE)),
              "Step 2 of 5: Requesting flash image firmware upgrade to version 6.2.1\n");
    for (int id : {ID_HOST, ID_LOGIN, ID_PASSWORD, ID_ADVANCED, ID_WARNING, ID_CONTINUE, ID_CANCEL})
        EXPECT_FALSE(Visible(d, id)) << id;
    EXPECT_TRUE(Visible(d, ID_CLOSE));
    EXPECT_TRUE(Enabled(d, ID_CLOSE));

    RaiseStatus(STATUS_VERIFYING);
    EXPECT_TRUE(Visible(d, ID_PROGRESS_BAR));
    EXPECT_FALSE(Enabled(d, ID_CLOSE));
    ProgressInfo p{14848, 51200};
    RaiseStatus(STATUS_PROGRESS, &p);
    EXPECT_EQ(Text(::GetDlgItem(d, ID_PROGRESS_LABEL)), "Transferring 14848 of 51200 bytes.\n");
    EXPECT_EQ(::SendDlgItemMessageA(d, ID_PROGRESS_BAR, PBM_GETPOS, 0, 0), 28);
    EXPECT_EQ(::SendDlgItemMessageA(d, ID_PROGRESS_BAR, PBM_GETRANGE, FALSE, 0), 100);
    p = {512, 100}; // beyond the range: the bar keeps itself full
    RaiseStatus(STATUS_PROGRESS, &p);
    EXPECT_EQ(::SendDlgItemMessageA(d, ID_PROGRESS_BAR, PBM_GETPOS, 0, 0), 100);

    RaiseStatus(STATUS_COMPLETE);
    EXPECT_EQ(
        Text(::GetDlgItem(d, ID_STEP_TITLE)),
        "The Skelvo utility has successfully upgraded the Varnek Server: 192.0.2.7. to version 6.2.1 \n\n");
    EXPECT_FALSE(Visible(d, ID_PROGRESS_BAR));
    EXPECT_TRUE(Enabled(d, ID_CLOSE));
    EXPECT_EQ(Text(::GetDlgItem(d, ID_STEP_TEXT)), SuccessDescription());
    CompletionInfo unconfirmed{0};
    RaiseStatus(STATUS_COMPLETE, &unconfirmed);
    EXPECT_EQ(Text(::GetDlgItem(d, ID_STEP_TEXT)), SuccessDescription() + "\n\n" + UnconfirmedEndNote());

    RaiseError(ERR_LOGIN);
    EXPECT_EQ(
        Text(::GetDlgItem(d, ID_ERROR_TEXT)),
        "ERROR: Invalid Username ( root ) or Password Entered\n\nPlease check that both the username and "
        "password are correct");
    EXPECT_TRUE(Visible(d, ID_ERROR_TEXT));
    EXPECT_FALSE(Visible(d, ID_STEP_TITLE));
}

// The worker raises its events on its own thread and the handlers touch the controls from there;
// the dialog's thread only keeps its message loop going.
TEST_F(Win32Dialogs, TheWorkerThreadUpdatesTheControlsWhileTheDialogPumps) {
    HWND d = OpenMain();
    SetImageToUse(SERVER_TOLVA_21XX);
    RaiseStatus(STATUS_COMMAND_ACCEPTED);
    std::atomic<bool> done{false};
    std::thread worker([&] {
        RaiseStatus(STATUS_VERIFYING);
        for (int sent = 512; sent <= 51200; sent += 512) {
            ProgressInfo p{sent, 51200};
            RaiseStatus(STATUS_PROGRESS, &p);
        }
        RaiseStatus(STATUS_ERASING);
        done = true;
    });
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!done && std::chrono::steady_clock::now() < deadline) {
        ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
        Pump();
    }
    worker.join();
    ASSERT_TRUE(done);
    EXPECT_EQ(Text(::GetDlgItem(d, ID_STEP_TITLE)), "Step 4 of 5: Erasing existing flash firmware image.");
    EXPECT_EQ(Text(::GetDlgItem(d, ID_PROGRESS_LABEL)), "Transferring 51200 of 51200 bytes.\n");
    EXPECT_EQ(::SendDlgItemMessageA(d, ID_PROGRESS_BAR, PBM_GETPOS, 0, 0), 100);
    EXPECT_FALSE(Visible(d, ID_PROGRESS_BAR));
    EXPECT_TRUE(Visible(d, ID_CLOSE));
    EXPECT_FALSE(Enabled(d, ID_CLOSE));
}

// Escape, the close box and Alt+F4, each answered No and then Yes, in each step in which the
// device may be verifying, erasing or programming.
TEST_F(Win32Dialogs, ClosingWhileTheDeviceWorksAsksFirst) {
    for (int step : {STATUS_VERIFYING, STATUS_ERASING, STATUS_PROGRAMMING}) {
        SCOPED_TRACE(StatusName(step));
        m_boxes.clear();
        m_answer = IDNO;
        HWND d = OpenMain();
        ::ShowWindow(d, SW_SHOW);
        RaiseStatus(STATUS_COMMAND_ACCEPTED);
        RaiseStatus(step);
        for (CloseBy how : {CloseBy::Escape, CloseBy::CloseBox, CloseBy::AltF4}) {
            Close(d, how);
            EXPECT_TRUE(::IsWindowVisible(d)) << NameOf(how);
            EXPECT_EQ(m_boxes.size(), static_cast<std::size_t>(how) + 1) << NameOf(how);
        }
        for (const BoxCall& box : m_boxes) {
            EXPECT_EQ(box.title, "Varnek Firmware Flash Loader");
            EXPECT_EQ(
                box.text,
                "The device is being upgraded. Closing now can leave it without firmware. Close anyway?");
            EXPECT_EQ(box.type, static_cast<UINT>(MB_YESNO | MB_ICONWARNING | MB_DEFBUTTON2));
        }
        m_answer = IDYES;
        const CloseBy how = step == STATUS_VERIFYING ? CloseBy::Escape
                            : step == STATUS_ERASING ? CloseBy::CloseBox
                                                     : CloseBy::AltF4;
        Close(d, how);
        EXPECT_EQ(m_boxes.size(), 4u) << NameOf(how);
        EXPECT_FALSE(::IsWindowVisible(d)) << NameOf(how);
    }
}

TEST_F(Win32Dialogs, ClosingBeforeStepThreeOrAfterTheEndAsksNothing) {
    m_answer = IDNO;
    struct Form {
        std::vector<int> statuses;
        int error;
    };
    const Form forms[] = {
        {{}, 0},
        {{STATUS_COMMAND_ACCEPTED}, 0},
        {{STATUS_COMMAND_ACCEPTED, STATUS_PROGRAMMING, STATUS_COMPLETE}, 0},
        {{STATUS_COMMAND_ACCEPTED, STATUS_VERIFYING}, ERR_NO_PROGRAMMING_REQUEST},
        {{STATUS_COMMAND_ACCEPTED, STATUS_ERASING}, ERR_READ_REQUEST},
    };
    for (std::size_t n = 0; n < std::size(forms); ++n) {
        for (CloseBy how : {CloseBy::Escape, CloseBy::CloseBox, CloseBy::AltF4}) {
            SCOPED_TRACE(testing::Message() << "form " << n << ", " << NameOf(how));
            HWND d = OpenMain();
            ::ShowWindow(d, SW_SHOW);
            for (int code : forms[n].statuses)
                RaiseStatus(code);
            if (forms[n].error != 0)
                RaiseError(forms[n].error);
            Close(d, how);
            EXPECT_FALSE(::IsWindowVisible(d));
        }
    }
    EXPECT_TRUE(m_boxes.empty());
}

// Keyboard only, on the platform's own box: Escape asks, and Enter on the question chooses No.
TEST_F(Win32Dialogs, EnterOnTheCloseQuestionKeepsTheDialog) {
    int answered = 0;
    SetMessageBoxHook([&](HWND owner, const char* text, const char* title, UINT type) {
        // The timer fires inside the box's own message loop.
        UINT_PTR timer = ::SetTimer(nullptr, 0, 10, PressEnterOnTheBox);
        answered = ::MessageBoxA(owner, text, title, type);
        ::KillTimer(nullptr, timer);
        return answered;
    });
    HWND d = OpenMain();
    ::ShowWindow(d, SW_SHOW);
    RaiseStatus(STATUS_COMMAND_ACCEPTED);
    RaiseStatus(STATUS_ERASING);
    Close(d, CloseBy::Escape);
    EXPECT_EQ(answered, IDNO);
    EXPECT_TRUE(::IsWindowVisible(d));
}

[[noreturn]] void EndWhileAWorkerRuns() {
    static struct Witness {
        ~Witness() { std::fputs("a static destructor ran\n", stderr); }
    } witness;
    std::thread([] {
        for (;;)
            ::Sleep(1000);
    }).detach();
    std::setvbuf(stderr, nullptr, _IOFBF, 4096);
    std::fputs("a buffered line\n", stderr);
    EndProcess(7);
}

// The program's end: what stdio holds is written, and no static destructor runs under a worker.
TEST(Win32EndProcess, WritesWhatIsBufferedAndRunsNoStaticDestructor) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(EndWhileAWorkerRuns(), ::testing::ExitedWithCode(7),
                ::testing::AllOf(::testing::HasSubstr("a buffered line\n"),
                                 ::testing::Not(::testing::HasSubstr("a static destructor ran"))));
}

RECT WorkArea() {
    RECT work{};
    ::SystemParametersInfoA(SPI_GETWORKAREA, 0, &work, 0);
    return work;
}

// A window that fits keeps CenterWindow's arithmetic; a larger one starts at the work area's top
// left corner, where its caption bar stays on the screen.
TEST_F(Win32Dialogs, CenteringUsesSeparateIntegerHalvesAndKeepsTheCaptionOnTheScreen) {
    HWND w =
        ::CreateWindowExA(0, "Static", "", WS_POPUP, 0, 0, 301, 201, nullptr, nullptr, g_Instance, nullptr);
    m_windows.push_back(w);
    CenterWindow(w);
    RECT r{};
    ::GetWindowRect(w, &r);
    HDC dc = ::GetDC(w);
    int sw = ::GetDeviceCaps(dc, HORZRES), sh = ::GetDeviceCaps(dc, VERTRES);
    ::ReleaseDC(w, dc);
    EXPECT_EQ(r.left, sw / 2 - 150);
    EXPECT_EQ(r.top, sh / 2 - 100);
    EXPECT_EQ(r.right - r.left, 301);

    const RECT work = WorkArea();
    ::SetWindowPos(w, nullptr, 0, 0, sw + 41, sh + 3, SWP_NOMOVE | SWP_NOZORDER);
    CenterWindow(w);
    ::GetWindowRect(w, &r);
    EXPECT_EQ(r.left, work.left);
    EXPECT_EQ(r.top, work.top);
    EXPECT_EQ(r.right - r.left, sw + 41);
}

// At 200 % on a 1024 x 768 screen the main dialog at its template's 8 points is taller than the
// screen; it opens with a smaller font, whole inside the work area.
TEST_F(Win32Dialogs, BothDialogsOpenWholeInsideTheWorkArea) {
    const RECT work = WorkArea();
    HWND main = OpenMain();
    HWND advanced = OpenAdvanced(main);
    for (HWND d : {main, advanced}) {
        SCOPED_TRACE(Text(d));
        RECT r{};
        ::GetWindowRect(d, &r);
        EXPECT_GE(r.left, work.left);
        EXPECT_GE(r.top, work.top);
        EXPECT_LE(r.right, work.right);
        EXPECT_LE(r.bottom, work.bottom);
    }
    const HDC dc = ::GetDC(nullptr);
    const int dpi = ::GetDeviceCaps(dc, LOGPIXELSY);
    ::ReleaseDC(nullptr, dc);
    LOGFONTA font{};
    ::GetObjectA(reinterpret_cast<HGDIOBJ>(::SendMessageA(main, WM_GETFONT, 0, 0)), sizeof font, &font);
    const int templateHeight = ::MulDiv(MainDialogTemplate().fontPoints, dpi, 72);
    if (dpi >= 192 && work.bottom - work.top <= 768) {
        EXPECT_LT(-font.lfHeight, templateHeight) << "the dialog fits at its template's font?";
    } else if (dpi == 96) {
        EXPECT_EQ(-font.lfHeight, templateHeight);
    }
}

TEST_F(Win32Dialogs, AdvancedOptionsLoadsOnlyAFileThatOpens) {
    skelvo::test::TempDir dir;
    std::string file = dir.Write("custom.flash", skelvo::test::PatternBytes(1500));
    SetDownloadTrace(1);
    HWND main = OpenMain();
    HWND d = OpenAdvanced(main);
    EXPECT_FALSE(Enabled(d, ID_ADV_FILENAME));
    EXPECT_FALSE(Enabled(d, ID_ADV_BROWSE));
    EXPECT_EQ(::IsDlgButtonChecked(d, ID_ADV_TRACE), static_cast<UINT>(BST_CHECKED));
    EXPECT_EQ(::IsDlgButtonChecked(d, ID_ADV_USE_FILE), static_cast<UINT>(BST_UNCHECKED));
    EXPECT_EQ(::SendDlgItemMessageA(d, ID_ADV_FILENAME, EM_GETLIMITTEXT, 0, 0), 259);

    // A click checks the box and enables the name; a second click unchecks it, both stay enabled.
    ::SendDlgItemMessageA(d, ID_ADV_USE_FILE, BM_CLICK, 0, 0);
    EXPECT_TRUE(Enabled(d, ID_ADV_FILENAME));
    EXPECT_TRUE(Enabled(d, ID_ADV_BROWSE));
    ::SendDlgItemMessageA(d, ID_ADV_USE_FILE, BM_CLICK, 0, 0);
    EXPECT_TRUE(Enabled(d, ID_ADV_FILENAME));
    ::SendDlgItemMessageA(d, ID_ADV_USE_FILE, BM_CLICK, 0, 0);

    std::string missing = dir.File("missing.bin");
    ::SetDlgItemTextA(d, ID_ADV_FILENAME, missing.c_str());
    EXPECT_EQ(ApplyAdvancedOptions(d), 0);
    ASSERT_EQ(m_boxes.size(), 1u);
    EXPECT_EQ(m_boxes[0].title, "Error opening file.");
    EXPECT_EQ(m_boxes[0].text,
              "The file \"" + missing + "\" could not be opened. \r\n Please check the filename.");
    EXPECT_EQ(m_boxes[0].type, static_cast<UINT>(MB_OK | MB_ICONERROR));
    EXPECT_EQ(GetImageToUse(), SERVER_UNKNOWN);
    EXPECT_EQ(GetDownloadTrace(), 1);

    ::SetDlgItemTextA(d, ID_ADV_FILENAME, file.c_str());
    ::CheckDlgButton(d, ID_ADV_TRACE, BST_UNCHECKED);
    EXPECT_EQ(ApplyAdvancedOptions(d), 1);
    EXPECT_EQ(GetImageToUse(), SERVER_USER_FILE);
    EXPECT_EQ(g_TftpConfigData.FileImage.Size, 1500u);
    EXPECT_EQ(GetDownloadTrace(), 0);
    EXPECT_STREQ(GetImageFilename(), ""); // a typed name is loaded, not remembered
}

TEST_F(Win32Dialogs, BrowseStoresTheChosenPathAndACancelChangesNothing) {
    HWND main = OpenMain();
    HWND d = OpenAdvanced(main);
    OPENFILENAMEA seen{};
    std::string filter, title;
    SetOpenFileHook([&](OPENFILENAMEA* request) {
        seen = *request;
        filter.assign(request->lpstrFilter, 47);
        title = request->lpstrTitle;
        return FALSE;
    });
    ::SetDlgItemTextA(d, ID_ADV_FILENAME, "before");
    EXPECT_EQ(BrowseImageFile(d), 0);
    EXPECT_EQ(Text(::GetDlgItem(d, ID_ADV_FILENAME)), "before");
    EXPECT_EQ(seen.hwndOwner, d);
    EXPECT_EQ(title, "Choose a flashfile to download");
    EXPECT_EQ(seen.nMaxFile, 260u);
    EXPECT_EQ(seen.nFilterIndex, 1u);
    EXPECT_EQ(seen.Flags, static_cast<DWORD>(OFN_PATHMUSTEXIST | OFN_FILEMUSTEXIST));
    EXPECT_EQ(filter, std::string("Flash File (*.BIN;*.flash)\0*.BIN;*.flash\0All\0*.*\0", 47));

    SetOpenFileHook([](OPENFILENAMEA* request) {
        std::snprintf(request->lpstrFile, request->nMaxFile, "C:\\images\\new.BIN");
        return TRUE;
    });
    EXPECT_EQ(BrowseImageFile(d), 1);
    EXPECT_EQ(Text(::GetDlgItem(d, ID_ADV_FILENAME)), "C:\\images\\new.BIN");
    EXPECT_STREQ(GetImageFilename(), "C:\\images\\new.BIN");
    EXPECT_EQ(GetImageToUse(), SERVER_UNKNOWN);
}

} // namespace
