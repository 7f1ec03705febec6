#include "engine/events.h"
#include "engine/messages.h"
#include "engine/upgrade_record.h"
#include "recording_dialog.h"
#include "tftp/tftp_callbacks.h"
#include "ui/presentation.h"

#include <gtest/gtest.h>

#include <set>
#include <vector>

namespace {

using namespace skelvo::ui;
using skelvo::test::RecordingDialog;

// The engine's handler table pointed at a recording dialog, the way a front end that may touch
// its controls from any thread registers the handlers: a direct call on the raising thread.
RecordingDialog* g_dialog = nullptr;

int StatusToDialog(int code, void* info) {
    return OnUpgradeStatus(*g_dialog, code, CopyStatusPayload(code, info), CurrentEventContext());
}
int ErrorToDialog(int code, void*) {
    return OnUpgradeError(*g_dialog, code, CurrentEventContext());
}

class Presentation : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetUpgradeRecord();
        SetHostName("192.0.2.7");
        SetLoginName("root");
        SetImageToUse(SERVER_DRAVENHOLT);
        g_dialog = &dialog;
        saved = g_TftpCallbacks;
        RegisterTftpCallbacks(nullptr, nullptr, nullptr, ErrorToDialog, StatusToDialog);
    }
    void TearDown() override {
        g_TftpCallbacks = saved;
        g_dialog = nullptr;
        ResetUpgradeRecord();
    }
    void Progress(int sent, int total) {
        ProgressInfo info{sent, total};
        RaiseStatus(STATUS_PROGRESS, &info);
    }
    // One download as ReadImageBlock reports it: block n carries n x 512, the last beyond the total.
    void Download(int total) {
        for (int sent = 512; sent - 512 <= total; sent += 512)
            Progress(sent, total);
    }

    RecordingDialog dialog;
    TftpCallbacks saved{};
};

const std::set<int> kStep1{ID_INTRO,          ID_HOST,     ID_HOST_LABEL, ID_LOGIN_LABEL, ID_LOGIN,
                           ID_PASSWORD_LABEL, ID_PASSWORD, ID_WARNING,    ID_STEP_TITLE,  ID_CONTINUE,
                           ID_CANCEL,         ID_ADVANCED, ID_BANNER};

std::set<int> With(std::set<int> ids) {
    ids.insert(ID_BANNER); // the banner and the frame are never touched
    return ids;
}

