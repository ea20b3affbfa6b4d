// A long random session on both windows against virtual modules on a pty, with a fixed seed:
// clicks on every button, typing into every list and text box, picking list items, connecting
// and disconnecting, opening and closing the configuration window, drawing, saving and loading
// characters, with a select wait now and then interrupted by a click. Checked as it goes and at
// the end:
// - every byte that reached the line belongs to a frame of the wire protocol,
// - the main window's trace shows exactly what its commands put on the line, and the
//   configuration window's frames leave it alone; every upload carries the character table,
// - connecting succeeds exactly when a usable port and rate are chosen; the only message is
//   the one for a port that cannot be opened,
// - every "UCHAR" key holds what the last save of its position wrote, the rest of the settings
//   file is as delivered, and each opening of the configuration window loads those values.
#include "config/frmcfg.h"
#include "framewalker.h"
#include "link/commport.h"
#include "shell/frmmain.h"
#include "shell/modvariables.h"
#include "sim/lcdbus.h"
#include "sim/simport.h"
#include "testsupport.h"

#include <QAbstractButton>
#include <QAction>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QRandomGenerator>
#include <QSettings>
#include <QSignalSpy>

#include <array>
#include <functional>

using namespace TestSupport;

namespace {

constexpr int Actions = 8000;
constexpr quint32 Seed = 20261206;

// Texts the operator may type: ASCII, Latin-1 and Windows-1252 letters, the bytes that open
// frames (234, 239, 254), characters the code page lacks, one outside the 16-bit range, and
// the control keys.
const QStringList Typed = {
    "A",          "z",      " ",      "~",      "0",      "\u00e9", "\u00ff",
    "\u00ea",     "\u00ef", "\u00fe", "\u20ac", "\u2026", "\u0100", "\u0436",
    "\U0001F600", "\r",     "\b",     "\x1b",   "\x7f",   "\t",
};

// The settings file as delivered, with these row bytes.
QByteArray settingsFile(const std::array<int, 64> &rows)
{
    QByteArray file
        = "; delivered\r\n[Settings]\r\nCommPort=1\r\nSetting=9600,n,8,1\r\n\r\n[LCD]\r\n"
          "UID=100\r\nPT1=Tessaline LCD 20x4\r\nPT2=\r\nPT3=Caf\xe9 \x80 5\r\n"
          "PT4=Exactly sixteen!\r\nPT5=Twenty characters...\r\nPT6=Longer than twenty "
          "characters\r\nPT7=  blanks  \r\nPT8=8\r\n\r\n[UDC]\r\n";
    for (int k = 1; k <= 8; ++k) {
        file += "; character " + QByteArray::number(k) + "\r\n";
        for (int r = 1; r <= 8; ++r)
            file += "UCHAR" + QByteArray::number(k) + 'R' + QByteArray::number(r) + '='
                + QByteArray::number(rows[size_t((k - 1) * 8 + r - 1)]) + "\r\n";
    }
    return file;
}

QString traceOf(const QByteArray &bytes)
{
    return bytes.isEmpty() ? QString() : QString::fromLatin1(bytes.toHex(' ').toUpper() + ' ');
}

} // namespace

class tst_session : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanup();
    void randomSession();
    void textsOutsideSixteenBits();

private:
    template<typename T = QWidget> T *main(const char *name) { return child<T>(w.get(), name); }
    template<typename T = QWidget> T *cfg(const QString &name) { return child<T>(cfgWin, name); }
    int pick(int n) { return int(rng.bounded(n)); }
    bool chance(int percent) { return pick(100) < percent; }
    void settle();
    void chooseRandomly(QComboBox *list, const QStringList &junk);
    void typeKey(QWidget *box, const QString &text);
    bool cfgOpen() const { return cfgWin && cfgWin->isVisible(); }

    void connectOrDisconnect();
    void configure();
    void selectOrDeselect();
    void mainCommand();
    void mainLists();
    void typeMain();
    void cfgAction();
    void checkTable();

    QRandomGenerator rng {Seed};
    std::unique_ptr<LcdBus> bus;
    std::unique_ptr<SimPort> pty;
    std::unique_ptr<QSignalSpy> pauses;
    FrameWalker walker;
    QByteArray stream; // every byte the modules read, in order
    std::unique_ptr<modVariables> vars;
    std::unique_ptr<frmMain> w;
    frmCfg *cfgWin = nullptr;
    std::unique_ptr<MessageBoxCatcher> boxes;
    std::array<int, 64> expected {}; // what the settings file must hold
    bool loaded = false; // CharTable has been loaded from the file
    QList<QByteArray> uploads; // the character table at each "Set Bitmap to LCD"
    int done = 0;
};

