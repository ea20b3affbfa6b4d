#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

class QSerialPort;
class QTimer;

// A window's serial-port control: settings text, 1-based port number, open and close, byte
// and string writes, and a receive signal once enough bytes wait. Errors are returned or
// signalled; the window words them for the operator.
class CommPort : public QObject
{
    Q_OBJECT
public:
    explicit CommPort(QObject *parent = nullptr);
    ~CommPort() override;

    // "rate,parity,data,stop" as in 9600,n,8,1; false (and no change) when the text is no
    // such setting. Read back in the same form, lower-case parity.
    bool setSettings(const QString &text);
    QString settings() const { return m_settings; }

    void setCommPort(int number) { m_number = number; }
    int commPort() const { return m_number; }

    // Opens the device that the port number names. Fails when the number names no device,
    // the device cannot be opened, or this program already holds it through any name.
    bool open(QString *error = nullptr);
    void close();
    bool isOpen() const;

    // Writes hand the bytes to the operating system before they return. On a closed port they
    // write nothing and return false.
    bool writeByte(quint8 byte);
    bool write(const QByteArray &bytes);

    // All waiting bytes, raw.
    QByteArray readAll();
    // received() is raised once at least this many bytes wait; 0 raises nothing.
    void setRThreshold(int count) { m_threshold = count; }

    // The device of port number n: COMn on Windows; elsewhere the link ports/COMn in the
    // program's folder when it exists, else /dev/ttyS(n-1). Empty for n < 1.
    static QString devicePath(int number);

signals:
    void received();
    // The device went away while open (an adapter pulled out); the port is closed already.
    void lost(const QString &error);

private:
    void onReadyRead();
    void onError();
    void checkHangup();
    void release();

    static constexpr int WatchInterval = 200; // ms between looks for a hang-up

    QSerialPort *m_port = nullptr;
    QTimer *m_watch = nullptr;
    QString m_settings;
    QString m_held; // canonical path of the device while open
    int m_number = 0;
    int m_threshold = 0;
    qint32 m_rate = 9600;
    int m_parity = 0;
    int m_dataBits = 8;
    int m_stopBits = 1;
};