TEST_F(Presentation, TheNormalSequenceWalksThroughEveryStepToSuccess) {
    EXPECT_EQ(dialog.Visible(), kStep1);
    EXPECT_FALSE(dialog.IsVisible(ID_CLOSE));

    RaiseStatus(STATUS_COMMAND_ACCEPTED);
    EXPECT_EQ(dialog.Visible(), With({ID_INTRO, ID_STEP_TITLE, ID_STEP_TEXT, ID_CLOSE}));
    EXPECT_TRUE(dialog.IsEnabled(ID_CLOSE));
    EXPECT_EQ(dialog.texts[ID_STEP_TITLE],
              "Step 2 of 5: Requesting flash image firmware upgrade to version 6.2.1\n");
    EXPECT_EQ(dialog.texts[ID_STEP_TEXT], StepDescription(STATUS_COMMAND_ACCEPTED));

    RaiseStatus(STATUS_VERIFYING);
    const std::set<int> step3 =
        With({ID_INTRO, ID_STEP_TITLE, ID_STEP_TEXT, ID_PROGRESS_LABEL, ID_PROGRESS_BAR, ID_CLOSE});
    EXPECT_EQ(dialog.Visible(), step3);
    EXPECT_FALSE(dialog.IsEnabled(ID_CLOSE));
    EXPECT_EQ(dialog.texts[ID_STEP_TITLE], "Step 3 of 5: Server is verifying flash image firmware");
    // Before the first progress event the label keeps its template caption and the bar stands at 0.
    EXPECT_EQ(dialog.texts[ID_PROGRESS_LABEL], "Progress...");
    EXPECT_EQ(dialog.position, 0);

    Download(613792);
    EXPECT_EQ(dialog.Visible(), step3);
    EXPECT_FALSE(dialog.IsEnabled(ID_CLOSE));
    EXPECT_EQ(dialog.texts[ID_PROGRESS_LABEL], "Transferring 613888 of 613792 bytes.\n");
    EXPECT_EQ(dialog.position, 100);

    RaiseStatus(STATUS_ERASING);
    EXPECT_EQ(dialog.Visible(), With({ID_INTRO, ID_STEP_TITLE, ID_STEP_TEXT, ID_CLOSE}));
    EXPECT_FALSE(dialog.IsEnabled(ID_CLOSE));
    EXPECT_EQ(dialog.texts[ID_STEP_TITLE], "Step 4 of 5: Erasing existing flash firmware image.");

    RaiseStatus(STATUS_PROGRAMMING);
    EXPECT_EQ(dialog.Visible(), step3);
    EXPECT_FALSE(dialog.IsEnabled(ID_CLOSE));
    EXPECT_EQ(dialog.texts[ID_STEP_TITLE], "Step 5 of 5: Server is programming the flash image firmware.");
    // The bar and label keep the last download's values until the next progress event.
    EXPECT_EQ(dialog.position, 100);
    EXPECT_EQ(dialog.texts[ID_PROGRESS_LABEL], "Transferring 613888 of 613792 bytes.\n");

    Download(613792);
    RaiseStatus(STATUS_COMPLETE);
    EXPECT_EQ(dialog.Visible(), With({ID_STEP_TITLE, ID_STEP_TEXT, ID_CLOSE}));
    EXPECT_TRUE(dialog.IsEnabled(ID_CLOSE));
    EXPECT_EQ(
        dialog.texts[ID_STEP_TITLE],
        "The Skelvo utility has successfully upgraded the Varnek Server: 192.0.2.7. to version 6.2.1 \n\n");
    EXPECT_EQ(dialog.texts[ID_STEP_TEXT],
              "Once the server has finished rebooting the device is ready to use.");
}

TEST_F(Presentation, EachEventAppliesItsOperationsInTheirOrder) {
    // Every step and the error form end the same way: the hidden step-1 buttons give up the
    // focus and the default, and Close takes the focus whenever it is enabled.
    const std::vector<std::string> retire{"unfocusable 1013", "unfocusable 2", "unfocusable 1030",
                                          "default 1014"};
    auto with = [](std::vector<std::string> head, const std::vector<std::string>& tail) {
        head.insert(head.end(), tail.begin(), tail.end());
        return head;
    };
    RaiseStatus(STATUS_COMMAND_ACCEPTED);
    EXPECT_EQ(dialog.log, with({"hide 1028", "show 1011", "show 1001", "hide 1002", "hide 1003", "hide 1005",
                                "hide 1004", "hide 1006", "hide 1007", "hide 1030", "hide 1010", "text 1011",
                                "text 1012", "show 1012", "hide 1013", "hide 2"},
                               with(retire, {"show 1014", "enable 1014", "focus 1014"})));
    dialog.log.clear();
    RaiseStatus(STATUS_VERIFYING);
    EXPECT_EQ(dialog.log, with({"hide 1028", "show 1011", "show 1001", "show 1027", "show 1025", "text 1011",
                                "text 1012"},
                               with(retire, {"show 1014", "disable 1014"})));
    dialog.log.clear();
    Progress(14848, 51200);
    EXPECT_EQ(dialog.log, (std::vector<std::string>{"show 1001", "text 1025", "range 1027 0 100",
                                                    "step 1027 1", "pos 1027 28"}));
    dialog.log.clear();
    RaiseStatus(STATUS_ERASING);
    EXPECT_EQ(dialog.log, with({"hide 1028", "show 1011", "show 1001", "hide 1027", "hide 1025", "text 1011",
                                "text 1012"},
                               with(retire, {"show 1014", "disable 1014"})));
    dialog.log.clear();
    RaiseStatus(STATUS_COMPLETE);
    EXPECT_EQ(dialog.log, with({"hide 1028", "text 1011", "show 1011", "text 1012", "show 1012", "hide 1001",
                                "hide 1025", "hide 1027", "hide 1013", "hide 2"},
                               with(retire, {"show 1014", "enable 1014", "focus 1014"})));
    dialog.log.clear();
    RaiseError(ERR_CONNECT);
    EXPECT_EQ(dialog.log, with({"hide 1001", "hide 1002", "hide 1003", "hide 1005", "hide 1004", "hide 1006",
                                "hide 1007", "hide 1030", "hide 1010", "hide 1025", "hide 1027", "text 1028",
                                "show 1028", "hide 1011", "hide 1012", "hide 1013", "hide 2"},
                               with(retire, {"show 1014", "enable 1014", "focus 1014"})));
}

