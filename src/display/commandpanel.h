#pragma once

#include "display/protocol.h"

#include <QGroupBox>

#include <memory>

class MainLink;
class QButtonGroup;
class QComboBox;
namespace Ui {
class CommandPanel;
}

// The "Tessaline Commands" panel: each control sends one frame to the selected module.
class CommandPanel : public QGroupBox
{
    Q_OBJECT
public:
    explicit CommandPanel(QWidget *parent = nullptr);
    ~CommandPanel() override;

    void attach(MainLink *link) { m_link = link; }
    // Fills the lists and gives each its first selection, in the start-up's order.
    void load();

    void cmdCtrl_Click(int index);
    void cmdSetCursor_Click();
    void cmdCurPos_Click();
    void cmdClrRow_Click();
    void cmdClrCol_Click();
    void cmdBackLight_Click(int index);
    void cmdBLFlash_Click();
    void cmdLoadCC_Click();
    void cmdCC_Click(int index);
    void cmdPT_Click();
    void cmdOut_Click(int index);
    void cmdout1_Click();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    // Characters that reached the "Send Text" box: typed, committed by an input method or
    // pasted.
    void txtASCIIInput_KeyPress(const QString &text);
    // True when each list's text names an item; else the operator is told, and nothing goes out.
    bool picked(std::initializer_list<const QComboBox *> lists);
    void send(const QList<Protocol::Frame> &frames);
    void send(const Protocol::Frame &frame) { send(QList<Protocol::Frame> {frame}); }
    QButtonGroup *group(const char *name, int count);

    std::unique_ptr<Ui::CommandPanel> ui;
    MainLink *m_link = nullptr;
};
