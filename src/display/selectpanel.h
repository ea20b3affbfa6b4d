#pragma once

#include <QGroupBox>

#include <memory>

class MainLink;
namespace Ui {
class SelectPanel;
}

// The "Select Device" panel: selects one module on the bus by its address and deselects it.
class SelectPanel : public QGroupBox
{
    Q_OBJECT
public:
    explicit SelectPanel(QWidget *parent = nullptr);
    ~SelectPanel() override;

    void attach(MainLink *link) { m_link = link; }
    // Fills the address list and selects the saved address (-1 for none).
    void load(int addressIndex);

    void cmdSelect_Click();
    void cmdDeselect_Click();

private:
    std::unique_ptr<Ui::SelectPanel> ui;
    MainLink *m_link = nullptr;
};
