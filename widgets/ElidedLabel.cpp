// The whole text stays the label's own, for whoever reads it; only the painting is cut.
#include "ElidedLabel.h"

#include <QPainter>

TElidedLabel::TElidedLabel(QWidget* parent) : QLabel(parent) {}

QSize TElidedLabel::minimumSizeHint() const {
    return {fontMetrics().averageCharWidth() * 3, QLabel::minimumSizeHint().height()};
}

void TElidedLabel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const QRect area = contentsRect();
    const QString shown = fontMetrics().elidedText(text(), Qt::ElideRight, area.width());
    // The tip is known only once the text is measured against the width it got.
    setToolTip(shown == text() ? QString() : text());
    painter.drawText(area, static_cast<int>(alignment()) | Qt::TextSingleLine, shown);
}
