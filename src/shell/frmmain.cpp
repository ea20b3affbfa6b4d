#include "shell/frmmain.h"
#include "ui_frmmain.h"

#include "buslog/buslogwindow.h"
#include "config/frmcfg.h"
#include "display/busscan.h"
#include "link/commport.h"
#include "link/hextrace.h"
#include "link/modini.h"
#include "link/portlink.h"
#include "link/portmap.h"
#include "link/receive.h"
#include "link/ticktimer.h"
#include "shell/forms.h"
#include "shell/modvariables.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QFileInfo>
#include <QHelpEvent>
#include <QLayout>
#include <QToolTip>

frmMain::frmMain(modVariables &vars, QWidget *parent)
    : QMainWindow(parent)
    , ui(std::make_unique<Ui::frmMain>())
    , m_vars(vars)
    , m_link(new PortLink(vars, BusLog::Window::Main, this))
    , m_selection(new QLabel(this))
    , m_portState(new QLabel(this))
{
    setFont(formFont());
    ui->setupUi(this);
    layout()->setSizeConstraint(QLayout::SetFixedSize);
    for (QComboBox *list : findChildren<QComboBox *>())
        makePlainList(list);
    statusBar()->addWidget(m_selection, 1);
    statusBar()->addPermanentWidget(m_portState);
    m_selection->setObjectName(QStringLiteral("StatusPanel1"));
    m_portState->setObjectName(QStringLiteral("StatusPanel2"));
    // Room for the first panel's messages beside it: a long device name must not widen the window.
    m_portState->setMaximumWidth(ui->centralwidget->minimumWidth() * 2 / 3);
    m_selection->setToolTip(
        QStringLiteral("The outcome of the last Select Device or Deselect Device"));

    ui->Frame2->attach(this);
    ui->Frame3->attach(this);
    // Each port's device as its item's tooltip.
    ui->cboComm->setModel(new PortListModel(ui->cboComm));
    MSComm1().setRThreshold(2);
    connect(m_link, &PortLink::received, this, &frmMain::MSComm1_OnComm);
    connect(m_link, &PortLink::lost, this, &frmMain::MSComm1_Lost);
    connect(m_link, &PortLink::stateChanged, this, &frmMain::showPortState);
    connect(ui->cmdConnect, &QPushButton::clicked, this, &frmMain::cmdConnect_Click);
    connect(ui->mnuCfg, &QAction::triggered, this, &frmMain::mnuCfg_Click);
    connect(ui->mnuBusLog, &QAction::triggered, this, &frmMain::mnuBusLog_Click);
    connect(ui->mnuFind, &QAction::triggered, this, &frmMain::mnuFind_Click);
    // "Find Modules" is usable exactly when the "Select Device" panel is.
    connect(ui->Frame2, &SelectPanel::enabledChanged, ui->mnuFind, &QAction::setEnabled);
    ui->menubar->installEventFilter(this);

    Form_Load();
}

frmMain::~frmMain() = default;

CommPort &frmMain::MSComm1()
{
    return m_link->port();
}

void frmMain::Form_Load()
{
    for (int n = 1; n <= Bus::Ports; ++n)
        ui->cboComm->addItem(QStringLiteral("COM%1").arg(n));
    ui->cboBaud->addItems({QStringLiteral("4800"), QStringLiteral("9600")});
    const StartupSettings settings = ReadStartupSettings();
    m_vars.CommPortText = settings.commPort;
    m_vars.PortSettings = settings.setting;

    // 0 and 99 keep their meaning, no selection; anything unusable falls back to COM1 and 100.
    const int port = StartupNumber("CommPort", settings.commPort, 0, Bus::Ports, 1);
    const int address = StartupNumber("UID", settings.uid, Bus::FirstAddress - 1, Bus::LastAddress,
                                      Bus::FirstAddress);
    m_vars.DeviceAddress = quint8(address);

    ui->cboComm->setCurrentIndex(port - 1);
    ui->cboBaud->setCurrentIndex(settings.baud() == 9600 ? 1 : 0);
    ui->Frame2->load(address - Bus::FirstAddress);
    ui->Frame3->load();
    showPortState();
}

void frmMain::cmdConnect_Click()
{
    if (ui->cmdConnect->text() == QLatin1String("Connect")) {
        // Values set before a failure stay set, as the operator's last choice.
        CommPort &port = MSComm1();
        bool ok = port.setSettings(ui->cboBaud->currentText() + QStringLiteral(",n,8,1"));
        if (ok) {
            m_vars.PortSettings = port.settings();
            port.setCommPort(listIndex(ui->cboComm) + 1);
            m_vars.CommPortText = QString::number(port.commPort());
            ok = m_link->open();
        }
        if (!ok) {
            // The message box says what the description fixes; the panel says who has the port.
            if (port.openError() == CommPort::OpenError::InUse && m_cfg
                && m_cfg->MSComm1().isOpen())
                showPortPanel(QStringLiteral("COM%1 is held by the Configure LCD window")
                                  .arg(port.commPort()));
            showPortNotAvailable(this);
            return;
        }
        ui->cmdConnect->setText(QStringLiteral("Disconnect"));
        ui->mnuCfg->setEnabled(true);
        ui->Frame2->setEnabled(true);
    } else {
        MSComm1().close();
        ui->cmdConnect->setText(QStringLiteral("Connect"));
        ui->mnuCfg->setEnabled(false);
        ui->Frame2->setEnabled(false);
    }
    showPortState();
}

