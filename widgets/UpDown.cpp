// The spin box's own field is hidden and never focused: the arrows are the only way in.
#include "UpDown.h"

#include <QKeyEvent>
#include <QLineEdit>
#include <QStyle>
#include <QStyleOptionSpinBox>
#include <QWheelEvent>

TUpDown::TUpDown(QWidget* parent) : QSpinBox(parent) {
    setFocusPolicy(Qt::NoFocus);
    setContextMenuPolicy(Qt::NoContextMenu);
    lineEdit()->setFocusPolicy(Qt::NoFocus);
    lineEdit()->setReadOnly(true);
    lineEdit()->hide();
    // As wide as the arrows and without the field's frame, which would show as an empty sliver.
    setFrame(false);
    QStyleOptionSpinBox option;
    initStyleOption(&option);
    const QRect arrows = style()->subControlRect(QStyle::CC_SpinBox, &option,
                                                 QStyle::SC_SpinBoxUp, this);
    setFixedWidth(arrows.width() + 2);
}

void TUpDown::keyPressEvent(QKeyEvent* event) {
    event->ignore();
}

void TUpDown::wheelEvent(QWheelEvent* event) {
    event->ignore();
}
