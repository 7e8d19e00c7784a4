// The converter from degrees, minutes and seconds to decimal degrees: a small window kept above
// the others, shown without blocking the main window; the user copies its result by hand.
#pragma once

#include <QDialog>

class Dialogs;
class QLabel;
class QLineEdit;
class QPushButton;
class QShowEvent;

class TfrmConvert : public QDialog {
    Q_OBJECT
public:
    // The dialogs are not owned.
    explicit TfrmConvert(Dialogs& dialogs, QWidget* parent = nullptr);

public slots:
    // Shows the converted fields in Edit4, or "Input Error." with Edit4 left as it was.
    void Button1Click();

protected:
    void showEvent(QShowEvent* event) override;

private:
    void BuildControls();

    Dialogs& m_dialogs;
    bool m_placed = false;

    QLabel* Label1 = nullptr;
    QLineEdit* Edit1 = nullptr;
    QLineEdit* Edit2 = nullptr;
    QLineEdit* Edit3 = nullptr;
    QPushButton* Button1 = nullptr;
    QLabel* Label2 = nullptr;
    QLineEdit* Edit4 = nullptr;
};
