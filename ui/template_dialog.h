// A Qt dialog built from a DialogTemplate: every control at its template position, converted
// with the dialog font's metrics, in template (tab) order, at a fixed size.
#pragma once

#include "ui/templates.h"

#include <QDialog>
#include <QFont>
#include <QHash>

#include <utility>
#include <vector>

namespace skelvo::ui {

// The font a template names, or the closest one this system has.
QFont TemplateFont(const DialogTemplate& dialog);
// Average character width and height the way the platform derives them for dialog units: the
// width of the 52 letters, halved twice with rounding ((w / 26 + 1) / 2).
DialogBaseUnits BaseUnitsOf(const QFont& font);
// "control_1013"; group boxes and other unnamed controls are "group_<index in the template>".
QString ControlObjectName(const ControlTemplate& control, int index);

class TemplateDialog : public QDialog {
    Q_OBJECT
  public:
    TemplateDialog(const DialogTemplate& dialog, QWidget* parent);

    QWidget* control(int id) const { return m_controls.value(id, nullptr); }
    const DialogTemplate& dialogTemplate() const { return m_template; }
    DialogBaseUnits baseUnits() const { return m_base; }

    // Places the window with CenterWindow's arithmetic on the screen it belongs to, inside the
    // screen's available area. A dialog larger than that area is first drawn with a smaller font,
    // down to kSmallestPointSize.
    void centerWindow();
    static constexpr double kSmallestPointSize = 5.0;

  protected:
    // A push button's or check box's click, by control id.
    virtual void onCommand(int id) = 0;

  private:
    QWidget* createControl(const ControlTemplate& control);
    // Sizes the dialog and places every control for the font's dialog units.
    void applyFont(const QFont& font);

    const DialogTemplate& m_template;
    DialogBaseUnits m_base{};
    QHash<int, QWidget*> m_controls;
    std::vector<std::pair<const ControlTemplate*, QWidget*>> m_placed; // template order
};

} // namespace skelvo::ui
