#include "ui/template_dialog.h"

#include "ui/static_text.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>

// The resources live in a static library, so nothing pulls them in unless asked for by name.
static void InitSkelvoResources() {
    Q_INIT_RESOURCE(skelvo);
}

namespace skelvo::ui {

QFont TemplateFont(const DialogTemplate& dialog) {
    // The template's face is not found outside Windows; these have similar metrics.
    QFont::insertSubstitutions(QString::fromLatin1(dialog.fontFace),
                               {QStringLiteral("DejaVu Sans Condensed"), QStringLiteral("DejaVu Sans"),
                                QStringLiteral("Nimbus Sans"), QStringLiteral("Sans Serif")});
    QFont font(QString::fromLatin1(dialog.fontFace), dialog.fontPoints);
    font.setStyleHint(QFont::SansSerif);
    return font;
}

DialogBaseUnits BaseUnitsOf(const QFont& font) {
    const QFontMetrics metrics(font);
    const int letters =
        metrics.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    return DialogBaseUnits{(letters / 26 + 1) / 2, metrics.height()};
}

QString ControlObjectName(const ControlTemplate& control, int index) {
    if (control.id == kNoId)
        return QStringLiteral("group_%1").arg(index);
    return QStringLiteral("control_%1").arg(control.id);
}

TemplateDialog::TemplateDialog(const DialogTemplate& dialog, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint),
      m_template(dialog) {
    InitSkelvoResources();
    setObjectName(QStringLiteral("dialog_%1").arg(dialog.id));
    setWindowTitle(QString::fromLatin1(dialog.caption));
    setFont(TemplateFont(dialog));
    m_base = BaseUnitsOf(font());
    setFixedSize(DialogUnitsToPixelsX(dialog.width, m_base), DialogUnitsToPixelsY(dialog.height, m_base));
    setSizeGripEnabled(false);

    QWidget* previous = nullptr;
    int index = 0;
    for (const ControlTemplate& c : dialog.controls) {
        QWidget* w = createControl(c);
        w->setObjectName(ControlObjectName(c, index++));
        const PixelRect r = ToPixels(c, m_base);
        w->setGeometry(r.x, r.y, r.width, r.height);
        // Later controls lie above earlier ones, as in the template's Z order; a frame lies below
        // everything and lets clicks through to what it surrounds.
        if (c.kind == ControlKind::GroupBox) {
            w->lower();
            w->setAttribute(Qt::WA_TransparentForMouseEvents);
        } else {
            w->raise();
        }
        if ((c.style & kHidden) != 0)
            w->hide();
        if ((c.style & kTabStop) != 0) {
            w->setFocusPolicy(Qt::StrongFocus);
            if (previous != nullptr)
                setTabOrder(previous, w);
            previous = w;
        } else {
            w->setFocusPolicy(Qt::NoFocus);
        }
        if (c.id != kNoId)
            m_controls.insert(c.id, w);
    }
}

QWidget* TemplateDialog::createControl(const ControlTemplate& c) {
    const QString caption = QString::fromLatin1(c.caption);
    switch (c.kind) {
    case ControlKind::PushButton: {
        auto* button = new QPushButton(caption, this);
        button->setDefault((c.style & kDefaultButton) != 0);
        connect(button, &QPushButton::clicked, this, [this, id = c.id] { onCommand(id); });
        return button;
    }
    case ControlKind::CheckBox: {
        auto* box = new QCheckBox(caption, this);
        connect(box, &QCheckBox::clicked, this, [this, id = c.id] { onCommand(id); });
        return box;
    }
    case ControlKind::Edit: {
        auto* edit = new QLineEdit(this);
        edit->setFrame((c.style & kBorder) != 0);
        if ((c.style & kPassword) != 0)
            edit->setEchoMode(QLineEdit::Password);
        if (c.textLimit > 0)
            edit->setMaxLength(c.textLimit);
        return edit;
    }
    case ControlKind::StaticText: {
        auto* text = new StaticText(this);
        text->setText(caption);
        if (c.textColorRgb != ControlTemplate::kDefaultColor)
            text->setTextColor(QColor::fromRgb(static_cast<QRgb>(c.textColorRgb)));
        return text;
    }
    case ControlKind::StaticBitmap: {
        auto* label = new QLabel(this);
        label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        label->setAlignment(Qt::AlignCenter);
        label->setPixmap(QPixmap(QStringLiteral(":/skelvo/bitmap%1.png").arg(caption)));
        return label;
    }
    case ControlKind::GroupBox:
        return new QGroupBox(caption, this);
    case ControlKind::ProgressBar: {
        auto* bar = new QProgressBar(this);
        bar->setRange(0, 100);
        bar->setValue(0);
        bar->setTextVisible(false);
        return bar;
    }
    }
    return new QWidget(this);
}

void TemplateDialog::centerWindow() {
    QScreen* s = screen();
    if (s == nullptr)
        return;
    const QRect frame = frameGeometry();
    const QSize screenSize = s->size();
    const Position p =
        CenteredPosition(frame.width(), frame.height(), screenSize.width(), screenSize.height());
    move(p.x, p.y);
}

} // namespace skelvo::ui
