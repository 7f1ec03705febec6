// The Advanced Options dialog's presenter: an image file of the user's own instead of the built-in
// image, and the device-side download trace. The dialog keeps no state of its own; it reads and
// writes the upgrade record. Shared by both toolkits, which only draw and take the input.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace skelvo::ui {

class AdvancedOptionsView {
  public:
    virtual ~AdvancedOptionsView() = default;
    virtual void Enable(int id, bool enabled) = 0;
    virtual bool IsChecked(int id) const = 0;
    virtual void SetChecked(int id, bool checked) = 0;
    // The file name box, in the file system's character set.
    virtual std::string FileNameText() const = 0;
    // False when the name cannot be shown.
    virtual bool SetFileNameText(std::string_view name) = 0;
    // The file-open box, owned by the dialog: kBrowseTitle, the two file types with the first
    // preselected, no proposed name, and only an existing file in an existing folder. The full
    // path chosen, or nothing when the box was cancelled or failed.
    virtual std::optional<std::string> ChooseImageFile() = 0;
    // The information beep, then an error box owned by the dialog with an OK button and the
    // error icon, then the focus to the file name box.
    virtual void ReportFileError(std::string_view title, std::string_view text) = 0;
    virtual void End(int value) = 0;
};

class AdvancedOptionsPresenter {
  public:
    // noOptions: the main dialog's choice to answer no TFTP options, which lasts as long as the
    // program and is not saved.
    AdvancedOptionsPresenter(AdvancedOptionsView& view, bool& noOptions)
        : m_view(view), m_noOptions(noOptions) {}

    // The file name box and Browse are usable when a user file is in use; the trace box shows
    // the flag; "Download specified Flashfile" always opens unchecked; the box shows the name
    // last browsed.
    void Initialise();
    // ID_ADV_OK (also Enter), ID_ADV_CANCEL (also Escape and the close box), ID_ADV_USE_FILE,
    // ID_ADV_BROWSE. Other ids do nothing.
    void Command(int id);
    // 1 when a file was chosen and stored, else 0.
    int BrowseImageFile();
    // 1 when the dialog may close, 0 when it must stay open.
    int ApplyAdvancedOptions();

  private:
    AdvancedOptionsView& m_view;
    bool& m_noOptions;
};

// Whether the file opens for reading: an existing file, not shared with a writer.
bool CanOpenImageFile(const std::string& name);

} // namespace skelvo::ui
