// A titled group of radio buttons laid out in columns, chosen by item index.
#pragma once

#include <QGroupBox>
#include <QStringList>
#include <vector>

class QButtonGroup;
class QRadioButton;

class TRadioGroup : public QGroupBox {
    Q_OBJECT
public:
    TRadioGroup(const QString& title, const QStringList& items, int columns,
                QWidget* parent = nullptr);

    // The checked item, -1 when none is.
    int ItemIndex() const;
    // An index outside the items leaves the selection as it is.
    void SetItemIndex(int index);
    // A disabled item cannot be chosen; the selection stays where it is.
    void SetItemEnabled(int index, bool enabled);
    bool ItemEnabled(int index) const;

signals:
    void ItemIndexChanged(int index);

private:
    QButtonGroup* m_group;
    std::vector<QRadioButton*> m_buttons;
};