// Once step 1 is left, Enter, Space and the focus can only reach Close, whatever the order of
// the events.
TEST_F(Presentation, AfterStepOneOnlyCloseTakesTheKeyboard) {
    const std::vector<std::vector<int>> runs{
        {STATUS_COMMAND_ACCEPTED, STATUS_VERIFYING, STATUS_ERASING, STATUS_PROGRAMMING, STATUS_COMPLETE},
        {-ERR_TFTP_BIND},
        {STATUS_COMMAND_ACCEPTED, STATUS_VERIFYING, -ERR_READ_REQUEST},
        {-ERR_RECEIVE, STATUS_COMMAND_ACCEPTED},
    };
    for (const std::vector<int>& run : runs) {
        RecordingDialog fresh;
        g_dialog = &fresh;
        for (int code : run) {
            if (code < 0)
                RaiseError(-code);
            else
                RaiseStatus(code);
            SCOPED_TRACE(code);
            EXPECT_EQ(fresh.defaultButton, ID_CLOSE);
            EXPECT_EQ(fresh.unfocusable, (std::set<int>{ID_CONTINUE, ID_CANCEL, ID_ADVANCED}));
            if (fresh.IsEnabled(ID_CLOSE)) {
                EXPECT_EQ(fresh.focus, ID_CLOSE);
            }
        }
    }
    g_dialog = &dialog;
}

TEST_F(Presentation, AnUnconfirmedEndIsASuccessWithANote) {
    const std::set<int> success = With({ID_STEP_TITLE, ID_STEP_TEXT, ID_CLOSE});
    RaiseStatus(STATUS_COMMAND_ACCEPTED);
    RaiseStatus(STATUS_PROGRAMMING);
    CompletionInfo unconfirmed{0};
    RaiseStatus(STATUS_COMPLETE, &unconfirmed);
    EXPECT_EQ(dialog.Visible(), success);
    EXPECT_TRUE(dialog.IsEnabled(ID_CLOSE));
    EXPECT_EQ(dialog.texts[ID_STEP_TITLE], SuccessTitle("192.0.2.7", "6.2.1"));
    EXPECT_EQ(dialog.texts[ID_STEP_TEXT],
              "Once the server has finished rebooting the device is ready to use.\n\nThe server did not "
              "acknowledge the last block. It very probably holds the whole image: check that it restarts "
              "with the new version.");

    // A confirmed end, with or without its payload, shows no note, also after an unconfirmed one.
    CompletionInfo confirmed{1};
    RaiseStatus(STATUS_COMPLETE, &confirmed);
    EXPECT_EQ(dialog.texts[ID_STEP_TEXT], SuccessDescription());
    RaiseStatus(STATUS_COMPLETE, &unconfirmed);
    RaiseStatus(STATUS_COMPLETE, nullptr);
    EXPECT_EQ(dialog.texts[ID_STEP_TEXT], SuccessDescription());
    EXPECT_EQ(dialog.Visible(), success);
}

TEST_F(Presentation, ProgressPositionsAndLabels) {
    RaiseStatus(STATUS_COMMAND_ACCEPTED);
    RaiseStatus(STATUS_VERIFYING);
    struct Case {
        int sent, total, position;
    } cases[] = {{14848, 51200, 28},    {29184, 51200, 56}, {372736, 745472, 50},
                 {745472, 745353, 100}, {512, 0, 0},        {512, 100, 512}};
    for (const Case& c : cases) {
        Progress(c.sent, c.total);
        EXPECT_EQ(dialog.position, c.position) << c.sent << "/" << c.total;
        EXPECT_EQ(dialog.texts[ID_PROGRESS_LABEL], ProgressText(c.sent, c.total));
        EXPECT_EQ(dialog.rangeMin, 0);
        EXPECT_EQ(dialog.rangeMax, 100);
        EXPECT_EQ(dialog.step, 1);
    }
    EXPECT_EQ(dialog.texts[ID_PROGRESS_LABEL], "Transferring 512 of 100 bytes.\n");
    // A progress event changes neither visibility nor Close.
    EXPECT_FALSE(dialog.IsEnabled(ID_CLOSE));
    EXPECT_TRUE(dialog.IsVisible(ID_PROGRESS_BAR));
}

