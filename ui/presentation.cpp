#include "ui/presentation.h"

#include "engine/messages.h"
#include "engine/upgrade_record.h"

#include <initializer_list>

namespace skelvo::ui {

namespace {

void HideAll(DialogControls& dialog, std::initializer_list<int> ids) {
    for (int id : ids)
        dialog.Hide(id);
}

void ShowCloseDisabled(DialogControls& dialog) {
    dialog.Show(ID_CLOSE);
    dialog.Enable(ID_CLOSE, false);
}

void ShowCloseEnabled(DialogControls& dialog) {
    dialog.Show(ID_CLOSE);
    dialog.Enable(ID_CLOSE, true);
    dialog.Focus(ID_CLOSE);
}

// Once step 1 is left, Close is the only way on: the hidden step-1 buttons must not take Enter,
// Space or the focus, or a hidden Continue would start a second upgrade.
void RetireStepOneButtons(DialogControls& dialog) {
    for (int id : {ID_CONTINUE, ID_CANCEL, ID_ADVANCED})
        dialog.SetFocusable(id, false);
    dialog.SetDefaultButton(ID_CLOSE);
}

// A step that follows an error (a reset after the command, say) replaces the error text: the two
// share the middle of the dialog and cannot be read over each other.
void ReplaceErrorText(DialogControls& dialog) {
    dialog.Hide(ID_ERROR_TEXT);
    dialog.Show(ID_STEP_TITLE);
}

void ShowStep(DialogControls& dialog, int code, bool withProgress) {
    ReplaceErrorText(dialog);
    dialog.Show(ID_INTRO);
    if (withProgress) {
        dialog.Show(ID_PROGRESS_BAR);
        dialog.Show(ID_PROGRESS_LABEL);
    } else {
        dialog.Hide(ID_PROGRESS_BAR);
        dialog.Hide(ID_PROGRESS_LABEL);
    }
    dialog.SetText(ID_STEP_TITLE, StepTitle(code));
    dialog.SetText(ID_STEP_TEXT, StepDescription(code));
    RetireStepOneButtons(dialog);
    ShowCloseDisabled(dialog);
}

} // namespace

EventContext CurrentEventContext() {
    return EventContext{g_TftpConfigData.ImageToUse, g_TftpConfigData.HostName, g_TftpConfigData.LoginName};
}

StatusPayload CopyStatusPayload(int code, const void* info) {
    StatusPayload payload;
    if (info == nullptr)
        return payload;
    if (code == STATUS_PROGRESS)
        payload.progress = *static_cast<const ProgressInfo*>(info);
    else if (code == STATUS_COMPLETE)
        payload.completion = *static_cast<const CompletionInfo*>(info);
    return payload;
}

int OnUpgradeStatus(DialogControls& dialog, int code, const StatusPayload& payload,
                    const EventContext& context) {
    switch (code) {
    case STATUS_COMMAND_ACCEPTED:
        ReplaceErrorText(dialog);
        dialog.Show(ID_INTRO);
        HideAll(dialog, {ID_HOST, ID_HOST_LABEL, ID_LOGIN, ID_LOGIN_LABEL, ID_PASSWORD, ID_PASSWORD_LABEL,
                         ID_ADVANCED, ID_WARNING});
        dialog.SetText(ID_STEP_TITLE, StepTitle(code, PresentedVersion(context.imageToUse)));
        dialog.SetText(ID_STEP_TEXT, StepDescription(code));
        dialog.Show(ID_STEP_TEXT);
        HideAll(dialog, {ID_CONTINUE, ID_CANCEL});
        RetireStepOneButtons(dialog);
        ShowCloseEnabled(dialog);
        break;
    case STATUS_VERIFYING:
    case STATUS_PROGRAMMING:
        ShowStep(dialog, code, true);
        break;
    case STATUS_ERASING:
        ShowStep(dialog, code, false);
        break;
    case STATUS_PROGRESS: {
        if (!payload.progress)
            break;
        const ProgressInfo& progress = *payload.progress;
        dialog.Show(ID_INTRO);
        dialog.SetText(ID_PROGRESS_LABEL, ProgressText(progress.Sent, progress.Total));
        // Range and step go with every event; a position above the range shows as a full bar.
        dialog.SendProgress(ID_PROGRESS_BAR, ProgressMessage::SetRange, 0, 100);
        dialog.SendProgress(ID_PROGRESS_BAR, ProgressMessage::SetStep, 1);
        dialog.SendProgress(ID_PROGRESS_BAR, ProgressMessage::SetPos,
                            ProgressPosition(progress.Sent, progress.Total));
        break;
    }
    case STATUS_COMPLETE: {
        std::string description = SuccessDescription();
        if (payload.completion && payload.completion->FinalAckReceived == 0)
            description += "\n\n" + UnconfirmedEndNote();
        dialog.Hide(ID_ERROR_TEXT);
        dialog.SetText(ID_STEP_TITLE, SuccessTitle(context.hostName, PresentedVersion(context.imageToUse)));
        dialog.Show(ID_STEP_TITLE);
        dialog.SetText(ID_STEP_TEXT, description);
        dialog.Show(ID_STEP_TEXT);
        HideAll(dialog, {ID_INTRO, ID_PROGRESS_LABEL, ID_PROGRESS_BAR, ID_CONTINUE, ID_CANCEL});
        RetireStepOneButtons(dialog);
        ShowCloseEnabled(dialog);
        break;
    }
    default:
        break;
    }
    return 1;
}

int OnUpgradeError(DialogControls& dialog, int code, const EventContext& context) {
    std::string text = ErrorText(code, context.hostName, context.loginName);
    if (text.empty())
        return 1;
    HideAll(dialog, {ID_INTRO, ID_HOST, ID_HOST_LABEL, ID_LOGIN, ID_LOGIN_LABEL, ID_PASSWORD,
                     ID_PASSWORD_LABEL, ID_ADVANCED, ID_WARNING, ID_PROGRESS_LABEL, ID_PROGRESS_BAR});
    dialog.SetText(ID_ERROR_TEXT, text);
    dialog.Show(ID_ERROR_TEXT);
    HideAll(dialog, {ID_STEP_TITLE, ID_STEP_TEXT, ID_CONTINUE, ID_CANCEL});
    RetireStepOneButtons(dialog);
    ShowCloseEnabled(dialog);
    return 1;
}

DialogForm FormAfterStatus(DialogForm form, int code) {
    switch (code) {
    case STATUS_COMMAND_ACCEPTED:
        return DialogForm::Requesting;
    case STATUS_VERIFYING:
        return DialogForm::Verifying;
    case STATUS_ERASING:
        return DialogForm::Erasing;
    case STATUS_PROGRAMMING:
        return DialogForm::Programming;
    case STATUS_COMPLETE:
        return DialogForm::Success;
    default:
        return form;
    }
}

DialogForm FormAfterError(DialogForm form, int code) {
    // The same test as OnUpgradeError's: a code without a text changes nothing.
    return ErrorText(code, {}, {}).empty() ? form : DialogForm::Error;
}

bool CloseNeedsConfirmation(DialogForm form) {
    return form == DialogForm::Verifying || form == DialogForm::Erasing || form == DialogForm::Programming;
}

} // namespace skelvo::ui
