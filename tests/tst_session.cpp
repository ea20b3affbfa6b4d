// A long random session on both windows against virtual modules on a pty, with a fixed seed:
// clicks on every button, typing into every list and text box, connecting and disconnecting,
// opening and closing the configuration window, drawing, saving, loading and uploading
// characters, with a select wait now and then interrupted by a click. Afterwards: every byte
// that reached the line belongs to a frame of the wire protocol, every upload carried the
// character table, the bus log named every byte that went out, the table always held the file's
// rows with the saves since, and the settings file parses and is the delivered one with every
// "UCHAR" key as the last save of its position wrote it.
#include "cfgsupport.h"
#include "framewalker.h"
#include "link/commport.h"
#include "shell/frmmain.h"
#include "shell/modvariables.h"
#include "sim/lcdbus.h"
#include "sim/simport.h"

#include <QAction>
#include <QLabel>
#include <QRandomGenerator>
#include <QSettings>
#include <QSignalSpy>

using namespace TestSupport;
using namespace CfgSupport;
using namespace Qt::StringLiterals;

namespace {

constexpr int Actions = 8000;
constexpr quint32 Seed = 20261206;

// What the operator may type: ASCII, Latin-1 and Windows-1252 letters, the bytes that open
// frames (234, 239, 254), characters the code page lacks, one outside the 16-bit range, and
// the control keys (last).
const QStringList Typed
    = u"A|z| |~|0|\u00e9|\u00ff|\u00ea|\u00ef|\u00fe|\u20ac|\u2026|\u0100|\u0436|"
      "\U0001F600|\r|\b|\x1b|\x7f|\t"_s.split(u'|');
const QStringList Texts = u"Tessaline LCD 20x4||Caf\u00e9 \u20ac 5|Exactly sixteen!|Twenty "
                          "characters...|Longer than twenty characters|  blanks  |8"_s.split(u'|');

QString traceOf(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toHex(' ').toUpper());
}

// The offscreen platform says, at every resize of a fixed-size window, what it cannot do.
QtMessageHandler qtHandler = nullptr;
void dropPlatformNotes(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (!text.startsWith(QLatin1String("This plugin does not support")))
        qtHandler(type, context, text);
}

} // namespace

class tst_session : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { qtHandler = qInstallMessageHandler(dropPlatformNotes); }
    void randomSession();

private:
    template<typename T = QWidget> T *main(const char *name) { return child<T>(w.get(), name); }
    int pick(int n) { return int(rng.bounded(n)); }
    bool chance(int percent) { return pick(100) < percent; }
    bool cfgOpen() const { return cfgWin && cfgWin->isVisible(); }
    void click(QWidget *parent, const QString &name)
    {
        QTest::mouseClick(child<QAbstractButton>(parent, name), Qt::LeftButton);
    }
    void settle();
    void chooseRandomly(QComboBox *list, const QStringList &junk);
    void typeKey(QWidget *box, const QString &text);
    void mainAction(int what);
    void cfgAction();

    QRandomGenerator rng {Seed};
    LcdBus bus {{100, 105}};
    SimPort pty {&bus};
    FrameWalker walker;
    QByteArray stream; // every byte the modules read, in order
    modVariables vars;
    std::unique_ptr<frmMain> w;
    frmCfg *cfgWin = nullptr;
    std::unique_ptr<MessageBoxCatcher> boxes;
    Rows expected {}; // what the settings file must hold
    QList<QByteArray> uploads; // the character table at each "Set Bitmap to LCD"
};

// The modules read what the last action wrote; a frame that only a pause can end (a typed 239
// or 254, a stored text, 254 103) gets it before the next action, as a person's pace gives it.
void tst_session::settle()
{
    QCoreApplication::processEvents();
    if (walker.inFrame())
        QVERIFY2(QSignalSpy(&pty, &SimPort::paused).wait(2000), "the line never went quiet");
    QVERIFY2(!walker.inFrame(), qPrintable(traceOf(walker.pending())));
}

void tst_session::chooseRandomly(QComboBox *list, const QStringList &junk)
{
    if (chance(80) && list->count() > 0)
        list->setCurrentIndex(pick(list->count()));
    else if (chance(50))
        choose(list, junk.at(pick(junk.size())));
    else {
        list->lineEdit()->selectAll();
        QTest::keyClicks(list->lineEdit(), junk.at(pick(junk.size())));
    }
}

void tst_session::typeKey(QWidget *box, const QString &text)
{
    const Qt::Key key = text == "\r" ? Qt::Key_Return
        : text == "\b"               ? Qt::Key_Backspace
        : text == "\x1b"             ? Qt::Key_Escape
        : text == "\t"               ? Qt::Key_Tab
                                     : Qt::Key_A;
    QTest::sendKeyEvent(QTest::Click, box, key, text, Qt::NoModifier);
}

