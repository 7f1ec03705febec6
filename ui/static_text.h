// A static text control: left-aligned plain text that wraps at word boundaries, or anywhere when a
// single word (a long host name) is wider than the control. It never paints outside its own
// rectangle: a text taller than the control ends in an ellipsis and is shown whole as its tool tip.
// Paragraph breaks (empty lines) take half a line.
#pragma once

#include <QColor>
#include <QString>
#include <QWidget>

#include <optional>

namespace skelvo::ui {

class StaticText : public QWidget {
    Q_OBJECT
  public:
    explicit StaticText(QWidget* parent = nullptr);

    void setText(const QString& text);
    QString text() const { return m_text; }
    // An invalid colour means the palette's text colour.
    void setTextColor(const QColor& color);
    QColor textColor() const { return m_color; }

    // Whether the whole text fits the control's rectangle, and the lines it is laid out in.
    bool fitsWhole() const;
    QStringList visibleLines() const;
    // What the tool tip shows: the whole text when it is cut, else nothing.
    QString toolTipText() const { return fitsWhole() ? QString() : m_text; }

  protected:
    bool event(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

  private:
    struct Layout {
        QStringList lines;
        bool whole = true;
    };
    Layout layoutText() const;
    const Layout& cachedLayout() const;
    int lineHeight(const QString& line) const;

    QString m_text;
    QColor m_color;
    mutable std::optional<Layout> m_layout;
};

} // namespace skelvo::ui
