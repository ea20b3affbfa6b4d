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
class SimPort : public QObject
{
    Q_OBJECT

public:
    // What open() does with a ports/COM<n> entry that already leads to a live terminal.
    enum class Existing { Refuse, Replace };

    // How long the line must be quiet before the bus is told of a pause.
    static constexpr int PauseMs = 20;

    explicit SimPort(LcdBus *bus = nullptr, QObject *parent = nullptr);
    ~SimPort() override;

    // Opens a pty and links <folder>/ports/COM<number> to its slave; an empty folder is the
    // settings file's folder, whose ports/ the control panel opens. A stale link (its target gone)
    // is replaced; a link to a live terminal is refused unless Existing::Replace. False with
    // errorString() on failure.
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

    // Every byte the program wrote since open() or clearReceived().
    QByteArray received() const { return m_received; }
    void clearReceived() { m_received.clear(); }

    // Bytes toward the program, as if a module sent them. False when the line is closed.
    bool write(const QByteArray &bytes);

signals:
    void chunkReceived(const QByteArray &chunk); // bytes the program wrote, as read
    void answered(const QByteArray &bytes); // the bus's answers, once written to the line
    void paused(); // the line went quiet after a chunk

private:
    void readMaster();
    void flushOutput();
    void linePaused();
    bool fail(const QString &message);

    LcdBus *m_bus = nullptr;
    int m_master = -1;
    int m_slave = -1; // kept open so that the master never reads EIO while the program is away
    QString m_slavePath;
    QString m_linkPath;
    QString m_error;
    QByteArray m_received;
    QByteArray m_pending; // toward the program, not yet taken by the pty
    QSocketNotifier *m_readNotifier = nullptr;
    QSocketNotifier *m_writeNotifier = nullptr;
    QTimer *m_pauseTimer = nullptr;
};