// One action on the main window: connecting (0..4), selecting (7..11), a command (12..36), a
// list (37..44), a key (45..54).
void tst_session::mainAction(int what)
{
    static const char *const commands[]
        = {"cmdCtrl_0", "cmdCtrl_1",  "cmdCtrl_2", "cmdSetCursor",   "cmdCurPos",      "cmdClrRow",
           "cmdClrCol", "cmdBLFlash", "cmdLoadCC", "cmdBackLight_0", "cmdBackLight_1", "cmdPT",
           "cmdOut_0",  "cmdOut_1",   "cmdout1",   "cmdCC_0",        "cmdCC_3",        "cmdCC_7"};
    static const char *const lists[]
        = {"cboCursor", "cboRow", "cboColumn", "cboPT", "cboRow1", "cboOutput", "cboSta"};
    if (what < 5) {
        if (main<QAbstractButton>("cmdConnect")->text() == QLatin1String("Connect")) {
            if (chance(85))
                main<QComboBox>("cboComm")->setCurrentIndex(0);
            else
                chooseRandomly(main<QComboBox>("cboComm"), {"", "COM", "com1", "COM21", "1"});
            if (chance(50))
                chooseRandomly(main<QComboBox>("cboBaud"), {"", "fast", "96OO", "COM1"});
        } else if (chance(50)) {
            return;
        }
        click(w.get(), "cmdConnect");
    } else if (what < 12) {
        if (chance(60)) // 100 and 105, where the modules are
            main<QComboBox>("cboAddr")->setCurrentIndex(chance(50) ? 0 : 5);
        else
            chooseRandomly(main<QComboBox>("cboAddr"), {"", "99", "133", "abc"});
        // Now and then a command click comes in the middle of the wait, which lasts 150 ms.
        if (chance(20) && w->MSComm1().isOpen() && main("Frame2")->isEnabled())
            QTimer::singleShot(pick(100), this, [this] { mainAction(12); });
        click(w.get(), chance(75) ? "cmdSelect" : "cmdDeselect");
    } else if (what < 37) {
        click(w.get(), commands[pick(int(std::size(commands)))]);
    } else if (what < 45) {
        chooseRandomly(main<QComboBox>(lists[pick(int(std::size(lists)))]),
                       {"", "-1", "4", "20", "x", "Hidden ", "ON?"});
    } else {
        typeKey(main("txtASCIIInput"), Typed.at(pick(Typed.size())));
    }
}

// One action on the configuration window: a list, a text box, a pixel, or a button.
void tst_session::cfgAction()
{
    static const QStringList buttons
        = {"optBaud48",     "optBaud96",     "Check1",        "cmdSet",     "cmdClr",
           "cmdLoadBitmap", "cmdSaveBitmap", "cmdSendBitmap", "cmdSetBaud", "cmdSetUID",
           "cmdSetIO",      "cmdSave",       "cmdSetPT",      "close"};
    const int kind = pick(8);
    if (kind == 0) {
        const QList<QComboBox *> lists = cfgWin->findChildren<QComboBox *>();
        return chooseRandomly(lists[pick(int(lists.size()))],
                              {"", "0", "9", "x", "100", "133", "output", "IN"});
    }
    if (kind == 1) {
        auto *box = child<QLineEdit>(cfgWin, u"TxtPL_%1"_s.arg(pick(8)));
        if (chance(50))
            box->clear();
        for (int n = pick(8); n > 0; --n)
            typeKey(box, Typed.at(pick(Typed.size() - 5))); // no control keys
        return;
    }
    if (kind == 2)
        return click(cfgWin, u"bitmapr%1_%2"_s.arg(1 + pick(8)).arg(1 << pick(5)));
    const QString name = buttons.at(pick(int(buttons.size())));
    if (name == "close" || (name == "cmdSetPT" && !chance(15))) { // "Send" takes a second
        if (name == "close" && chance(20))
            cfgWin->close();
        return;
    }
    if (name == "cmdSaveBitmap") { // what the panel shows becomes the position's rows
        auto *list = child<QComboBox>(cfgWin, "cboUCH");
        for (int r = 0, k = list->findText(list->currentText()); k >= 0 && r < 8; ++r)
            expected[size_t(k * 8 + r)]
                = child<QLabel>(cfgWin, u"lblrow%1"_s.arg(r + 1))->text().toInt(nullptr, 0);
    }
    if (name == "cmdSendBitmap" && cfgWin->MSComm1().isOpen())
        uploads << QByteArray(reinterpret_cast<const char *>(vars.CharTable.data()), 64);
    click(cfgWin, name);
}