QtMessageHandler qtHandler = nullptr;

// The offscreen platform says, at every resize of a fixed-size window, what it cannot do.
void dropPlatformNotes(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (!text.startsWith(QLatin1String("This plugin does not support")))
        qtHandler(type, context, text);
}

void tst_session::initTestCase()
{
    qtHandler = qInstallMessageHandler(dropPlatformNotes);
}

void tst_session::cleanup()
{
    if (cfgWin)
        cfgWin->close();
    w.reset(); // and the configuration window with it
    cfgWin = nullptr;
    boxes.reset();
    pauses.reset();
    pty.reset();
    bus.reset();
    for (int n = 2; n <= 20; ++n)
        QFile::remove(AppFolder() + QStringLiteral("ports/COM%1").arg(n));
    removeSettings();
}

// The modules read what the last action wrote; a frame that only a pause can end (a typed 239
// or 254, a stored text, 254 103) gets it before the next action, as a person's pace gives it.
void tst_session::settle()
{
    QCoreApplication::processEvents();
    if (walker.inFrame())
        QVERIFY2(pauses->wait(2000), "the line never went quiet");
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

void tst_session::connectOrDisconnect()
{
    auto *button = main<QAbstractButton>("cmdConnect");
    if (button->text() == QLatin1String("Disconnect")) {
        if (chance(50))
            return;
        button->click();
        QCOMPARE(button->text(), QStringLiteral("Connect"));
        return;
    }
    auto *comm = main<QComboBox>("cboComm");
    auto *baud = main<QComboBox>("cboBaud");
    if (chance(85))
        comm->setCurrentIndex(0);
    else
        chooseRandomly(comm, {"", "COM", "com1", "COM21", "1"});
    if (chance(50))
        chooseRandomly(baud, {"", "fast", "96OO", "COM1"});
    const bool usable = comm->currentText() == QLatin1String("COM1")
        && (baud->currentText() == QLatin1String("4800")
            || baud->currentText() == QLatin1String("9600"))
        && !(cfgWin && cfgWin->MSComm1().isOpen());
    const qsizetype messages = boxes->texts.size();
    QTest::mouseClick(button, Qt::LeftButton);
    QCOMPARE(button->text(), usable ? QStringLiteral("Disconnect") : QStringLiteral("Connect"));
    QCOMPARE(boxes->texts.size(), messages + (usable ? 0 : 1));
}

void tst_session::configure()
{
    auto *menu = main<QAction>("mnuCfg");
    if (!menu->isEnabled())
        return;
    const qsizetype before = stream.size();
    menu->trigger();
    cfgWin = nullptr;
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (auto *found = qobject_cast<frmCfg *>(widget))
            cfgWin = found;
    }
    QVERIFY(cfgOpen());
    QVERIFY(cfgWin->MSComm1().isOpen());
    QVERIFY(!w->MSComm1().isOpen());
    loaded = true;
    checkTable();
    settle();
    QCOMPARE(stream.mid(before), QByteArray::fromHex("ef64"));
}

void tst_session::selectOrDeselect()
{
    auto *addr = main<QComboBox>("cboAddr");
    if (chance(60))
        addr->setCurrentIndex(chance(50) ? 0 : 5); // 100 and 105, where the modules are
    else
        chooseRandomly(addr, {"", "99", "133", "abc"});
    const bool selecting = chance(75);
    const int index = addr->findText(addr->currentText());
    const quint8 address = quint8(index + 100);
    // Now and then a command click comes in the middle of the wait, which lasts 150 ms.
    if (chance(20) && w->MSComm1().isOpen() && main("Frame2")->isEnabled())
        QTimer::singleShot(pick(100), this, [this] { mainCommand(); });
    QTest::mouseClick(main<QAbstractButton>(selecting ? "cmdSelect" : "cmdDeselect"),
                      Qt::LeftButton);
    if (!w->MSComm1().isOpen() || !main("Frame2")->isEnabled())
        return;
    const QString status = main<QLabel>("StatusPanel1")->text();
    if (selecting && !bus->moduleByAddress(address))
        QCOMPARE(status, QStringLiteral("Device Not Found"));
    if (selecting && status != QLatin1String("Device Not Found"))
        QCOMPARE(status, QStringLiteral("Device %1 Connected").arg(addr->currentText()));
    if (!selecting)
        QVERIFY2(status == "Disconnected" || status == "No Response", qPrintable(status));
}

