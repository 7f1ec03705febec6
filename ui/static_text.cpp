#include "ui/static_text.h"

#include <QFontMetrics>
#include <QHelpEvent>
#include <QPainter>
#include <QTextLayout>
#include <QTextOption>
#include <QToolTip>

namespace skelvo::ui {

StaticText::StaticText(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_TranslucentBackground);
    setFocusPolicy(Qt::NoFocus);
}

void StaticText::setText(const QString& text) {
    if (text == m_text)
        return;
    m_text = text;
    m_layout.reset();
    update();
}

void StaticText::setTextColor(const QColor& color) {
    m_color = color;
    update();
}

bool StaticText::fitsWhole() const {
    return cachedLayout().whole;
}

QStringList StaticText::visibleLines() const {
    return cachedLayout().lines;
}

const StaticText::Layout& StaticText::cachedLayout() const {
    // Progress labels change text with every DATA block; the layout is made only when needed.
    if (!m_layout)
        m_layout = layoutText();
    return *m_layout;
}

bool StaticText::event(QEvent* event) {
    if (event->type() == QEvent::ToolTip) {
        // A cut text is shown whole as tool tip.
        if (cachedLayout().whole) {
            QToolTip::hideText();
            event->ignore();
        } else {
            QToolTip::showText(static_cast<QHelpEvent*>(event)->globalPos(), toolTipText(), this);
        }
        return true;
    }
    if (event->type() == QEvent::FontChange)
        m_layout.reset();
    return QWidget::event(event);
}

int StaticText::lineHeight(const QString& line) const {
    const int spacing = QFontMetrics(font()).lineSpacing();
    // An empty line (a paragraph break) takes half a line, so the step texts with their runs
    // of line breaks keep every break and still fit their controls.
    return line.isEmpty() ? spacing / 2 : spacing;
}

StaticText::Layout StaticText::layoutText() const {
    Layout out;
    const QFontMetrics metrics(font());
    const int width = qMax(1, this->width());
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    // A trailing line break adds no visible line, as on a static control.
    QString text = m_text;
    while (text.endsWith(QLatin1Char('\n')))
        text.chop(1);
    QStringList lines;
    const QStringList paragraphs = text.split(QLatin1Char('\n'));
    for (const QString& paragraph : paragraphs) {
        if (paragraph.isEmpty()) {
            lines << QString();
            continue;
        }
        QTextLayout layout(paragraph, font());
        layout.setTextOption(option);
        layout.beginLayout();
        for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
            line.setLineWidth(width);
            lines << paragraph.mid(line.textStart(), line.textLength());
        }
        layout.endLayout();
    }
    int used = 0;
    for (const QString& line : lines) {
        const int h = lineHeight(line);
        if (!out.lines.isEmpty() && used + h > height()) {
            out.whole = false;
            break;
        }
        out.lines << line;
        used += h;
    }
    if (!out.whole) {
        QString& last = out.lines.last();
        last = metrics.elidedText(last.trimmed() + QStringLiteral(" \u2026"), Qt::ElideRight, width);
    }
    return out;
}

void StaticText::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setClipRect(rect());
    painter.setFont(font());
    painter.setPen(m_color.isValid() ? m_color
                                     : palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled,
                                                       QPalette::WindowText));
    const QFontMetrics metrics(font());
    int top = 0;
    for (const QString& line : cachedLayout().lines) {
        painter.drawText(0, top + metrics.ascent(), line);
        top += lineHeight(line);
    }
}

void StaticText::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    m_layout.reset();
}

} // namespace skelvo::ui
