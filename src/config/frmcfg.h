#pragma once

#include "display/protocol.h"

#include <QWidget>

#include <memory>

class CommPort;
class PortLink;
class QButtonGroup;
class QComboBox;
class QLabel;
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
    // Open without a port, it tries the port again that the main window has just handed over.
    void Display();

    // Writes TxBuffer bytes 0..n-1 to this window's port, one byte per write. Nothing, and
    // false, on a closed port.
    bool SendFrameCfg(int n);
    void WaitTicks(int n);

    CommPort &MSComm1();

    void cmdSetBaud_Click();
    void cmdSetUID_Click();
    void cmdSetIO_Click();
    void cmdSetPT_Click();
    void cmdSave_Click();
    void cmdExportProfile_Click();
    void cmdImportProfile_Click();

    // Writes the window's texts, start-up screen, I/O lines, UID and speed as they are shown,
    // and CharTable, into a profile file; a file that is there keeps its other keys. The
    // status line says how it went.
    bool exportProfile(const QString &path);
    // Fills the window's controls and CharTable from a profile file, so that the buttons send
    // what it describes; the settings file is not written. A faulty file changes nothing and
    // is reported.
    bool importProfile(const QString &path);

signals:
    // The window closed, releasing port number `released` (0: it held none).
    void closed(int released);

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void Form_Load();
    void openPort();
    void MSComm1_Lost(const QString &message);
    // Sends TxBuffer bytes 0..n-1 and tells the operator `done`, or why nothing went out.
    bool send(int n, const QString &done);
    bool send(const Protocol::Frame &frame, const QString &done = QString());
    void tell(const QString &message);
    void showPort();
    void tellCharacter(bool saved);

    std::unique_ptr<Ui::frmCfg> ui;
    modVariables &m_vars;
    PortLink *m_link; // MSComm1 and Timer1
    QButtonGroup *m_baud;
    QLineEdit *m_texts[8];
    QComboBox *m_directions[8];
    QLabel *m_message; // status line: what the last command sent, or why it sent nothing
    QLabel *m_where; // status line: the port and the module the frames go to
    int m_module = Bus::FirstAddress; // the address of the module this window selected
    QString m_profileFolder; // where the last profile was exported or imported
    // Counts openings and closings: a handler that waited finds it changed when the window
    // was closed meanwhile, and stops.
    unsigned m_generation = 0;
};