void tst_session::randomSession()
{
    // Row bytes across the whole range a file may hold.
    for (int &v : expected)
        v = pick(256);
    const QByteArray delivered = iniFile(Texts, expected, 1, "9600");
    writeSettings(delivered);
    // Ports 2 to 20 name no device, so that no real serial port is ever opened.
    QDir().mkpath(SettingsFolder() + "ports");
    for (int n = 2; n <= 20; ++n) {
        const QString link = SettingsFolder() + u"ports/COM%1"_s.arg(n);
        QFile::remove(link);
        QVERIFY(QFile::link(SettingsFolder() + "ports/none", link));
    }
    QVERIFY(pty.open(1, QString(), SimPort::Existing::Replace));
    connect(&pty, &SimPort::chunkReceived, this, [this](const QByteArray &chunk) {
        stream += chunk;
        walker.push(chunk);
    });
    connect(&pty, &SimPort::paused, this, [this] { walker.pause(); });
    boxes = std::make_unique<MessageBoxCatcher>();
    w = std::make_unique<frmMain>(vars);
    bool loaded = false; // the character table has been loaded from the file

    int done = 0;
    for (; done < Actions && !QTest::currentTestFailed(); ++done) {
        settle();
        // An operator mostly works connected, with a module selected.
        int what = pick(100);
        if (!w->MSComm1().isOpen() && !cfgOpen() && chance(30))
            what = 0;
        else if (w->MSComm1().isOpen() && !main("Frame3")->isEnabled() && chance(30))
            what = 7;
        if (what >= 5 && what < 7) {
            if (!main<QAction>("mnuCfg")->isEnabled())
                continue;
            main<QAction>("mnuCfg")->trigger();
            cfgWin = cfgWindow();
            QVERIFY(cfgOpen() && cfgWin->MSComm1().isOpen() && !w->MSComm1().isOpen());
            loaded = true;
        } else if (what < 55) {
            mainAction(what);
        } else if (cfgOpen()) {
            cfgAction();
        }
        settle();
        for (int i = 0; loaded && i < 64; ++i)
            QCOMPARE(int(vars.CharTable[size_t(i)]), expected[size_t(i)]);
    }
    QVERIFY2(!QTest::currentTestFailed(), qPrintable(u"at action %1"_s.arg(done)));
    if (cfgOpen())
        cfgWin->close();
    settle();

    // Everything on the line was read whole, and is frames of the protocol.
    QCOMPARE(stream, pty.received());
    QList<QByteArray> uploaded;
    for (const FrameWalker::Frame &f : walker.frames()) {
        if (f.bad())
            QFAIL(qPrintable(u"byte %1: %2 (%3)"_s.arg(f.start).arg(f.why, traceOf(f.bytes))));
        if (f.id == Protocol::FrameId::UploadChars)
            uploaded << f.bytes.mid(2);
    }
    QCOMPARE(uploaded, uploads);
    QVERIFY(!uploads.isEmpty());

    // The bus log holds every byte that went out, in order, each frame under the name the
    // line reads it by (typed characters share rows; a typed 234, 239 or 254 reads otherwise).
    QByteArray logged;
    QList<std::pair<Protocol::FrameId, QByteArray>> named;
    for (quint64 n = vars.busLog.first(); n < vars.busLog.end(); ++n) {
        const BusLog::Row &row = vars.busLog.row(n);
        if (row.direction == BusLog::Direction::In)
            continue;
        logged += row.bytes;
        if (row.id != Protocol::FrameId::TextChar)
            named.append({row.id, row.bytes});
        for (char c : row.id == Protocol::FrameId::TextChar ? row.bytes : QByteArray())
            named.append({row.id, QByteArray(1, c)});
    }
    QCOMPARE(vars.busLog.dropped(), 0u);
    QCOMPARE(logged, stream);
    QCOMPARE(named.size(), walker.frames().size());
    for (qsizetype i = 0; i < named.size(); ++i) {
        const FrameWalker::Frame &f = walker.frames().at(i);
        QCOMPARE(named[i].second.toHex(), f.bytes.toHex());
        if (named[i].first != Protocol::FrameId::TextChar || f.bytes.size() != 1)
            QVERIFY2(named[i].first == f.id, qPrintable(traceOf(f.bytes)));
        else
            QVERIFY(f.id == Protocol::FrameId::TextChar
                    || QByteArray("\xea\xef\xfe").contains(f.bytes[0]));
    }

    // The settings file: the delivered one with the saved rows, read alike by another reader.
    QVERIFY(readSettings() != delivered); // the session did save
    QCOMPARE(readSettings(), iniFile(Texts, expected, 1, "9600"));
    QSettings ini(IniPath(), QSettings::IniFormat);
    QCOMPARE(ini.status(), QSettings::NoError);
    for (int i = 0; i < 64; ++i)
        QCOMPARE(ini.value("UDC/" + charKey(i / 8 + 1, i % 8 + 1)).toInt(), expected[size_t(i)]);

    w.reset(); // and the configuration window with it
    for (int n = 2; n <= 20; ++n)
        QFile::remove(SettingsFolder() + u"ports/COM%1"_s.arg(n));
    removeSettings();
}

QTEST_MAIN(tst_session)
#include "tst_session.moc"
