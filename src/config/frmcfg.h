#pragma once

#include "display/protocol.h"

#include <QWidget>

#include <memory>

class CommPort;
class PortLink;
class QButtonGroup;
class QComboBox;
class QLineEdit;
struct modVariables;
namespace Ui {
class frmCfg;
}

// The configuration window "Configure LCD": its own port, on which it selects module 100 when
// it opens, and the commands that change what the module keeps (address, speed, line
// directions, stored texts, start-up screen, EEPROM save, user-defined characters). It sends
// without a trace and reads nothing from the line.
class frmCfg : public QWidget
{
    Q_OBJECT
public:
    explicit frmCfg(modVariables &vars, QWidget *parent = nullptr);
    ~frmCfg() override;

    // Shows the window: loaded afresh when it is not open, only brought forward when it is.
    void Display();

    // Writes TxBuffer bytes 0..n-1 to this window's port, one byte per write. Nothing on a
    // closed port.
    void SendFrameCfg(int n);
    void WaitTicks(int n);

    CommPort &MSComm1();

    void cmdSetBaud_Click();
    void cmdSetUID_Click();
    void cmdSetIO_Click();
    void cmdSetPT_Click();
    void cmdSave_Click();

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void Form_Load();
    void MSComm1_Lost(const QString &message);
    void send(const Protocol::Frame &frame);

    std::unique_ptr<Ui::frmCfg> ui;
    modVariables &m_vars;
    PortLink *m_link; // MSComm1 and Timer1
    QButtonGroup *m_baud;
    QLineEdit *m_texts[8];
    QComboBox *m_directions[8];
    // Counts openings and closings: a handler that waited finds it changed when the window
    // was closed meanwhile, and stops.
    unsigned m_generation = 0;
};