void tst_session::mainCommand()
{
    static const char *const buttons[]
        = {"cmdCtrl_0", "cmdCtrl_1",  "cmdCtrl_2", "cmdSetCursor",   "cmdCurPos",      "cmdClrRow",
           "cmdClrCol", "cmdBLFlash", "cmdLoadCC", "cmdBackLight_0", "cmdBackLight_1", "cmdPT",
           "cmdOut_0",  "cmdOut_1",   "cmdout1",   "cmdCC_0",        "cmdCC_3",        "cmdCC_7"};
    QTest::mouseClick(main<QAbstractButton>(buttons[pick(int(std::size(buttons)))]),
                      Qt::LeftButton);
}

void tst_session::mainLists()
{
    static const char *const lists[]
        = {"cboCursor", "cboRow", "cboColumn", "cboPT", "cboRow1", "cboOutput", "cboSta"};
    chooseRandomly(main<QComboBox>(lists[pick(int(std::size(lists)))]),
                   {"", "-1", "4", "20", "x", "Hidden ", "ON?"});
}

void tst_session::typeMain()
{
    typeKey(main("txtASCIIInput"), Typed.at(pick(Typed.size())));
}

// One action on the configuration window.
void tst_session::cfgAction()
{
    const auto button = [this](const QString &name) {
        QTest::mouseClick(cfg<QAbstractButton>(name), Qt::LeftButton);
    };
    switch (pick(14)) {
    case 0:
        button(chance(50) ? "optBaud48" : "optBaud96");
        break;
    case 1:
        chooseRandomly(cfg<QComboBox>("cboUID"), {"", "100", "133", "x"});
        break;
    case 2:
        chooseRandomly(cfg<QComboBox>(QStringLiteral("cboIO_%1").arg(pick(8))),
                       {"", "output", "IN"});
        break;
    case 3: {
        auto *box = cfg<QLineEdit>(QStringLiteral("TxtPL_%1").arg(pick(8)));
        if (chance(50))
            box->clear();
        for (int n = pick(8); n > 0; --n)
            typeKey(box, Typed.at(pick(Typed.size() - 5))); // no control keys
        break;
    }
    case 4:
        button("Check1");
        break;
    case 5:
        button(QStringLiteral("bitmapr%1_%2").arg(1 + pick(8)).arg(1 << pick(5)));
        break;
    case 6:
        button(chance(50) ? "cmdSet" : "cmdClr");
        break;
    case 7:
        chooseRandomly(cfg<QComboBox>("cboUCH"), {"", "0", "9", "x"});
        break;
    case 8: { // "Load Bitmap": the character as the table, and so the file, has it
        button("cmdLoadBitmap");
        const int position = cfg<QComboBox>("cboUCH")->findText(
            cfg<QComboBox>("cboUCH")->currentText(), Qt::MatchExactly | Qt::MatchCaseSensitive);
        for (int r = 1; r <= 8; ++r) {
            const int shown = position < 0 ? 0 : expected[size_t(position * 8 + r - 1)] & 31;
            QCOMPARE(cfg<QLabel>(QStringLiteral("lblrow%1").arg(r))->text(),
                     "0x" + QString::number(shown, 16).rightJustified(2, '0').toUpper());
        }
        break;
    }
    case 9: { // "Save Bitmap": what the panel shows becomes the position's rows
        const int position = cfg<QComboBox>("cboUCH")->findText(
            cfg<QComboBox>("cboUCH")->currentText(), Qt::MatchExactly | Qt::MatchCaseSensitive);
        std::array<int, 8> rows {};
        for (int r = 1; r <= 8; ++r) {
            bool ok = false;
            rows[size_t(r - 1)]
                = cfg<QLabel>(QStringLiteral("lblrow%1").arg(r))->text().mid(2).toInt(&ok, 16);
            QVERIFY(ok);
        }
        button("cmdSaveBitmap");
        if (position >= 0) {
            for (int r = 0; r < 8; ++r)
                expected[size_t(position * 8 + r)] = rows[size_t(r)];
        }
        break;
    }
    case 10:
        if (cfgWin->MSComm1().isOpen()) {
            QByteArray table;
            for (int v : expected)
                table.append(char(v));
            uploads << table;
        }
        button("cmdSendBitmap");
        break;
    case 11: {
        static const char *const sends[] = {"cmdSetBaud", "cmdSetUID", "cmdSetIO", "cmdSave"};
        button(sends[pick(4)]);
        break;
    }
    case 12:
        if (chance(15)) // eight texts with a wait after each: a second and more
            button("cmdSetPT");
        break;
    case 13:
        if (chance(20)) {
            cfgWin->close();
            QVERIFY(!cfgWin->MSComm1().isOpen());
        }
        break;
    }
}

