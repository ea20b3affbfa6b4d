#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

class LcdBus;
class QSocketNotifier;
class QTimer;

// The bus end of a pseudo terminal: the program opens the slave through <folder>/ports/COM<n>
// as if it were a serial port, and what it writes reaches the modules of an LcdBus, whose
// answers come back on the line. Without a bus it is a bare line for tests that look only at
// bytes.
//
// While open it holds an flock on <folder>/ports/COM<n>.lock, which the kernel releases however
// the process ends: a link to a pty whose lock is free was left by a run that died.
class SimPort : public QObject
{
    Q_OBJECT

public:
    // What open() does with a ports/COM<n> entry that another live port holds, or that leads
    // to something other than a pty.
    enum class Existing { Refuse, Replace };

    // How long the line must be quiet before the bus is told of a pause.
    static constexpr int PauseMs = 20;
    // The speed of a fresh line, until the program sets another: the modules' own at start.
    static constexpr int StartBaud = 9600;
    // At most this much is read from the line before the event loop runs again.
    static constexpr int ReadChunk = 64 * 1024;
    // Answers that the program has not read beyond this are lost, as on a line nobody reads.
    static constexpr int MaxPending = 64 * 1024;

    explicit SimPort(LcdBus *bus = nullptr, QObject *parent = nullptr);
    ~SimPort() override;

    // Opens a pty and links <folder>/ports/COM<number> to its slave; an empty folder is the
    // settings file's folder, whose ports/ the control panel opens. With Existing::Refuse a link
    // to a pty that no live port holds is replaced, and anything else there is refused;
    // Existing::Replace replaces anything but a folder. False with errorString() on failure.
    bool open(int number, const QString &folder = QString(), Existing existing = Existing::Refuse);
    // Closes the pty and removes the link.
    void close();
    // A pulled cable: the pty goes away under the program, the link stays until close().
    void closeMaster();

    bool isOpen() const { return m_master >= 0; }
    QString slavePath() const { return m_slavePath; }
    QString linkPath() const { return m_linkPath; }
    QString errorString() const { return m_error; }

    void setBus(LcdBus *bus) { m_bus = bus; }
    LcdBus *bus() const { return m_bus; }

    // The speed the program set on its end of the line, 0 when it is none of the usual ones.
    int lineBaud() const;
    // When on, the bus hears each chunk at lineBaud(): a module at another speed understands
    // nothing (LcdBus::feedAt). Off by default: tests drive modules at any speed.
    void setSpeedChecked(bool on) { m_speedChecked = on; }

    // The last bytes the program wrote since open() or clearReceived(), at most limit bytes
    // (default 16 MiB; 0 keeps nothing).
    QByteArray received() const { return m_received; }
    void clearReceived() { m_received.clear(); }
    void setReceivedLimit(qsizetype limit) { m_receivedLimit = limit; }

    // Bytes toward the program, as if a module sent them. False when the line is closed.
    bool write(const QByteArray &bytes);

signals:
    void chunkReceived(const QByteArray &chunk); // bytes the program wrote, as read
    void answered(const QByteArray &bytes); // the bus's answers, once written to the line
    void paused(); // the line went quiet after a chunk

private:
    bool claimLink(const QString &link, Existing existing);
    void readMaster();
    void record(const QByteArray &chunk);
    void flushOutput();
    void linePaused();
    bool fail(const QString &message);
    void releaseLock();

    LcdBus *m_bus = nullptr;
    int m_master = -1;
    int m_slave = -1; // kept open so that the master never reads EIO while the program is away
    int m_lock = -1;
    bool m_speedChecked = false;
    QString m_slavePath;
    QString m_linkPath;
    QString m_lockPath;
    QString m_error;
    QByteArray m_received;
    qsizetype m_receivedLimit = 16 * 1024 * 1024;
    QByteArray m_chunk; // the read buffer, reused
    QByteArray m_pending; // toward the program, not yet taken by the pty
    QSocketNotifier *m_readNotifier = nullptr;
    QSocketNotifier *m_writeNotifier = nullptr;
    QTimer *m_pauseTimer = nullptr;
};