TEST_F(Presentation, EveryErrorCodeGivesTheErrorForm) {
    for (int code = ERR_SOCKETS_SETUP; code <= ERR_NO_PROGRAMMING_REQUEST; ++code) {
        RecordingDialog fresh;
        g_dialog = &fresh;
        RaiseStatus(STATUS_COMMAND_ACCEPTED);
        RaiseStatus(STATUS_VERIFYING);
        RaiseError(code);
        EXPECT_EQ(fresh.Visible(), With({ID_ERROR_TEXT, ID_CLOSE})) << ErrorName(code);
        EXPECT_TRUE(fresh.IsEnabled(ID_CLOSE));
        EXPECT_EQ(fresh.texts[ID_ERROR_TEXT], ErrorText(code, "192.0.2.7", "root"));
    }
    g_dialog = &dialog;
    RaiseError(ERR_LOGIN);
    EXPECT_EQ(dialog.texts[ID_ERROR_TEXT],
              "ERROR: Invalid Username ( root ) or Password Entered\n\nPlease check that "
              "both the username and password are correct");
}

TEST_F(Presentation, AnErrorStraightFromStepOneHidesTheInput) {
    SetHostName("");
    RaiseError(ERR_RESOLVE);
    EXPECT_EQ(dialog.Visible(), With({ID_ERROR_TEXT, ID_CLOSE}));
    EXPECT_NE(dialog.texts[ID_ERROR_TEXT].find("DNS Name: .\n"), std::string::npos);
}

// A device that resets the connection after the command: the error text and the later step
// share the middle of the dialog, so the later step replaces the error text.
TEST_F(Presentation, AStepAfterAnErrorReplacesTheErrorText) {
    RaiseError(ERR_RECEIVE);
    RaiseStatus(STATUS_COMMAND_ACCEPTED);
    EXPECT_EQ(dialog.Visible(), With({ID_INTRO, ID_STEP_TITLE, ID_STEP_TEXT, ID_CLOSE}));
    EXPECT_EQ(dialog.texts[ID_STEP_TEXT], StepDescription(STATUS_COMMAND_ACCEPTED));
    EXPECT_TRUE(dialog.IsEnabled(ID_CLOSE));

    RaiseStatus(STATUS_VERIFYING);
    EXPECT_FALSE(dialog.IsEnabled(ID_CLOSE));
    RaiseError(ERR_SEND);
    RaiseStatus(STATUS_COMPLETE);
    EXPECT_EQ(dialog.Visible(), With({ID_STEP_TITLE, ID_STEP_TEXT, ID_CLOSE}));
    EXPECT_TRUE(dialog.IsEnabled(ID_CLOSE));
}

TEST_F(Presentation, TheLaterOfTwoErrorsKeepsTheText) {
    RaiseStatus(STATUS_COMMAND_ACCEPTED);
    RaiseStatus(STATUS_VERIFYING);
    RaiseError(ERR_SEND);
    RaiseError(ERR_READ_REQUEST);
    EXPECT_EQ(dialog.texts[ID_ERROR_TEXT], ErrorText(ERR_READ_REQUEST, "", ""));
    EXPECT_EQ(dialog.Visible(), With({ID_ERROR_TEXT, ID_CLOSE}));
}

