// Latency and processor time of the control panel's windows against a pty whose master end a
// thread of its own reads: a click to the last byte of its frame, a reply to the flag it sets,
// the processor time that the tick waits use (a selection, "Find Modules", "Send"), and the
// opening of the configuration window; and the bus log full and open: clicks beside it, its
// memory, scrolling and filtering it.
//
//   bench_panel [repetitions]
//
// Prints "key value" lines (milliseconds or percent, each the median of the repetitions, of
// three times as many for clicks, of at most ten for "Send" and five for "Find Modules") and
// fails when a frame on the line is not the one expected.
#include "buslog/buslog.h"
#include "buslog/buslogmodel.h"
#include "buslog/buslogwindow.h"
#include "display/frames.h"
#include "link/commport.h"
#include "link/modini.h"
#include "shell/frmmain.h"
#include "shell/modvariables.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTableView>
#include <QtTest>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <thread>
#include <vector>

namespace {

double clockMs(clockid_t clock)
{
    timespec t {};
    clock_gettime(clock, &t);
    return double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6;
}

double nowMs()
{
    return clockMs(CLOCK_MONOTONIC);
}

[[noreturn]] void fail(const QString &why)
{
    std::fprintf(stderr, "bench_panel: %s\n", qPrintable(why));
    std::exit(1);
}

double median(std::vector<double> v)
{
    if (v.empty())
        return -1;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

void report(const char *key, const std::vector<double> &values)
{
    std::printf("%s %.4f\n", key, median(values));
    std::fflush(stdout);
}

// The module's end of the line. A thread blocks on the pty master and stamps every chunk as it
// arrives, so the time a byte reaches the line does not depend on the window's event loop.
// While answering is on, it answers SelectDevice with SelectReply after a delay, as a module
// on a slow line would.
class Line
{
public:
    ~Line()
    {
        if (m_reader.joinable()) {
            const char stop = 0;
            [[maybe_unused]] auto rc = ::write(m_stop[1], &stop, 1);
            m_reader.join();
        }
        for (int fd : {m_master, m_slave, m_stop[0], m_stop[1]})
            if (fd >= 0)
                ::close(fd);
        if (!m_link.isEmpty())
            QFile::remove(m_link);
    }

    void open(const QString &link)
    {
        char name[256] = {};
        if (::openpty(&m_master, &m_slave, name, nullptr, nullptr) != 0 || ::pipe(m_stop) != 0)
            fail(QStringLiteral("no pty"));
        termios raw {};
        tcgetattr(m_slave, &raw);
        cfmakeraw(&raw);
        tcsetattr(m_slave, TCSANOW, &raw);
        QDir().mkpath(QFileInfo(link).absolutePath());
        QFile::remove(link);
        if (!QFile::link(QString::fromLocal8Bit(name), link))
            fail(QStringLiteral("cannot link %1").arg(link));
        m_link = link;
        m_reader = std::thread([this] { read(); });
        pthread_getcpuclockid(m_reader.native_handle(), &m_readerClock);
    }

    int total()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return int(m_bytes.size());
    }
    QByteArray bytes(int from)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_bytes.mid(from);
    }
    // When the line had received `count` bytes in all; -1 when it had not within the timeout.
    double waitFor(int count, int timeoutMs)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        const bool came = m_arrived.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                             [&] { return m_bytes.size() >= count; });
        if (!came)
            return -1;
        for (const auto &[ms, total] : m_stamps)
            if (total >= count)
                return ms;
        return -1;
    }

    void answer(bool on, int delayMs = 0)
    {
        m_answerDelay = delayMs;
        m_answer = on;
    }
    double lastReplyWritten() const { return m_replyWritten; }
    double readerCpuMs() const { return clockMs(m_readerClock); }
    // The program's end of the line, for the bare button that writes to it directly.
    int slave() const { return m_slave; }