// Once loaded, the table is the file's rows with the saves since.
void tst_session::checkTable()
{
    if (!loaded)
        return;
    for (int i = 0; i < 64; ++i)
        QCOMPARE(int(vars->CharTable[size_t(i)]), expected[size_t(i)]);
}

void tst_session::randomSession()
{
    // Row bytes across the whole range a file may hold.
    for (int &v : expected)
        v = pick(256);
    const std::array<int, 64> delivered = expected;
    writeSettings(settingsFile(expected));

    // Ports 2 to 20 name no device, so that no real serial port is ever opened.
    QDir().mkpath(AppFolder() + "ports");
    for (int n = 2; n <= 20; ++n) {
        const QString link = AppFolder() + QStringLiteral("ports/COM%1").arg(n);
        QFile::remove(link);
        QVERIFY(QFile::link(AppFolder() + "ports/none", link));
    }
    bus = std::make_unique<LcdBus>(QList<quint8> {100, 105});
    pty = std::make_unique<SimPort>(bus.get());
    QVERIFY(pty->open(1, QString(), SimPort::Existing::Replace));
    connect(pty.get(), &SimPort::chunkReceived, this, [this](const QByteArray &chunk) {
        stream += chunk;
        walker.push(chunk);
    });
    connect(pty.get(), &SimPort::paused, this, [this] { walker.pause(); });
    pauses = std::make_unique<QSignalSpy>(pty.get(), &SimPort::paused);

    boxes = std::make_unique<MessageBoxCatcher>();
    vars = std::make_unique<modVariables>();
    w = std::make_unique<frmMain>(*vars);
    auto *txTrace = main<QLabel>("lblTxData");

    for (done = 0; done < Actions; ++done) {
        settle();
        const qsizetype before = stream.size();
        const QString traceBefore = txTrace->text();
        // An operator mostly works connected, with a module selected.
        int what = pick(100);
        if (!w->MSComm1().isOpen() && !cfgOpen() && chance(30))
            what = 0;
        else if (w->MSComm1().isOpen() && !main("Frame3")->isEnabled() && chance(30))
            what = 7;
        bool mainFrames = false;
        if (what < 5) {
            connectOrDisconnect();
        } else if (what < 7) {
            configure();
        } else if (what < 12) {
            selectOrDeselect();
        } else if (what < 37) {
            mainCommand();
            mainFrames = true;
        } else if (what < 45) {
            mainLists();
        } else if (what < 55) {
            typeMain();
            mainFrames = true;
        } else if (cfgOpen()) {
            cfgAction();
        }
        if (QTest::currentTestFailed())
            break;
        settle();
        checkTable();
        if (QTest::currentTestFailed())
            break;
        const QByteArray sent = stream.mid(before);
        if (mainFrames && !sent.isEmpty())
            QCOMPARE(txTrace->text(), traceOf(sent));
        else if (what >= 55 || mainFrames)
            QCOMPARE(txTrace->text(), traceBefore); // nothing of the main window went out
    }
    QVERIFY2(!QTest::currentTestFailed(), qPrintable(QStringLiteral("action %1").arg(done)));
    qInfo("%d actions, %lld bytes on the line in %lld frames, %lld messages", done,
          qlonglong(stream.size()), qlonglong(walker.frames().size()),
          qlonglong(boxes->texts.size()));

    // Everything on the line was read whole, and is frames of the protocol.
    if (cfgOpen())
        cfgWin->close();
    settle();
    QCOMPARE(stream, pty->received());
    if (const FrameWalker::Frame *bad = walker.firstBad())
        QFAIL(qPrintable(
            QStringLiteral("byte %1: %2 (%3)").arg(bad->start).arg(bad->why, traceOf(bad->bytes))));
    QList<QByteArray> uploaded;
    for (const FrameWalker::Frame &f : walker.frames()) {
        if (f.kind == FrameWalker::Upload)
            uploaded << f.bytes.mid(2);
    }
    QCOMPARE(uploaded, uploads);
    for (const QString &text : boxes->texts)
        QCOMPARE(text, QStringLiteral("SELECTED PORT NOT AVAILABLE!"));

    // The settings file: the delivered one with the saved rows, read alike by another reader.
    QFile file(IniPath());
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), settingsFile(expected));
    QSettings ini(IniPath(), QSettings::IniFormat);
    QCOMPARE(ini.status(), QSettings::NoError);
    int changed = 0;
    for (int i = 0; i < 64; ++i) {
        const QString key = QStringLiteral("UCHAR%1R%2").arg(i / 8 + 1).arg(i % 8 + 1);
        QCOMPARE(ini.value("UDC/" + key).toString(), QString::number(expected[size_t(i)]));
        QCOMPARE(ReadIniValue("UDC", key), QString::number(expected[size_t(i)]));
        changed += expected[size_t(i)] != delivered[size_t(i)];
    }
    qInfo("%d of 64 row bytes changed by saves, %lld uploads", changed, qlonglong(uploads.size()));
    QVERIFY(changed > 0); // the session did save
}

