// The main dialog by keyboard alone, run modally as the program runs it: real key messages go to
// the focused control through the dialog manager's own modal loop, and the dialog's end value is
// what DialogBoxIndirectParamA returns.
#include "engine/messages.h"
#include "tests/win/win32_dialog_harness.h"

#include <functional>
#include <string>
#include <vector>

namespace {

using namespace skelvo::ui;
using namespace skelvo::win32;
using namespace skelvo::win32::test;

// The end value a test gives the dialog when the keys left it open.
constexpr INT_PTR kStillOpen = 42;

// One modal run: once the dialog runs, bring it into a form, press the keys on the focused
// control, and when the queue has gone quiet with the dialog still open, end it with kStillOpen.
// A thread timer drives it: WM_TIMER comes only when no posted message waits, so the second tick
// follows the keys' handling whatever the machine's load.
struct KeyRun {
    std::function<void()> form;
    std::vector<WPARAM> keys;
    int ticks = 0;
    int focusedId = 0;
    std::string stepText{}, errorText{}; // as the form showed them before the keys
    bool textsKept = false;              // the same after the keys, if the dialog stayed open
};

KeyRun* g_run = nullptr;

std::string ItemText(int id) {
    return Text(::GetDlgItem(g_MainDialog, id));
}

void CALLBACK DriveKeyRun(HWND, UINT, UINT_PTR, DWORD) {
    KeyRun& run = *g_run;
    if (g_MainDialog == nullptr)
        return;
    if (++run.ticks == 1) {
        run.form();
        run.stepText = ItemText(ID_STEP_TEXT);
        run.errorText = ItemText(ID_ERROR_TEXT);
        HWND target = KeyTarget(g_MainDialog);
        run.focusedId = target != g_MainDialog ? ::GetDlgCtrlID(target) : 0;
        for (WPARAM key : run.keys) {
            ::PostMessageA(target, WM_KEYDOWN, key, 1);
            ::PostMessageA(target, WM_KEYUP, key, 1 | (1u << 30) | (1u << 31));
        }
    } else {
        run.textsKept = ItemText(ID_STEP_TEXT) == run.stepText && ItemText(ID_ERROR_TEXT) == run.errorText;
        ::EndDialog(g_MainDialog, kStillOpen);
    }
}

class Win32Keyboard : public Win32Dialogs {
  protected:
    // Runs the main dialog modally; returns its end value.
    INT_PTR Run(KeyRun& run) {
        g_run = &run;
        const UINT_PTR timer = ::SetTimer(nullptr, 0, 10, DriveKeyRun);
        const std::vector<WORD> tmpl = FittedDialogTemplate(kMainDialogId);
        const INT_PTR end =
            ::DialogBoxIndirectParamA(g_Instance, reinterpret_cast<const DLGTEMPLATE*>(tmpl.data()), nullptr,
                                      MainDialogProc, reinterpret_cast<LPARAM>(&g_TftpConfigData));
        ::KillTimer(nullptr, timer);
        Pump();
        g_run = nullptr;
        g_MainDialog = nullptr;
        return end;
    }
};

struct Form {
    const char* name;
    std::vector<int> statuses;
    int error = 0;
    CompletionInfo completion{1};
};

void Raise(const Form& form) {
    for (int code : form.statuses) {
        CompletionInfo completion = form.completion;
        RaiseStatus(code, code == STATUS_COMPLETE ? &completion : nullptr);
    }
    if (form.error != 0)
        RaiseError(form.error);
}

// In every form after step 1 with Close enabled, Enter and Space press Close (the dialog ends
// with 1, the value of Close); the hidden Continue, default button of step 1, must not take them:
// it would start a second upgrade, ask to confirm it and replace the text on show.
TEST_F(Win32Keyboard, EnterAndSpaceEndTheDialogWithCloseOnceStepOneIsLeft) {
    SetHostName("192.0.2.7");
    SetImageToUse(SERVER_TOLVA_22XX);
    const Form forms[] = {
        {"step 2", {STATUS_COMMAND_ACCEPTED}},
        {"success",
         {STATUS_COMMAND_ACCEPTED, STATUS_VERIFYING, STATUS_ERASING, STATUS_PROGRAMMING, STATUS_COMPLETE}},
        {"success, end unconfirmed", {STATUS_COMMAND_ACCEPTED, STATUS_PROGRAMMING, STATUS_COMPLETE}, 0, {0}},
        {"error in step 1", {}, ERR_CONNECT},
        {"error in step 3", {STATUS_COMMAND_ACCEPTED, STATUS_VERIFYING}, ERR_NO_PROGRAMMING_REQUEST},
    };
    for (const Form& form : forms) {
        for (WPARAM key : {VK_RETURN, VK_SPACE}) {
            SCOPED_TRACE(testing::Message() << form.name << (key == VK_RETURN ? ", Enter" : ", Space"));
            m_boxes.clear();
            KeyRun run{[&] { Raise(form); }, {key}};
            EXPECT_EQ(Run(run), 1);
            EXPECT_EQ(run.focusedId, ID_CLOSE);
            EXPECT_TRUE(m_boxes.empty()) << m_boxes.front().text;
        }
    }
}

// While the device verifies, erases or programs, Close is disabled: Enter neither ends the
// dialog nor asks, nor starts anything.
TEST_F(Win32Keyboard, EnterDoesNothingInStepsThreeToFive) {
    SetHostName("192.0.2.7");
    for (int step : {STATUS_VERIFYING, STATUS_ERASING, STATUS_PROGRAMMING}) {
        SCOPED_TRACE(StatusName(step));
        m_boxes.clear();
        KeyRun run{[&] { Raise({"", {STATUS_COMMAND_ACCEPTED, step}}); }, {VK_RETURN, VK_RETURN}};
        EXPECT_EQ(Run(run), kStillOpen);
        EXPECT_TRUE(run.textsKept);
        EXPECT_EQ(run.stepText, StepDescription(step));
        EXPECT_TRUE(m_boxes.empty()) << m_boxes.front().text;
    }
}

} // namespace
