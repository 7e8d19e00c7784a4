#include "RadioGroup.h"

#include <QButtonGroup>
#include <QGridLayout>
#include <QRadioButton>

TRadioGroup::TRadioGroup(const QString& title, const QStringList& items, int columns,
                         QWidget* parent)
    : QGroupBox(title, parent), m_group(new QButtonGroup(this)) {
    auto* layout = new QGridLayout(this);
    layout->setContentsMargins(8, 4, 8, 4);
    for (int i = 0; i < items.size(); ++i) {
        auto* button = new QRadioButton(items[i], this);
        m_group->addButton(button, i);
        layout->addWidget(button, i / columns, i % columns);
        m_buttons.push_back(button);
    }
    connect(m_group, &QButtonGroup::idToggled, this, [this](int id, bool checked) {
        if (checked)
            emit ItemIndexChanged(id);
    });
}

int TRadioGroup::ItemIndex() const {
    return m_group->checkedId();
}

void TRadioGroup::SetItemEnabled(int index, bool enabled) {
    if (index >= 0 && static_cast<std::size_t>(index) < m_buttons.size())
        m_buttons[static_cast<std::size_t>(index)]->setEnabled(enabled);
}

bool TRadioGroup::ItemEnabled(int index) const {
    return index >= 0 && static_cast<std::size_t>(index) < m_buttons.size() &&
           m_buttons[static_cast<std::size_t>(index)]->isEnabled();
}

void TRadioGroup::SetItemIndex(int index) {
    if (index >= 0 && static_cast<std::size_t>(index) < m_buttons.size())
        m_buttons[static_cast<std::size_t>(index)]->setChecked(true);
}
