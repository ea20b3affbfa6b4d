#include "display/selectpanel.h"
#include "ui_selectpanel.h"

#include "display/protocol.h"
#include "display/selection.h"
#include "link/ticktimer.h"
#include "shell/forms.h"
#include "shell/mainlink.h"
#include "shell/modvariables.h"

#include <QEvent>

SelectPanel::SelectPanel(QWidget *parent)
    : QGroupBox(parent)
    , ui(std::make_unique<Ui::SelectPanel>())
{
    ui->setupUi(this);
    connect(ui->cmdSelect, &QPushButton::clicked, this, &SelectPanel::cmdSelect_Click);
    connect(ui->cmdDeselect, &QPushButton::clicked, this, &SelectPanel::cmdDeselect_Click);
}

SelectPanel::~SelectPanel() = default;

void SelectPanel::load(int addressIndex)
{
    for (int a = Bus::FirstAddress; a <= Bus::LastAddress; ++a)
        ui->cboAddr->addItem(QString::number(a));
    ui->cboAddr->setCurrentIndex(addressIndex);
}

void SelectPanel::changeEvent(QEvent *event)
{
    QGroupBox::changeEvent(event);
    if (event->type() == QEvent::EnabledChange)
        emit enabledChanged(isEnabled());
}

// Both exchanges wait; a click that finds too many waits running already is not carried out,
// and the operator is told.
void SelectPanel::cmdSelect_Click()
{
    if (!TickTimer::mayWait()) {
        m_link->refuse(QStringLiteral("too many waits running; try again"));
        return;
    }
    // A typed address that names no item sends 99, the address no module has; the status
    // then shows the typed text.
    select(quint8(listIndex(ui->cboAddr) + Bus::FirstAddress));
}

// The status names the address by the list's text after the wait, unless told another.
void SelectPanel::select(quint8 address, const std::optional<QString> &text)
{
    if (selectExchange(address)) {
        const QString shown = text.value_or(ui->cboAddr->currentText());
        // A selection made during the wait is the one the bus now has: its DeviceAddress.
        m_selection = Selection {m_link->vars().DeviceAddress, shown};
        m_link->setSelectionStatus(QStringLiteral("Device ") + shown
                                   + QStringLiteral(" Connected"));
        m_link->setCommandsEnabled(true);
    } else {
        // The bus now has no module selected, whatever the command panel shows.
        m_selection.reset();
        m_link->setSelectionStatus(QStringLiteral("Device Not Found"));
    }
}

bool SelectPanel::selectExchange(quint8 address)
{
    return ::Selection::selectExchange(*m_link, address);
}

FrameLink &SelectPanel::link()
{
    return *m_link;
}

void SelectPanel::cmdDeselect_Click()
{
    if (!TickTimer::mayWait()) {
        m_link->refuse(QStringLiteral("too many waits running; try again"));
        return;
    }
    m_selection.reset();
    // The flag is not cleared first: it still holds the outcome of the last selection.
    if (::Selection::deselectExchange(*m_link)) {
        m_link->setSelectionStatus(QStringLiteral("Disconnected"));
        m_link->setCommandsEnabled(false);
    } else {
        m_link->setSelectionStatus(QStringLiteral("No Response"));
    }
}

void SelectPanel::choose(quint8 address)
{
    ui->cboAddr->setCurrentIndex(address - Bus::FirstAddress);
    cmdSelect_Click();
}

SelectPanel::State SelectPanel::state() const
{
    const modVariables &v = m_link->vars();
    return {m_selection, v.DeviceAddress, v.ReplyReceived};
}

void SelectPanel::restore(const State &state)
{
    if (!TickTimer::mayWait())
        return;
    if (state.selection)
        return select(state.selection->address, state.selection->text);
    modVariables &v = m_link->vars();
    v.DeviceAddress = state.deviceAddress;
    v.ReplyReceived = state.replyReceived;
    cmdDeselect_Click();
}
