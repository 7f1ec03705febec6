// What the Win32 dialog tests share: the program's dialogs opened as the program opens them, its
// boxes answered by a hook, and message pumps that pass keys through the dialog manager.
#pragma once

#include "engine/events.h"
#include "engine/upgrade_record.h"
#include "tftp/tftp_callbacks.h"
#include "ui/templates.h"
#include "ui/win32/win32_ui.h"

#include <commctrl.h>
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace skelvo::win32::test {

using namespace skelvo::ui;

struct BoxCall {
    std::string text, title;
    UINT type = 0;
};

inline std::string Text(HWND window) {
    char buffer[1024] = {};
    ::GetWindowTextA(window, buffer, sizeof buffer);
    return buffer;
}

inline void Pump() {
    MSG msg;
    while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        ::TranslateMessage(&msg);
        ::DispatchMessageA(&msg);
    }
}

// Dispatches what is queued the way a modal dialog's loop does, keys through the dialog manager.
inline void PumpDialog(HWND dialog) {
    MSG msg;
    while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (!::IsDialogMessageA(dialog, &msg)) {
            ::TranslateMessage(&msg);
            ::DispatchMessageA(&msg);
        }
    }
}

// The window that a key pressed now would go to: the focused control, else the dialog.
inline HWND KeyTarget(HWND dialog) {
    HWND focus = ::GetFocus();
    return focus != nullptr && ::IsChild(dialog, focus) ? focus : dialog;
}

class Win32Dialogs : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetUpgradeRecord();
        g_Instance = ::GetModuleHandleA(nullptr);
        ::InitCommonControls();
        RegisterTftpCallbacks(nullptr, nullptr, nullptr, DialogOnUpgradeError, DialogOnUpgradeStatus);
        m_route.emplace(PresentOnMainDialog);
        SetLoginName(kDefaultLogin);
        SetPassword(kDefaultPassword);
        SetMessageBoxHook([this](HWND, const char* text, const char* title, UINT type) {
            m_boxes.push_back({text, title, type});
            return m_answer;
        });
    }
    void TearDown() override {
        for (HWND w : m_windows)
            ::DestroyWindow(w);
        g_MainDialog = nullptr;
        SetMessageBoxHook({});
        SetOpenFileHook({});
        RegisterTftpCallbacks(nullptr, nullptr, nullptr, nullptr, nullptr);
        m_route.reset();
    }

    // The dialogs as the program makes them: the templates as FittedDialogTemplate gives them,
    // here modeless, so that a test drives them with its own message loop.
    HWND OpenMain() {
        const std::vector<WORD> tmpl = FittedDialogTemplate(kMainDialogId);
        HWND d = ::CreateDialogIndirectParamA(g_Instance, reinterpret_cast<const DLGTEMPLATE*>(tmpl.data()),
                                              nullptr, MainDialogProc,
                                              reinterpret_cast<LPARAM>(&g_TftpConfigData));
        EXPECT_NE(d, nullptr) << ::GetLastError();
        m_windows.push_back(d);
        return d;
    }
    HWND OpenAdvanced(HWND owner) {
        const std::vector<WORD> tmpl = FittedDialogTemplate(kAdvancedDialogId);
        HWND d = ::CreateDialogIndirectParamA(g_Instance, reinterpret_cast<const DLGTEMPLATE*>(tmpl.data()),
                                              owner, AdvancedDialogProc, 0);
        EXPECT_NE(d, nullptr) << ::GetLastError();
        m_windows.insert(m_windows.begin(), d);
        return d;
    }
    static bool Visible(HWND d, int id) {
        return (::GetWindowLongA(::GetDlgItem(d, id), GWL_STYLE) & WS_VISIBLE) != 0;
    }
    static bool Enabled(HWND d, int id) { return ::IsWindowEnabled(::GetDlgItem(d, id)) != 0; }

    std::optional<EventRoute> m_route;
    std::vector<HWND> m_windows;
    std::vector<BoxCall> m_boxes;
    int m_answer = IDOK;
};

} // namespace skelvo::win32::test