private:
    void read()
    {
        pollfd fds[2] = {{m_master, POLLIN, 0}, {m_stop[0], POLLIN, 0}};
        bool afterSelect = false;
        for (;;) {
            if (::poll(fds, 2, -1) < 0 || fds[1].revents)
                return;
            char chunk[512];
            const ssize_t n = ::read(m_master, chunk, sizeof chunk);
            if (n <= 0)
                return;
            const double at = nowMs();
            QByteArray reply;
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_bytes.append(chunk, int(n));
                m_stamps.push_back({at, int(m_bytes.size())});
            }
            m_arrived.notify_all();
            for (ssize_t i = 0; i < n; ++i) {
                const auto byte = quint8(chunk[i]);
                if (afterSelect && m_answer)
                    reply = QByteArray::fromHex("ee") + char(byte);
                afterSelect = byte == 0xEF;
            }
            if (!reply.isEmpty()) {
                std::this_thread::sleep_for(std::chrono::milliseconds(m_answerDelay.load()));
                m_replyWritten = nowMs();
                if (::write(m_master, reply.constData(), size_t(reply.size())) != reply.size())
                    return;
            }
        }
    }

    struct Stamp
    {
        double ms;
        int total;
    };

    int m_master = -1;
    int m_slave = -1; // held, so that the master never reads a hang-up between openings
    int m_stop[2] = {-1, -1};
    QString m_link;
    std::thread m_reader;
    clockid_t m_readerClock = CLOCK_THREAD_CPUTIME_ID;
    std::mutex m_mutex;
    std::condition_variable m_arrived;
    QByteArray m_bytes;
    std::vector<Stamp> m_stamps;
    std::atomic<bool> m_answer {false};
    std::atomic<int> m_answerDelay {0};
    std::atomic<double> m_replyWritten {-1};
};

template<typename T> T *child(QObject *parent, const char *name)
{
    T *found = parent->findChild<T *>(QLatin1String(name));
    if (!found)
        fail(QStringLiteral("no control %1").arg(QLatin1String(name)));
    return found;
}

void choose(QComboBox *list, const QString &text)
{
    list->setCurrentIndex(list->findText(text));
}

// Lets the windows paint and the port's timers run, so that each click starts from rest.
void settle(int ms = 30)
{
    QTest::qWait(ms);
}

struct Bench
{
    Line line;
    modVariables vars;
    std::unique_ptr<frmMain> main;
    double replySeen = -1;

    // Processor time of the program: the process less the thread that plays the module.
    double programCpuMs() const { return clockMs(CLOCK_PROCESS_CPUTIME_ID) - line.readerCpuMs(); }

    void click(QAbstractButton *button) { QTest::mouseClick(button, Qt::LeftButton); }

    // From the click to the last byte of the frame at the master, and from the button's
    // released() (the press and release repaint the button first; clicked() and its handler
    // follow) to that byte. The frame must be exactly `expect`, with nothing after it.
    struct Latency
    {
        double click;
        double handler;
    };
    Latency clickToLine(QAbstractButton *button, const QByteArray &expect)
    {
        settle();
        const int before = line.total();
        double released = -1;
        const auto stamp = QObject::connect(button, &QAbstractButton::released,
                                            [&released] { released = nowMs(); });
        const double start = nowMs();
        click(button);
        QObject::disconnect(stamp);
        const double last = line.waitFor(before + int(expect.size()), 2000);
        settle();
        const QByteArray got = line.bytes(before);
        if (last < 0 || released < 0 || got != expect)
            fail(QStringLiteral("%1 sent %2, not %3")
                     .arg(button->objectName(), QString::fromLatin1(got.toHex(' ')),
                          QString::fromLatin1(expect.toHex(' '))));
        return {last - start, last - released};
    }

    bool connected() { return main->MSComm1().isOpen(); }
    void connect()
    {
        if (!connected())
            click(child<QPushButton>(main.get(), "cmdConnect"));
        if (!connected())
            fail(QStringLiteral("the main window did not connect"));
    }
};

