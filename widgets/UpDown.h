// An up-down control: two arrows that step a position within a range, and nothing else. It takes
// no keyboard focus, no typing and no wheel; the number it drives is shown by another control.
#pragma once

#include <QSpinBox>

class TUpDown : public QSpinBox {
    Q_OBJECT
public:
    explicit TUpDown(QWidget* parent = nullptr);

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
};
