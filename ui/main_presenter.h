// The main dialog's presenter: every decision of the main dialog, made once for both toolkits.
// A toolkit draws the controls and takes the input; it hands each command and each event to the
// presenter, and the presenter acts on the controls and asks its questions through the view.
#pragma once

#include "ui/dialog_thread.h"
#include "ui/dialog_upgrade.h"
#include "ui/event_route.h"
#include "upgrade/question.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace skelvo::ui {

// What a toolkit's main dialog gives the presenter beyond its controls: its input and its boxes.
class MainDialogView : public DialogControls {
  public:
    // An edit box's text as typed, in the record's character set, at most the box's limit.
    virtual std::string EditText(int id) const = 0;
    // The upgrade confirmation: Yes, No and Cancel with the warning icon, Cancel the default.
    virtual upgrade::ConfirmAnswer Confirm(const upgrade::ConfirmQuestion& question) = 0;
    // A Yes/No question with the warning icon, No the default. True for Yes.
    virtual bool AskYesNo(std::string_view title, std::string_view text) = 0;
    // A box with only an OK button and no icon.
    virtual void Inform(std::string_view title, std::string_view text) = 0;
    virtual void OpenAdvancedOptions() = 0;
    // Ends the modal dialog with `value`.
    virtual void End(int value) = 0;
    // Presents, before the next input, the events that this thread raised and that wait for the
    // dialog's thread. A toolkit that presents events at once has nothing to do.
    virtual void PresentPending() {}
    // Queues work to the dialog's thread, from any thread, without waiting for it; work queued
    // after events runs after them. False when it could not be queued. The default runs it at once.
    virtual bool PostToDialogThread(std::function<void()> work) {
        work();
        return true;
    }
};

class MainPresenter {
  public:
    explicit MainPresenter(MainDialogView& view, DialogNetwork network = {});
    ~MainPresenter();
    MainPresenter(const MainPresenter&) = delete;
    MainPresenter& operator=(const MainPresenter&) = delete;

    // Initialisation: the introduction, the record's address, login and password, step 1's form.
    void Initialise();
    // Once the dialog is up: when the journal shows a device that an earlier run left half-way,
    // names it and offers to serve it now.
    void Started();
    // A command by control id: ID_OK, ID_CLOSE, ID_CANCEL (also Escape and the close box),
    // ID_CONTINUE, ID_ADVANCED. Other ids do nothing.
    void Command(int id);
    // The About box, from the system menu, F1 or the dialog's own About entry.
    void ShowAbout();
    // Presents one event on the view, on the thread on which the view may be touched. Events
    // are presented one at a time, in the order raised.
    void Present(const DialogEvent& event);

    DialogForm Form() const { return m_form.load(); }
    // An upgrade (or a rescue) runs on its worker.
    bool Busy() const { return m_busy.load(); }
    // Advanced Options' choice to answer no TFTP options; on the dialog's thread only.
    bool& NoTftpOptions() { return m_noOptions; }

  private:
    // Escape, the close box, Alt+F4 and a bare OK ask first while the device may be verifying,
    // erasing or programming.
    bool MayClose();
    void RunContinue();
    // The device's end, on the dialog's thread: what the forms have not told yet, and the rescue
    // of a device that may be left without firmware.
    void Ended(const upgrade::HostResult& result, bool presented);
    // The journal, opened at the first need; false after telling why it cannot be.
    bool OpenJournal();
    // Serves the devices of `targets` from the journal, with the progress on the dialog.
    void Recover(std::vector<upgrade::RecoveryTarget> targets);

    MainDialogView& m_view;
    DialogNetwork m_network;
    // Written by Present (on the thread that presents) and read by Command (the dialog's thread).
    std::atomic<DialogForm> m_form{DialogForm::Input};
    std::atomic<bool> m_busy{false};
    bool m_noOptions = false;
    upgrade::Journal m_journal;
    upgrade::RecoveryImages m_images;
    // The workers' questions and ends; closed before the workers are waited for.
    DialogThread m_dialogThread;
    std::unique_ptr<DialogUpgrade> m_upgrade;
    std::unique_ptr<DialogRecovery> m_recovery;
};

} // namespace skelvo::ui
