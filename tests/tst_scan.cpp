// "Find Modules" against the virtual modules on a pty: what answers among 100 to 132, the bytes
// on the line, a cancel, a pulled cable, the module selected before selected again, and an
// address chosen from the list.
#include "link/portlink.h"
#include "sim/lcdbus.h"
#include "testsupport.h"

#include <QDialog>
#include <QListWidget>
#include <QMenuBar>
#include <QSignalSpy>

using namespace TestSupport;

class tst_scan : public QObject
{
    Q_OBJECT
private slots:
    void cleanup() { removeSettings(); }
    void findModules_data();
    void findModules();
};

void tst_scan::findModules_data()
{
    // Modules on the bus; selections before ("-" a deselection); what happens while an address
    // is tried (a cancel, a pulled cable, a click on "Select Device" through the window system);
    // the addresses found; the closing exchange; the status then; an address chosen afterwards.
    // 99, 133 and 255 lie outside the range; two modules at one address answer together and
    // count once.
    const QString table = R"(
    three   | 99 100 105 132 133 255 | | click 101 | 100 105 132 | ea | No Response | 132
    before  | 100 105 132 | 105     |            | 100 105 132 | ef69 | Device 105 Connected | 0
    cancel  | 100 105 132 | 105     | cancel 103 | 100         | ef69 | Device 105 Connected | 100
    missed  | 105         | 105 107 | cancel 105 | 105         | ea   | No Response          | 0
    dropped | 105 105     | 105 -   | cancel 106 | 105         | ea   | Disconnected         | 0
    none    |             |         | cancel 100 |             | ea   | No Response          | 0
    pulled  | 100 105 132 | 105     | pull 110   | 100 105     |      |                      | 0)";
    for (const char *column : {"modules", "before", "during", "found", "closing", "status"})
        QTest::addColumn<QString>(column);
    QTest::addColumn<int>("choose");
    for (const QString &line : table.split('\n', Qt::SkipEmptyParts)) {
        QStringList c = line.split('|');
        for (QString &cell : c)
            cell = cell.simplified();
        QTest::newRow(qPrintable(c[0]))
            << c[1] << c[2] << c[3] << c[4] << c[5] << c[6] << c[7].toInt();
    }
}

void tst_scan::findModules()
{
    QFETCH(QString, modules);
    QFETCH(QString, before);
    QFETCH(QString, during);
    QFETCH(QString, found);
    QFETCH(QString, closing);
    QFETCH(QString, status);
    QFETCH(int, choose);
    const QByteArray settings = "[Settings]\r\nCommPort=1\r\n; kept\r\n[LCD]\r\nUID=100\r\n";
    writeSettings(settings);
    QList<quint8> addresses;
    for (const QString &a : modules.split(' ', Qt::SkipEmptyParts))
        addresses << quint8(a.toInt());
    LcdBus bus(addresses);
    MainBench b(&bus);
    auto *find = b.get<QAction>("mnuFind");
    QCOMPARE(b.get<QMenuBar>("menubar")->actions().last(), find);
    QVERIFY(find->isEnabled());
    for (const QString &step : before.split(' ', Qt::SkipEmptyParts))
        step == "-" ? b.click("cmdDeselect") : b.select(step);
    const bool commands = b.enabled("Frame3");
    const QString listed = b.get<QComboBox>("cboAddr")->currentText();
    b.pty.clearReceived();

    const QString action = during.section(' ', 0, 0);
    const int stopAt = during.section(' ', 1).toInt();
    QSignalSpy lost(b.window->findChild<PortLink *>(), &PortLink::lost);
    if (action == "click") {
        b.window->show();
        QVERIFY(QTest::qWaitForWindowExposed(b.window.get()));
    }
    const auto dialog = [&] { return b.window->findChild<QDialog *>("frmFind"); };
    QObject hooks;
    connect(&b.pty, &SimPort::chunkReceived, &hooks, [&] {
        if (!b.pty.received().endsWith(QByteArray("\xef") + char(stopAt)))
            return;
        QVERIFY(dialog() && dialog()->isModal() && dialog()->isVisible());
        if (action == "cancel") {
            b.click("cmdCancel");
        } else if (action == "pull") {
            b.pty.closeMaster();
        } else if (action == "click") { // blocked by the dialog: nothing sent
            auto *button = b.get<QWidget>("cmdSelect");
            QTest::mouseClick(b.window->windowHandle(), Qt::LeftButton, {},
                              button->mapTo(b.window.get(), button->rect().center()));
        }
    });
    find->trigger();

    // SelectDevice for each address tried, in order, then the closing exchange alone.
    const int last = action == "cancel" || action == "pull" ? stopAt : Bus::LastAddress;
    QByteArray sent;
    for (int a = Bus::FirstAddress; a <= last; ++a)
        sent += char(0xef) + QByteArray(1, char(a));
    QTRY_COMPARE(b.pty.received().toHex(), sent.toHex() + closing.toLatin1());
    if (action == "pull") {
        QCOMPARE(lost.count(), 1);
        QTRY_VERIFY(!dialog());
        QCOMPARE(b.state(), "Connect select=0 cfg=0 commands=1");
        QVERIFY(!find->isEnabled());
        return;
    }

    // The list of what answered; the bus as before, the module followed then selected again or
    // none; the main window's state, its address list and the settings file as they were.
    auto *list = child<QListWidget>(dialog(), "lstFound");
    QStringList shown, selected;
    for (int i = 0; i < list->count(); ++i)
        shown << list->item(i)->text();
    for (int i = 0; i < bus.moduleCount(); ++i) {
        if (bus.module(i).isSelected())
            selected << QString::number(bus.module(i).address());
    }
    QCOMPARE(shown.join(' '), found);
    QCOMPARE(selected.join(' '), closing == "ef69" ? "105" : "");
    QCOMPARE(b.text("StatusPanel1") + '|' + b.text("lblTxData"),
             status + '|' + closing.toUpper().replace(QRegularExpression("(..)"), "\\1 "));
    QCOMPARE(b.get<QComboBox>("cboAddr")->currentText(), listed);
    QCOMPARE(b.enabled("Frame3"), commands && status != "Disconnected");
    QFile file(IniPath());
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), settings);
    if (!choose) {
        b.click("cmdCancel"); // "Close" now
        QTRY_VERIFY(!dialog());
        return;
    }

    // A double-click on an address selects it through "Select Device".
    b.pty.clearReceived();
    const QListWidgetItem *item = list->findItems(QString::number(choose), Qt::MatchExactly)[0];
    const QPoint spot = list->visualItemRect(item).center();
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, spot);
    QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, spot);
    QTRY_COMPARE(b.text("StatusPanel1"), QString("Device %1 Connected").arg(choose));
    QCOMPARE(b.get<QComboBox>("cboAddr")->currentText(), QString::number(choose));
    QCOMPARE(b.pty.received(), QByteArray("\xef") + char(choose));
    QVERIFY(bus.moduleByAddress(quint8(choose))->isSelected() && !dialog());
}

QTEST_MAIN(tst_scan)
#include "tst_scan.moc"