// A stored text holding characters outside the 16-bit range, each one place of the line but
// two of its box, still goes out as at least 16 bytes.
void tst_session::textsOutsideSixteenBits()
{
    std::array<int, 64> rows {};
    writeSettings(settingsFile(rows));
    bus = std::make_unique<LcdBus>(QList<quint8> {100});
    pty = std::make_unique<SimPort>(bus.get());
    QVERIFY(pty->open(1, QString(), SimPort::Existing::Replace));
    vars = std::make_unique<modVariables>();
    w = std::make_unique<frmMain>(*vars);
    main<QComboBox>("cboComm")->setCurrentIndex(0);
    main<QAbstractButton>("cmdConnect")->click();
    main<QAction>("mnuCfg")->trigger();
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (auto *found = qobject_cast<frmCfg *>(widget))
            cfgWin = found;
    }
    QVERIFY(cfgWin && cfgWin->MSComm1().isOpen());
    QString smiles; // eight of them: 16 places, 8 bytes
    for (int i = 0; i < 8; ++i)
        smiles += QStringLiteral("\U0001F600");
    const QString texts[] = {smiles, "\U0001F600x", QString(10, QChar('a')) + "\U0001F600"};
    for (int i = 0; i < 8; ++i)
        cfg<QLineEdit>(QStringLiteral("TxtPL_%1").arg(i))->setText(i < 3 ? texts[i] : QString());
    QTRY_COMPARE(pty->received(), QByteArray::fromHex("ef64"));
    pty->clearReceived();
    QTest::mouseClick(cfg<QAbstractButton>("cmdSetPT"), Qt::LeftButton);
    QTRY_COMPARE(pty->received().size(), 8 * 18 + 2);
    QCOMPARE(bus->module(0).text(1), QByteArray(8, '?') + QByteArray(8, ' '));
    QCOMPARE(bus->module(0).text(2), QByteArray("?x") + QByteArray(14, ' '));
    QCOMPARE(bus->module(0).text(3), QByteArray(10, 'a') + '?' + QByteArray(5, ' '));
    QCOMPARE(cfg<QLineEdit>("TxtPL_1")->text(), "\U0001F600x" + QString(14, ' '));
}

QTEST_MAIN(tst_session)
#include "tst_session.moc"
