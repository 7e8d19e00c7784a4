// The spin box's own field is hidden and never focused: the arrows are the only way in.
#include "UpDown.h"

#include <QKeyEvent>
#include <QLineEdit>
#include <QWheelEvent>

TUpDown::TUpDown(QWidget* parent) : QSpinBox(parent) {
    setFocusPolicy(Qt::NoFocus);
    setContextMenuPolicy(Qt::NoContextMenu);
    lineEdit()->setFocusPolicy(Qt::NoFocus);
    lineEdit()->setReadOnly(true);
    lineEdit()->hide();
    setFixedWidth(sizeHint().height());
}

void TUpDown::keyPressEvent(QKeyEvent* event) {
    event->ignore();
}

void TUpDown::wheelEvent(QWheelEvent* event) {
    event->ignore();
}
