#pragma once

#include <QGroupBox>
#include <QString>

#include <memory>
#include <optional>

class FrameLink;
class MainLink;
namespace Ui {
class SelectPanel;
}

// The "Select Device" panel: selects one module on the bus by its address and deselects it.
class SelectPanel : public QGroupBox
{
    Q_OBJECT
public:
    // A selection that a module answered: its address and the list text the status showed.
    struct Selection
    {
        quint8 address;
        QString text;
    };
    // What the main window knows of the bus, kept across exchanges that are not its own (the
    // module search): the module the command panel follows, DeviceAddress and ReplyReceived.
    struct State
    {
        std::optional<Selection> selection;
        quint8 deviceAddress;
        bool replyReceived;
    };

    explicit SelectPanel(QWidget *parent = nullptr);
    ~SelectPanel() override;

    void attach(MainLink *link) { m_link = link; }
    // Fills the address list and selects the saved address (-1 for none).
    void load(int addressIndex);

    void cmdSelect_Click();
    void cmdDeselect_Click();

    // The select exchange: SelectDevice for the address (which becomes DeviceAddress),
    // ReplyReceived cleared, the full wait. True when a module at that address answered. The
    // caller checks TickTimer::mayWait() first.
    bool selectExchange(quint8 address);
    // The main window's send routine and wait, on which the exchanges run.
    FrameLink &link();
    // Puts an address in the list and runs "Select Device" on it.
    void choose(quint8 address);

    // The last selection that was answered, while no other SelectDevice or DeselectDevice
    // went out from this panel since: the module that the command panel follows.
    const std::optional<Selection> &selection() const { return m_selection; }
    State state() const;
    // Brings the bus back to a state: the module followed then selected again with the select
    // exchange, else DeselectDevice sent as "Deselect Device" would have sent it then. The
    // status shows the outcome as for a click.
    void restore(const State &state);

signals:
    // The panel became usable or unusable (the port opened or closed).
    void enabledChanged(bool enabled);

protected:
    void changeEvent(QEvent *event) override;

private:
    void select(quint8 address, const std::optional<QString> &text = std::nullopt);

    std::unique_ptr<Ui::SelectPanel> ui;
    MainLink *m_link = nullptr;
    std::optional<Selection> m_selection;
};