QWidget *configWindow()
{
    for (QWidget *w : QApplication::topLevelWidgets())
        if (w->objectName() == QLatin1String("frmCfg") && w->isVisible())
            return w;
    return nullptr;
}

// The delivered settings file grown to `lines` lines by a section of log entries placed
// between [Settings] and the sections that the configuration window reads, so that every one of
// its reads passes over them.
QString writeLargeSettings(const QString &delivered, const QString &path, int lines,
                           const QByteArray &key, const QByteArray &entry,
                           const QByteArray &comment)
{
    QFile in(delivered);
    if (!in.open(QIODevice::ReadOnly))
        fail(QStringLiteral("cannot read %1").arg(delivered));
    const QByteArray content = in.readAll();
    const int at = int(content.indexOf("[LCD]"));
    if (at < 0)
        fail(QStringLiteral("no [LCD] section in %1").arg(delivered));
    // The delivered lines, a blank line, the header and the entries.
    QByteArray filler = "[Log]\r\n";
    filler.reserve(qsizetype(lines) * (entry.size() + 10));
    for (int i = 1, n = int(content.count('\n')) + 2; n < lines; ++i, ++n)
        filler += i % 10 ? key + QByteArray::number(i) + entry : comment;
    QFile out(path);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate)
        || out.write(content.left(at) + filler + "\r\n" + content.mid(at)) < 0)
        fail(QStringLiteral("cannot write %1").arg(path));
    return path;
}

// The settings file beside this program, so that its ports/ is here too.
QString settingsPath()
{
    return AppFolder() + QStringLiteral("tessaline.ini");
}

void installSettings(const QString &from)
{
    QFile::remove(settingsPath());
    if (!QFile::copy(from, settingsPath()))
        fail(QStringLiteral("cannot copy %1").arg(from));
}

// The program's resident memory, in KiB.
double rssKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        fail(QStringLiteral("no /proc/self/status"));
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toDouble();
    }
    fail(QStringLiteral("no VmRSS"));
}

QWidget *logWindow()
{
    for (QWidget *w : QApplication::topLevelWidgets())
        if (w->objectName() == QLatin1String("BusLogWindow"))
            return w;
    fail(QStringLiteral("the bus log did not open"));
}

