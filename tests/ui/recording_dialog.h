// A dialog for the presentation tests: it records every operation in order and keeps the state
// a real dialog would be in (visibility, enabled state, texts, the progress bar), starting from
// template 102's initial form.
#pragma once

#include "ui/controls.h"
#include "ui/templates.h"

#include <map>
#include <set>
#include <string>
#include <vector>

namespace skelvo::test {

class RecordingDialog : public ui::DialogControls {
  public:
    RecordingDialog() {
        for (const ui::ControlTemplate& c : ui::MainDialogTemplate().controls) {
            if (c.id == ui::kNoId)
                continue;
            if ((c.style & ui::kHidden) == 0)
                visible.insert(c.id);
            texts[c.id] = c.caption;
        }
    }

    void Show(int id) override {
        log.push_back("show " + std::to_string(id));
        visible.insert(id);
    }
    void Hide(int id) override {
        log.push_back("hide " + std::to_string(id));
        visible.erase(id);
    }
    void Enable(int id, bool enabled) override {
        log.push_back((enabled ? "enable " : "disable ") + std::to_string(id));
        if (enabled)
            disabled.erase(id);
        else
            disabled.insert(id);
    }
    void SetText(int id, std::string_view text) override {
        log.push_back("text " + std::to_string(id));
        texts[id] = std::string(text);
    }
    void SendProgress(int id, ui::ProgressMessage message, int first, int second) override {
        switch (message) {
        case ui::ProgressMessage::SetRange:
            log.push_back("range " + std::to_string(id) + " " + std::to_string(first) + " " +
                          std::to_string(second));
            rangeMin = first;
            rangeMax = second;
            break;
        case ui::ProgressMessage::SetStep:
            log.push_back("step " + std::to_string(id) + " " + std::to_string(first));
            step = first;
            break;
        case ui::ProgressMessage::SetPos:
            log.push_back("pos " + std::to_string(id) + " " + std::to_string(first));
            position = first;
            break;
        }
    }

    void SetDefaultButton(int id) override {
        log.push_back("default " + std::to_string(id));
        defaultButton = id;
    }
    void SetFocusable(int id, bool focusable) override {
        log.push_back((focusable ? "focusable " : "unfocusable ") + std::to_string(id));
        if (focusable)
            unfocusable.erase(id);
        else
            unfocusable.insert(id);
    }
    void Focus(int id) override {
        log.push_back("focus " + std::to_string(id));
        focus = id;
    }

    bool IsVisible(int id) const { return visible.count(id) != 0; }
    bool IsEnabled(int id) const { return disabled.count(id) == 0; }
    std::set<int> Visible() const { return visible; }

    std::vector<std::string> log;
    std::set<int> visible;
    std::set<int> disabled;
    std::map<int, std::string> texts;
    std::set<int> unfocusable;
    int defaultButton = ui::ID_CONTINUE;
    int focus = ui::ID_HOST;
    int rangeMin = 0, rangeMax = 100, step = 10, position = 0;
};

} // namespace skelvo::test
