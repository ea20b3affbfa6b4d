#pragma once

#include "shell/mainlink.h"

#include <QMainWindow>

#include <memory>

class BusLogWindow;
class CommPort;
class frmCfg;
class PortLink;
class QLabel;
namespace Ui {
class frmMain;
}

// The main window: the port, the selection of a module and the command panel, with the hex
// trace of every frame it sends and of the replies it accepts.
class frmMain : public QMainWindow, public MainLink
{
    Q_OBJECT
public:
    explicit frmMain(modVariables &vars, QWidget *parent = nullptr);
    ~frmMain() override;

    modVariables &vars() override { return m_vars; }
    // Writes TxBuffer bytes 0..n-1 one by one and traces them. A closed port refuses the
    // frame: nothing is written and the traces stay.
    void SendFrame(int n) override;
    void WaitTicks(int n) override;
    void setSelectionStatus(const QString &text) override;
    void setCommandsEnabled(bool enabled) override;
    void refuse(const QString &why) override;

    CommPort &MSComm1();

    void cmdConnect_Click();
    void mnuCfg_Click();
    void mnuBusLog_Click();
    void mnuFind_Click();

protected:
    // Closing the main window ends the program, the configuration window with it.
    void closeEvent(QCloseEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void Form_Load();
    void MSComm1_OnComm();
    void MSComm1_Lost();
    void showPortState();
    void showPortPanel(const QString &text);
    void cfgClosed(int released);

    std::unique_ptr<Ui::frmMain> ui;
    modVariables &m_vars;
    PortLink *m_link; // MSComm1 and Timer1
    QLabel *m_selection; // first status panel: selection messages alone
    QLabel *m_portState; // second status panel: the port, its settings and device, or why not
    bool m_refused = false; // m_portState tells why the last command sent nothing
    std::unique_ptr<frmCfg> m_cfg; // created at the first "Configure LCD", then reused
    std::unique_ptr<BusLogWindow> m_busLog; // created at the first "Bus Log", then reused
};
