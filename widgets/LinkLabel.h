// A label that reads as a link (green, underlined, a hand cursor) and reports a click of the
// left mouse button on it.
#pragma once

#include <QLabel>

class QMouseEvent;

class TLinkLabel : public QLabel {
    Q_OBJECT
public:
    explicit TLinkLabel(QWidget* parent = nullptr);

signals:
    void Clicked();

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    bool m_pressed = false;
};
