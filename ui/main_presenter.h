// The main dialog's presenter: every decision of the main dialog, made once for both toolkits.
// A toolkit draws the controls and takes the input; it hands each command and each event to the
// presenter, and the presenter acts on the controls and asks its questions through the view.
#pragma once

#include "http/continue_sequence.h"
#include "ui/event_route.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

namespace skelvo::ui {

// What a toolkit's main dialog gives the presenter beyond its controls: its input and its boxes.
class MainDialogView : public DialogControls {
  public:
    // An edit box's text as typed, in the record's character set, at most the box's limit.
    virtual std::string EditText(int id) const = 0;
    // The upgrade confirmation: Yes, No and Cancel with the warning icon, Cancel the default.
    virtual ConfirmAnswer Confirm(const ConfirmQuestion& question) = 0;
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
};

// Where the dialog's upgrade talks to: the product always uses the device's ports 80 and 69; a
// test or a lab set-up may choose others.
struct DialogNetwork {
    std::uint16_t tftpPort = kTftpPort;
    std::uint16_t httpPort = kHttpPort;
};

class MainPresenter {
  public:
    explicit MainPresenter(MainDialogView& view, DialogNetwork network = {});

    // Initialisation: the introduction, the record's address, login and password, step 1's form.
    void Initialise();
    // A command by control id: ID_OK, ID_CLOSE, ID_CANCEL (also Escape and the close box),
    // ID_CONTINUE, ID_ADVANCED. Other ids do nothing.
    void Command(int id);
    // The About box, from the system menu, F1 or the dialog's own About entry.
    void ShowAbout();
    // Presents one event on the view, on the thread on which the view may be touched. Events
    // are presented one at a time, in the order raised.
    void Present(const DialogEvent& event);

    DialogForm Form() const { return m_form.load(); }

  private:
    // Escape, the close box, Alt+F4 and a bare OK ask first while the device may be verifying,
    // erasing or programming.
    bool MayClose();
    void RunContinue();

    MainDialogView& m_view;
    DialogNetwork m_network;
    // Written by Present (on the thread that presents) and read by Command (the dialog's thread).
    std::atomic<DialogForm> m_form{DialogForm::Input};
};

} // namespace skelvo::ui