// Releases the port (the command is enabled only while connected), then shows the
// configuration window, which opens the same port with the same settings; the second status
// panel says where the port went.
void frmMain::mnuCfg_Click()
{
    const int released = MSComm1().commPort();
    cmdConnect_Click();
    if (!m_cfg) {
        m_cfg = std::make_unique<frmCfg>(m_vars);
        connect(m_cfg.get(), &frmCfg::closed, this, &frmMain::cfgClosed);
    }
    m_cfg->Display();
    const CommPort &held = m_cfg->MSComm1();
    if (!held.isOpen())
        showPortPanel(
            QStringLiteral("COM%1 released; Configure LCD could not open it").arg(released));
    else if (held.commPort() == released)
        showPortPanel(QStringLiteral("COM%1 handed to Configure LCD").arg(released));
    else
        showPortPanel(QStringLiteral("COM%1 released; Configure LCD keeps COM%2")
                          .arg(released)
                          .arg(held.commPort()));
}

// The configuration window closed, releasing the port it held (0: none).
void frmMain::cfgClosed(int released)
{
    if (MSComm1().isOpen())
        return;
    if (released > 0)
        showPortPanel(QStringLiteral("COM%1 free to connect again").arg(released));
    else
        showPortState();
}

void frmMain::closeEvent(QCloseEvent *event)
{
    if (m_cfg)
        m_cfg->close(); // a "Send" under way stops there, as when that window is closed
    MSComm1().close();
    event->accept();
    // Ends the program even while another window of it is open.
    QCoreApplication::quit();
}

// The menu bar shows no tooltips of its commands by itself.
bool frmMain::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == ui->menubar && event->type() == QEvent::ToolTip) {
        const auto *help = static_cast<QHelpEvent *>(event);
        QAction *action = ui->menubar->actionAt(help->pos());
        if (action && action->toolTip() != QString(action->text()).remove(QLatin1Char('&'))) {
            QToolTip::showText(help->globalPos(), action->toolTip(), ui->menubar,
                               ui->menubar->actionGeometry(action));
            return true;
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

// The log of both windows' frames, beside them; the record runs whether it is shown or not.
void frmMain::mnuBusLog_Click()
{
    if (!m_busLog)
        m_busLog = std::make_unique<BusLogWindow>(m_vars.busLog);
    m_busLog->show();
    m_busLog->raise();
    m_busLog->activateWindow();
}

void frmMain::mnuFind_Click()
{
    BusScan::findModules(*ui->Frame2, this);
}

void frmMain::SendFrame(int n)
{
    if (n < 0 || n > modVariables::TxBufferSize)
        return;
    if (!MSComm1().isOpen()) {
        refuse(m_cfg && m_cfg->isVisible() && m_cfg->MSComm1().isOpen()
                   ? QStringLiteral("the port is handed to Configure LCD")
                   : QStringLiteral("the port is closed"));
        return;
    }
    ui->lblTxData->clear();
    ui->lblRxData->clear();
    m_link->sendBuffer(n);
    ui->lblTxData->setText(
        HexTrace(QByteArray(reinterpret_cast<const char *>(m_vars.TxBuffer.data()), n)));
    if (m_refused)
        showPortState();
}

void frmMain::WaitTicks(int n)
{
    m_link->WaitTicks(n);
}

// Only a block that starts with a reply from the selected address counts; the rest of the
// block, and any other block, is dropped.
void frmMain::MSComm1_OnComm()
{
    const QString trace = ReceiveBlock(m_vars, m_link->readAll());
    if (!trace.isEmpty())
        ui->lblRxData->setText(ui->lblRxData->text() + trace);
}

// The device went away under the open port: the window returns to its closed state, and the
// second status panel says what happened.
void frmMain::MSComm1_Lost()
{
    ui->cmdConnect->setText(QStringLiteral("Connect"));
    ui->mnuCfg->setEnabled(false);
    ui->Frame2->setEnabled(false);
}

void frmMain::setSelectionStatus(const QString &text)
{
    m_selection->setText(text);
}

void frmMain::setCommandsEnabled(bool enabled)
{
    ui->Frame3->setEnabled(enabled);
}

void frmMain::refuse(const QString &why)
{
    showPortPanel(nothingSent(why));
    m_refused = true;
}

void frmMain::showPortState()
{
    m_refused = false;
    showPortPanel(m_link->stateText());
}

// A text too long for the panel is shortened in the middle; the whole shows as its tooltip.
void frmMain::showPortPanel(const QString &text)
{
    m_portState->setText(
        m_portState->fontMetrics().elidedText(text, Qt::ElideMiddle, m_portState->maximumWidth()));
    m_portState->setToolTip(text);
}
