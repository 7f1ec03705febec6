#include "ui/advanced_presenter.h"

#include "engine/trace.h"
#include "engine/upgrade_record.h"
#include "ui/controls.h"
#include "ui/dialog_texts.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <cstdio>
#endif

namespace skelvo::ui {

bool CanOpenImageFile(const std::string& name) {
#ifdef _WIN32
    HANDLE file =
        ::CreateFileA(name.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    ::CloseHandle(file);
    return true;
#else
    std::FILE* file = std::fopen(name.c_str(), "rb");
    if (file == nullptr)
        return false;
    std::fclose(file);
    return true;
#endif
}

void AdvancedOptionsPresenter::Initialise() {
    const bool userFile = GetImageToUse() == SERVER_USER_FILE;
    m_view.Enable(ID_ADV_FILENAME, userFile);
    m_view.Enable(ID_ADV_BROWSE, userFile);
    m_view.SetChecked(ID_ADV_TRACE, GetDownloadTrace() != 0);
    m_view.SetChecked(ID_ADV_NO_OPTIONS, m_noOptions);
    m_view.SetChecked(ID_ADV_USE_FILE, false);
    m_view.SetFileNameText(GetImageFilename());
}

void AdvancedOptionsPresenter::Command(int id) {
    switch (id) {
    case ID_ADV_OK:
        if (ApplyAdvancedOptions() == 1)
            m_view.End(1);
        break;
    case ID_ADV_CANCEL:
        m_view.End(0);
        break;
    case ID_ADV_USE_FILE:
        // Either click enables the two; nothing disables them again while the dialog is open.
        m_view.Enable(ID_ADV_FILENAME, true);
        m_view.Enable(ID_ADV_BROWSE, true);
        break;
    case ID_ADV_BROWSE:
        BrowseImageFile();
        break;
    default:
        break;
    }
}

int AdvancedOptionsPresenter::BrowseImageFile() {
    const std::optional<std::string> path = m_view.ChooseImageFile();
    if (!path) {
        TraceMessage("GetOpenFileName() call failed.\n");
        return 0;
    }
    // A name longer than the 260-character field would, cut, name another file.
    if (path->size() >= kImageFilenameSize || !m_view.SetFileNameText(*path)) {
        TraceMessage("SetDlgItemText() call failed.\n");
        return 0;
    }
    if (SetImageFilename(*path) != 1) {
        TraceMessage("SetImageFilename() call failed.\n");
        return 0;
    }
    return 1;
}

int AdvancedOptionsPresenter::ApplyAdvancedOptions() {
    if (m_view.IsChecked(ID_ADV_USE_FILE)) {
        const std::string name = m_view.FileNameText().substr(0, kImageFilenameSize - 1);
        if (!CanOpenImageFile(name)) {
            TraceMessage("Error: could not open \"%s\".\n", name.c_str());
            m_view.ReportFileError(kOpenErrorTitle, OpenErrorText(name));
            return 0;
        }
        // The choice stands even when the file cannot be read whole: the TFTP server then refuses
        // the device's first request, before the device erases anything.
        if (LoadImageFile(name.c_str()) != 1)
            TraceMessage("The file \"%s\" could not be read; no image will be served from it.\n",
                         name.c_str());
        SetImageToUse(SERVER_USER_FILE);
    }
    if (m_view.IsChecked(ID_ADV_TRACE)) {
        TraceMessage("Enabling download trace ...\n");
        SetDownloadTrace(1);
    } else {
        SetDownloadTrace(0);
    }
    m_noOptions = m_view.IsChecked(ID_ADV_NO_OPTIONS);
    return 1;
}

} // namespace skelvo::ui