// The full log in its window: the memory it took above the idle program, a scroll step with its
// paint, and a text filter over every row.
void measureLog(QWidget *log, double idleKiB, int reps)
{
    std::printf("log_memory_mib %.4f\n", (rssKiB() - idleKiB) / 1024);
    auto *view = child<QTableView>(log, "tblLog");
    QScrollBar *bar = view->verticalScrollBar();
    std::vector<double> scroll;
    for (int i = 0; i < 3 * reps; ++i) {
        const double start = nowMs();
        bar->setValue(int(qint64(i) * 7919 % (bar->maximum() + 1)));
        view->viewport()->repaint();
        scroll.push_back(nowMs() - start);
    }
    view->scrollToBottom();
    report("log_scroll_ms", scroll);
    BusLogModel &model = qobject_cast<BusLogWindow *>(log)->model();
    std::vector<double> filtering;
    for (int i = 0; i < reps; ++i) {
        const double start = nowMs();
        model.setFilter(true, true, QStringLiteral("SelectReply"));
        filtering.push_back(nowMs() - start);
        model.setFilter(true, true, QString());
    }
    report("log_filter_ms", filtering);
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    const int reps = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
    // A click takes a few milliseconds and its latency rides on the X server's scheduling:
    // three times as many of them steady the median.
    const int clicks = 3 * reps;

    installSettings(QStringLiteral(TESSALINE_DIST_INI));
    Bench b;
    b.line.open(AppFolder() + QStringLiteral("ports/COM1"));

    // The toolkit's own share of a click: a bare button in a bare window that writes one byte
    // to the line itself. Its press and release repaint it, as they repaint every button.
    std::vector<double> bare;
    {
        QWidget window;
        QPushButton button(QStringLiteral("Cursor Home"), &window);
        QObject::connect(&button, &QPushButton::clicked,
                         [&b] { [[maybe_unused]] auto rc = ::write(b.line.slave(), "\x0b", 1); });
        window.show();
        if (!QTest::qWaitForWindowExposed(&window))
            fail(QStringLiteral("the bare window was not shown"));
        for (int i = 0; i < clicks; ++i)
            bare.push_back(b.clickToLine(&button, QByteArray::fromHex("0b")).click);
    }
    report("click_bare_ms", bare);

    b.main = std::make_unique<frmMain>(b.vars);
    frmMain *w = b.main.get();
    w->show();
    if (!QTest::qWaitForWindowExposed(w))
        fail(QStringLiteral("the main window was not shown"));
    choose(child<QComboBox>(w, "cboComm"), QStringLiteral("COM1"));
    choose(child<QComboBox>(w, "cboBaud"), QStringLiteral("9600"));
    b.connect();

    // The flag is looked at right after the window's own receive handler has run.
    QObject::connect(&w->MSComm1(), &CommPort::received, w, [&b] {
        if (b.vars.ReplyReceived && b.replySeen < 0)
            b.replySeen = nowMs();
    });

    // Selection: the module answers 22 ms after the frame, in the middle of the wait.
    auto *select = child<QPushButton>(w, "cmdSelect");
    choose(child<QComboBox>(w, "cboAddr"), QStringLiteral("100"));
    b.line.answer(true, 22);
    std::vector<double> reply, selectCpu, selectWall;
    for (int i = 0; i < reps; ++i) {
        settle();
        b.replySeen = -1;
        const int before = b.line.total();
        const double cpu = b.programCpuMs();
        const double start = nowMs();
        b.click(select);
        selectWall.push_back(nowMs() - start);
        selectCpu.push_back(b.programCpuMs() - cpu);
        if (b.line.bytes(before) != QByteArray::fromHex("ef64") || b.replySeen < 0
            || child<QLabel>(w, "StatusPanel1")->text() != QStringLiteral("Device 100 Connected"))
            fail(QStringLiteral("selection of 100 failed"));
        reply.push_back(b.replySeen - b.line.lastReplyWritten());
    }
    report("reply_ms", reply);

    // "Find Modules": 33 exchanges, every address answering, and the closing selection of 100;
    // the same measure as for one selection.
    QByteArray scanned;
    for (int a = 100; a <= 132; ++a)
        scanned += QByteArray("\xef", 1) + char(a);
    scanned += QByteArray::fromHex("ef64");
    std::vector<double> scanCpu, scanWall, scanShare;
    for (int i = 0; i < std::min(reps, 5); ++i) {
        settle();
        const int before = b.line.total();
        const double cpu = b.programCpuMs();
        const double start = nowMs();
        child<QAction>(w, "mnuFind")->trigger();
        const double wall = nowMs() - start;
        const double used = b.programCpuMs() - cpu;
        auto *dialog = w->findChild<QDialog *>(QStringLiteral("frmFind"));
        if (!dialog || b.line.bytes(before) != scanned
            || child<QLabel>(w, "StatusPanel1")->text() != QStringLiteral("Device 100 Connected"))
            fail(QStringLiteral("Find Modules sent %1")
                     .arg(QString::fromLatin1(b.line.bytes(before).toHex(' '))));
        dialog->close();
        scanWall.push_back(wall);
        scanCpu.push_back(used);
        scanShare.push_back(100 * used / wall);
    }
    b.line.answer(false);
    std::vector<double> selectShare;
    for (size_t i = 0; i < selectCpu.size(); ++i)
        selectShare.push_back(100 * selectCpu[i] / selectWall[i]);
    report("select_wall_ms", selectWall);
    report("select_cpu_ms", selectCpu);
    report("select_cpu_pct", selectShare);
    report("scan_wall_ms", scanWall);
    report("scan_cpu_ms", scanCpu);
    report("scan_cpu_pct", scanShare);

    // Command frames of 1 and 4 bytes, without the bus log and with its window open and full
    // (every row the longest frame: the most memory), in alternating blocks so that both meet
    // the machine alike.
    choose(child<QComboBox>(w, "cboRow"), QStringLiteral("2"));
    choose(child<QComboBox>(w, "cboColumn"), QStringLiteral("19"));
    const Protocol::Frame longest = Frames::UploadChars({});
    struct Clicks
    {
        std::vector<double> one, four, oneHandler, fourHandler;
    } without, logged;
    QWidget *log = nullptr;
    const double idleKiB = rssKiB();
    for (int block = 0; block < 4; ++block) {
        for (const bool withLog : {false, true}) {
            b.vars.busLog.clear();
            if (log && !withLog)
                log->hide();
            if (withLog) {
                for (int i = 0; i < BusLog::Capacity; ++i)
                    b.vars.busLog.sent(1, BusLog::Window::Main, {longest});
                if (!log) {
                    child<QAction>(w, "mnuBusLog")->trigger();
                    log = logWindow();
                    log->move(w->frameGeometry().right() + 8, 0);
                }
                log->show();
                if (!QTest::qWaitForWindowExposed(log))
                    fail(QStringLiteral("the bus log was not shown"));
                settle(200);
                if (block == 0)
                    measureLog(log, idleKiB, reps);
            }
            Clicks &c = withLog ? logged : without;
            for (int i = 0; i < std::max(1, clicks / 4); ++i) {
                const auto a
                    = b.clickToLine(child<QPushButton>(w, "cmdCtrl_0"), QByteArray::fromHex("0b"));
                const auto d = b.clickToLine(child<QPushButton>(w, "cmdCurPos"),
                                             QByteArray::fromHex("fe320213"));
                c.one.push_back(a.click);
                c.oneHandler.push_back(a.handler);
                c.four.push_back(d.click);
                c.fourHandler.push_back(d.handler);
            }
        }
    }
    log->hide();
    report("click1_ms", without.one);
    report("click1_handler_ms", without.oneHandler);
    report("click4_ms", without.four);
    report("click4_handler_ms", without.fourHandler);
    report("click1_log_ms", logged.one);
    report("click4_log_ms", logged.four);

    // The configuration window: first opening (the window is built), then reopenings.
    auto *configure = child<QAction>(w, "mnuCfg");
    auto open = [&] {
        b.connect();
        settle();
        const int before = b.line.total();
        const double start = nowMs();
        configure->trigger();
        const double took = nowMs() - start;
        QWidget *cfg = configWindow();
        if (!cfg)
            return -1.0;
        if (b.line.waitFor(before + 2, 2000) < 0 || b.line.bytes(before) != "\xef\x64")
            fail(QStringLiteral("the configuration window did not select module 100"));
        return took;
    };
    auto close = [&] {
        if (QWidget *cfg = configWindow())
            cfg->close();
        settle();
    };
    const double first = open();
    if (first < 0) {
        std::printf("config none\n");
        return 0;
    }
    std::printf("open_first_ms %.4f\n", first);
    QWidget *cfg = configWindow();

    // The upload of the character table: 254, 100 and the 64 bytes as loaded.
    std::vector<double> upload, uploadHandler;
    QByteArray table("\xfe\x64", 2);
    for (quint8 row : b.vars.CharTable)
        table += char(row);
    for (int i = 0; i < clicks; ++i) {
        const auto a = b.clickToLine(child<QPushButton>(cfg, "cmdSendBitmap"), table);
        upload.push_back(a.click);
        uploadHandler.push_back(a.handler);
    }
    report("click66_ms", upload);
    report("click66_handler_ms", uploadHandler);

    // "Send": eight texts, each followed by a 10-tick wait, then the start-up screen frame.
    std::vector<double> sendCpu, sendWall, sendShare;
    for (int i = 0; i < std::min(reps, 10); ++i) {
        settle();
        int expected = 2;
        for (int t = 0; t < 8; ++t) {
            const QString name = QStringLiteral("TxtPL_%1").arg(t);
            expected
                += 2 + std::max(16, int(child<QLineEdit>(cfg, qPrintable(name))->text().size()));
        }
        const int before = b.line.total();
        const double cpu = b.programCpuMs();
        const double start = nowMs();
        b.click(child<QPushButton>(cfg, "cmdSetPT"));
        const double wall = nowMs() - start;
        const double used = b.programCpuMs() - cpu;
        b.line.waitFor(before + expected, 2000);
        const QByteArray sent = b.line.bytes(before);
        if (sent.size() != expected || !sent.startsWith("\xfe\x65") || !sent.endsWith("\xfe\x10"))
            fail(QStringLiteral("\"Send\" wrote %1 bytes, not %2").arg(sent.size()).arg(expected));
        sendWall.push_back(wall);
        sendCpu.push_back(used);
        sendShare.push_back(100 * used / wall);
    }
    report("send_wall_ms", sendWall);
    report("send_cpu_ms", sendCpu);
    report("send_cpu_pct", sendShare);

    // Reopenings with the delivered settings file, then with a large one.
    std::vector<double> delivered, big;
    for (int i = 0; i < reps; ++i) {
        close();
        delivered.push_back(open());
    }
    report("open_ms", delivered);
    installSettings(writeLargeSettings(QStringLiteral(TESSALINE_DIST_INI),
                                       AppFolder() + QStringLiteral("large.ini"), 10000, "Entry",
                                       "=2024-05-17 08:12:44 module 100 selected, texts stored\r\n",
                                       "; a comment line between the entries\r\n"));
    for (int i = 0; i < reps; ++i) {
        close();
        big.push_back(open());
    }
    report("open_large_ms", big);

    // "Save Bitmap" of character 1, each time with one pixel more or less so that the file
    // changes, and the file checked after each; the window stays open.
    auto *save = child<QPushButton>(configWindow(), "cmdSaveBitmap");
    auto *pixel = child<QAbstractButton>(configWindow(), "bitmapr1_16");
    const int saves = std::min(reps, 10);
    auto saveOnce = [&] {
        close();
        open();
        std::vector<double> took;
        for (int i = 0; i < saves; ++i) {
            pixel->click();
            settle();
            const QString expected = QString::number(16 * ((i + 1) % 2));
            const double start = nowMs();
            save->click();
            took.push_back(nowMs() - start);
            if (readIniFile(settingsPath(), QStringLiteral("UDC"), QStringLiteral("UCHAR1R1"))
                != expected)
                fail(QStringLiteral("Save Bitmap did not write %1").arg(expected));
        }
        return took;
    };
    installSettings(QStringLiteral(TESSALINE_DIST_INI));
    report("save_ms", saveOnce());

    // A file of 60 MB in 2.5 million lines: fewer runs, each may take seconds.
    const QString huge = writeLargeSettings(
        QStringLiteral(TESSALINE_DIST_INI), AppFolder() + QStringLiteral("huge.ini"), 2500000, "E",
        "=module 100 on\r\n", "; comment between the entries\r\n");
    std::printf("huge_mb %.1f\n", double(QFileInfo(huge).size()) / 1e6);
    installSettings(huge);
    QFile::remove(huge);
    std::vector<double> hugeOpen;
    for (int i = 0; i < std::min(reps, 5); ++i) {
        close();
        hugeOpen.push_back(open());
    }
    report("open_huge_ms", hugeOpen);
    report("save_huge_ms", saveOnce());

    installSettings(QStringLiteral(TESSALINE_DIST_INI));
    close();
    return 0;
}
