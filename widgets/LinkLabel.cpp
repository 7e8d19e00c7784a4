#include "LinkLabel.h"

#include <QFont>
#include <QMouseEvent>
#include <QPalette>

TLinkLabel::TLinkLabel(QWidget* parent) : QLabel(parent) {
    // Only the underline and the text colour are the label's own; the rest comes from the window.
    QFont underlined;
    underlined.setUnderline(true);
    setFont(underlined);
    QPalette colours;
    colours.setColor(QPalette::WindowText, QColor(0, 128, 0));
    setPalette(colours);
    setCursor(Qt::PointingHandCursor);
}

void TLinkLabel::mousePressEvent(QMouseEvent* event) {
    m_pressed = event->button() == Qt::LeftButton;
    QLabel::mousePressEvent(event);
}

// A click is a press and a release on the label, as with a button: moving off before letting go
// cancels it.
void TLinkLabel::mouseReleaseEvent(QMouseEvent* event) {
    const bool click = m_pressed && event->button() == Qt::LeftButton &&
                       rect().contains(event->position().toPoint());
    m_pressed = false;
    QLabel::mouseReleaseEvent(event);
    if (click)
        emit Clicked();
}
