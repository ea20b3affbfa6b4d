#pragma once

#include "cli/call.h"
#include "display/selection.h"

#include <QObject>
#include <QString>

class PortLink;
struct modVariables;

// Carries out a call on the line: opens the port, runs the steps in order (selecting the
// module first where a step needs it), and lets the line go quiet before closing it. Speaks
// only when asked (--verbose, --dry-run), for a scan's findings, and on failure.
class Session : public QObject, public FrameLink
{
    Q_OBJECT
public:
    Session(const Call &call, modVariables &vars);
    ~Session() override;

    // The exit status: 0 done, 2 the port could not be opened or was lost, 3 a module did not
    // answer its selection.
    int run();

    modVariables &vars() override { return m_vars; }
    // Writes TxBuffer bytes 0..n-1 (nothing on a dry run) and prints the frames they hold
    // when asked to.
    void SendFrame(int n) override;
    void WaitTicks(int n) override;

private:
    bool open();
    int perform(const Step &step);
    // Selects the module unless it is selected already or --no-select; 3 when it does not answer.
    int selected();
    int noAnswer();
    bool exchange(quint8 address);
    void sendFrames(const QList<Protocol::Frame> &frames);
    void storeTexts(const QList<Protocol::Frame> &frames);
    // The line quiet and every byte sent: what a module needs to tell SetBaud4800 from a stored
    // text's head, and a speed or a close needs so as not to cut the last bytes.
    bool pause();
    int finish(int status);
    int lost();
    void received();
    void print(const Protocol::Frame &frame);
    QString portName() const;

    const Call &m_call;
    modVariables &m_vars;
    PortLink *m_link = nullptr;
    int m_address = 0; // the module the commands go to
    bool m_selected = false; // it answered a selection that nothing has undone since
    bool m_quiet = true; // nothing sent since the last wait
    QString m_lost; // why the port went away, once it did
};
