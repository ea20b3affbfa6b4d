#include "display/selectpanel.h"
#include "ui_selectpanel.h"

#include "display/frames.h"
#include "link/ticktimer.h"
#include "shell/forms.h"
#include "shell/mainlink.h"
#include "shell/modvariables.h"

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

// Both exchanges wait; a click that finds too many waits running already is not carried out,
// and the operator is told.
void SelectPanel::cmdSelect_Click()
{
    if (!TickTimer::mayWait()) {
        m_link->refuse(QStringLiteral("too many waits running; try again"));
        return;
    }
    modVariables &v = m_link->vars();
    // A typed address that names no item sends 99, the address no module has; the status
    // then shows the typed text.
    v.DeviceAddress = quint8(listIndex(ui->cboAddr) + Bus::FirstAddress);
    m_link->SendFrame(v.putFrame(Frames::SelectDevice(v.DeviceAddress)));
    // No reply can be handled between the write and the wait: replies come in during it.
    v.ReplyReceived = false;
    m_link->WaitTicks(Bus::ReplyTicks);
    if (v.ReplyReceived) {
        m_link->setSelectionStatus(QStringLiteral("Device ") + ui->cboAddr->currentText()
                                   + QStringLiteral(" Connected"));
        m_link->setCommandsEnabled(true);
    } else {
        m_link->setSelectionStatus(QStringLiteral("Device Not Found"));
    }
}

void SelectPanel::cmdDeselect_Click()
{
    if (!TickTimer::mayWait()) {
        m_link->refuse(QStringLiteral("too many waits running; try again"));
        return;
    }
    modVariables &v = m_link->vars();
    m_link->SendFrame(v.putFrame(Frames::DeselectDevice()));
    // The flag is not cleared first: it still holds the outcome of the last selection.
    m_link->WaitTicks(Bus::ReplyTicks);
    if (v.ReplyReceived) {
        m_link->setSelectionStatus(QStringLiteral("Disconnected"));
        m_link->setCommandsEnabled(false);
    } else {
        m_link->setSelectionStatus(QStringLiteral("No Response"));
    }
}