TEST_F(Presentation, VersionTextFollowsTheImageInUseAtTheEvent) {
    SetImageToUse(SERVER_USER_FILE);
    RaiseStatus(STATUS_COMMAND_ACCEPTED);
    EXPECT_EQ(dialog.texts[ID_STEP_TITLE],
              "Step 2 of 5: Requesting flash image firmware upgrade to version  ---- \n");
    RaiseStatus(STATUS_COMPLETE);
    EXPECT_EQ(
        dialog.texts[ID_STEP_TITLE],
        "The Skelvo utility has successfully upgraded the Varnek Server: 192.0.2.7. to version  ----  \n\n");
    SetImageToUse(SERVER_TOLVA_22XX);
    RaiseStatus(STATUS_COMMAND_ACCEPTED);
    EXPECT_EQ(dialog.texts[ID_STEP_TITLE],
              "Step 2 of 5: Requesting flash image firmware upgrade to version 1.0.9\n");
}

TEST_F(Presentation, UnknownCodesAndAMissingPayloadChangeNothing) {
    for (int code : {0, 6, 8, -1, 1000})
        RaiseStatus(code);
    for (int code : {0, 12, -3})
        RaiseError(code);
    RaiseStatus(STATUS_PROGRESS, nullptr);
    EXPECT_TRUE(dialog.log.empty());
    EXPECT_EQ(dialog.Visible(), kStep1);
}

// Closing asks exactly while Close is shown but disabled, steps 3 to 5, whatever came before;
// events that change no form leave the answer as it was.
TEST_F(Presentation, ClosingAsksFromStepThreeUntilTheSuccessOrErrorForm) {
    struct Event {
        bool error;
        int code;
    };
    const std::vector<std::vector<Event>> sequences = {
        {{false, STATUS_COMMAND_ACCEPTED},
         {false, STATUS_VERIFYING},
         {false, STATUS_PROGRESS},
         {false, STATUS_ERASING},
         {false, STATUS_PROGRAMMING},
         {false, STATUS_PROGRESS},
         {false, STATUS_COMPLETE}},
        {{false, STATUS_COMMAND_ACCEPTED}, {false, STATUS_VERIFYING}, {true, ERR_NO_PROGRAMMING_REQUEST}},
        {{true, ERR_RECEIVE},
         {false, STATUS_COMMAND_ACCEPTED},
         {false, STATUS_VERIFYING},
         {false, STATUS_ERASING},
         {true, ERR_READ_REQUEST}},
        {{false, STATUS_COMMAND_ACCEPTED},
         {false, STATUS_PROGRAMMING},
         {false, STATUS_PORT_BUSY},
         {true, 12},
         {false, 1000},
         {false, STATUS_COMPLETE}},
        {{true, ERR_LOGIN}, {false, STATUS_PORT_BUSY}},
    };
    for (std::size_t n = 0; n < sequences.size(); ++n) {
        RecordingDialog fresh;
        g_dialog = &fresh;
        DialogForm form = DialogForm::Input;
        EXPECT_FALSE(CloseNeedsConfirmation(form));
        for (const Event& e : sequences[n]) {
            if (e.error) {
                RaiseError(e.code);
                form = FormAfterError(form, e.code);
            } else {
                if (e.code == STATUS_PROGRESS)
                    Progress(512, 1024);
                else
                    RaiseStatus(e.code);
                form = FormAfterStatus(form, e.code);
            }
            const bool closeShownDisabled = fresh.IsVisible(ID_CLOSE) && !fresh.IsEnabled(ID_CLOSE);
            EXPECT_EQ(CloseNeedsConfirmation(form), closeShownDisabled)
                << "sequence " << n << ", " << (e.error ? ErrorName(e.code) : StatusName(e.code));
        }
    }
    g_dialog = &dialog;
}

TEST_F(Presentation, LongHostNamesAreHeldWhole) {
    const std::string host(127, 'h');
    SetHostName(host);
    for (int code : {ERR_CONNECT, ERR_SEND, ERR_RECEIVE, ERR_RESOLVE}) {
        RaiseError(code);
        EXPECT_GT(dialog.texts[ID_ERROR_TEXT].size(), 255u);
        EXPECT_NE(dialog.texts[ID_ERROR_TEXT].find(host + ".\n\n"), std::string::npos) << ErrorName(code);
    }
    RaiseStatus(STATUS_COMPLETE);
    EXPECT_NE(dialog.texts[ID_STEP_TITLE].find(host + ". to version"), std::string::npos);
}

} // namespace
