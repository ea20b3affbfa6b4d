#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

class QSerialPort;
class QSocketNotifier;
class QTimer;

// A window's serial-port control: settings text, 1-based port number, open and close, byte
// and string writes, and a receive signal once enough bytes wait. Errors are returned or
// signalled; the window words them for the operator.
class CommPort : public QObject
{
    Q_OBJECT
public:
    enum class OpenError {
        None,
        NoNumber, // the number names no port
        InUse, // open in this program already, through some name
        Terminal, // another program's controlling terminal: never a module
        NoDevice,
        Permission, // exists, but this user may not read and write it
        Failed, // refused by the system or the settings
    };
    enum class Loss {
        Gone, // hung up, unplugged, closed at its other end
        Failed, // any other error of the device
    };

    explicit CommPort(QObject *parent = nullptr);
    ~CommPort() override;

    // "rate,parity,data,stop" as in 9600,n,8,1; false (and no change) when the text is no
    // such setting. Read back in the same form, lower-case parity. An open port takes it at
    // once: what was written before goes out at the old settings only if drained first.
    bool setSettings(const QString &text);
    QString settings() const { return m_settings; }

    void setCommPort(int number) { m_number = number; }
    int commPort() const { return m_number; }
    // A device path to open instead of the one the port number names; empty for none.
    void setDevice(const QString &path) { m_path = path; }
    // The port as the operator named it: "COM1", or the device path set.
    QString name() const;

    // Opens the device that the port number names (PortMap), or the path set. Fails, saying why
    // in openError(), when the number names no device, the device is held (HeldPorts) or cannot
    // be opened.
    bool open();
    OpenError openError() const { return m_openError; }
    // The system's word for the last failure to open, as in "Device or resource busy".
    QString openErrorText() const { return m_openErrorText; }
    // The device, links followed, of the open port or of the last attempt to open one.
    QString device() const { return m_device; }
    void close();
    bool isOpen() const;

    // Each write is handed to the system at once. A device that does not take bytes now (it
    // stopped reading, its buffer is full) is slow, not lost: what it did not take waits, in
    // order, and goes out as soon as it reads again, ahead of later writes. On a closed port
    // the writes write nothing and return false.
    bool writeByte(quint8 byte);
    bool write(const QByteArray &bytes);
    qsizetype bytesWaiting() const { return m_pending.size(); }
    // Blocks until the device's driver has sent every byte it took (a UART at its rate); true
    // at once where the system keeps no such queue (a pseudo terminal).
    bool drain();

    // All waiting bytes, raw.
    QByteArray readAll();
    // received() is raised once at least this many bytes wait; with 0 nothing reads the port
    // and unread() is raised for every arrival instead.
    void setRThreshold(int count) { m_threshold = count; }

signals:
    void received();
    void unread();
    // Bytes that the device's driver took.
    void bytesWritten(qint64 count);
    // Output began or ceased to wait for the device.
    void outputWaiting(bool waiting);
    // The device went away while open (an adapter pulled out); the port is closed already.
    void lost(CommPort::Loss why);

private:
    bool applySettings();
    void onReadyRead();
    void onError();
    void checkHangup();
    qsizetype writeNow(const char *data, qsizetype size);
    void writePending();
    void setWaiting(bool waiting);
    void loseDevice(Loss why);

    static constexpr int WatchInterval = 200; // ms between looks for a hang-up

    QSerialPort *m_port = nullptr;
    QTimer *m_watch = nullptr;
    QSocketNotifier *m_writable = nullptr; // while output waits
    QByteArray m_pending; // written, not yet taken by the device
    QString m_settings;
    QString m_path; // opened instead of the port number's device when set
    QString m_device; // canonical path
    QString m_openErrorText;
    bool m_held = false;
    bool m_waiting = false;
    OpenError m_openError = OpenError::None;
    int m_number = 0;
    int m_threshold = 0;
    qint32 m_rate = 9600;
    int m_parity = 0;
    int m_dataBits = 8;
    int m_stopBits = 1;
};
