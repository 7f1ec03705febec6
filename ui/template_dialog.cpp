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
    setSizeGripEnabled(false);

    QWidget* previous = nullptr;
    int index = 0;
    for (const ControlTemplate& c : dialog.controls) {
        QWidget* w = createControl(c);
        w->setObjectName(ControlObjectName(c, index++));
        m_placed.emplace_back(&c, w);
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
    applyFont(TemplateFont(dialog));
}

void TemplateDialog::applyFont(const QFont& font) {
    setFont(font);
    m_base = BaseUnitsOf(font);
    setFixedSize(DialogUnitsToPixelsX(m_template.width, m_base),
                 DialogUnitsToPixelsY(m_template.height, m_base));
    for (const auto& [c, w] : m_placed) {
        const PixelRect r = ToPixels(*c, m_base);
        int width = r.width;
        // A check box's mark and gap are the style's, not the font's: its caption may need more
        // than the template's width, which the dialog has room for on the right.
        if (c->kind == ControlKind::CheckBox)
            width = qBound(width, w->sizeHint().width(), this->width() - r.x - m_base.averageCharWidth);
        w->setGeometry(r.x, r.y, width, r.height);
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
    const QRect available = s->availableGeometry();
    // Dialog units follow the font: a dialog too large for the screen (a small screen at a high
    // scale) is drawn whole with a smaller font rather than cut.
    const QSize margins = frameGeometry().size() - size();
    QFont smaller = font();
    while (smaller.pointSizeF() > kSmallestPointSize && (width() + margins.width() > available.width() ||
                                                         height() + margins.height() > available.height())) {
        smaller.setPointSizeF(smaller.pointSizeF() - 0.5);
        applyFont(smaller);
    }
    const QRect frame = frameGeometry();
    const QSize screenSize = s->size();
    const Position p =
        CenteredPosition(frame.width(), frame.height(), screenSize.width(), screenSize.height());
    // The caption bar and the buttons stay on the screen, also when the dialog is larger than it.
    const int x = qMax(available.left(), qMin(p.x, available.right() + 1 - frame.width()));
    const int y = qMax(available.top(), qMin(p.y, available.bottom() + 1 - frame.height()));
    move(x, y);
}

} // namespace skelvo::ui
