// tessaline-shots: the README's pictures. Runs a short session in the real windows against a
// tessaline-sim process, on an X display (tools/screenshots starts Xvfb), and saves each window
// with ImageMagick's import: the main window, the virtual module, the configuration window and
// the bus log. It works in its own folder (build/shots) with a fresh copy of the delivered
// settings file.
#include "link/modini.h"
#include "shell/frmmain.h"
#include "shell/modvariables.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QCommandLineParser>
#include <QDir>
#include <QKeyEvent>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTest>

#include <cstdio>

namespace {

constexpr int Timeout = 20000;

[[noreturn]] void die(const QString &message)
{
    std::fprintf(stderr, "tessaline-shots: %s\n", qPrintable(message));
    std::exit(1);
}

template<typename T = QWidget> T *child(QWidget *parent, const char *name)
{
    T *found = parent->findChild<T *>(QString::fromLatin1(name));
    if (!found)
        die(QStringLiteral("no control %1").arg(QLatin1String(name)));
    return found;
}

void click(QWidget *parent, const char *button)
{
    QTest::mouseClick(child<QPushButton>(parent, button), Qt::LeftButton);
}

void choose(QWidget *parent, const char *list, const QString &text)
{
    auto *box = child<QComboBox>(parent, list);
    const int index = box->findText(text);
    if (index < 0)
        die(QStringLiteral("%1 has no item %2").arg(QLatin1String(list), text));
    box->setCurrentIndex(index);
}

// Key by key into "Send Text", as a keyboard with these keys would type them.
void type(QWidget *window, const QString &text)
{
    auto *box = child<QLineEdit>(window, "txtASCIIInput");
    box->setFocus();
    for (const QChar ch : text) {
        QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString(ch));
        QApplication::sendEvent(box, &press);
        QKeyEvent release(QEvent::KeyRelease, Qt::Key_unknown, Qt::NoModifier, QString(ch));
        QApplication::sendEvent(box, &release);
    }
}

// Lets the windows paint what the session changed.
void settle()
{
    QTest::qWait(500);
}

void shoot(WId window, const QString &path)
{
    settle();
    const int status = QProcess::execute(QStringLiteral("import"),
                                         {QStringLiteral("-window"), QString::number(window),
                                          QStringLiteral("-quality"), QStringLiteral("95"), path});
    if (status != 0)
        die(QStringLiteral("import failed for %1").arg(path));
    std::printf("%s\n", qPrintable(path));
}

class Sim
{
public:
    Sim()
    {
        m_process.setProgram(QStringLiteral(TESSALINE_SIM));
        // Fresh modules, whatever an earlier run saved into their EEPROM files.
        m_process.setArguments({QStringLiteral("--port"), QStringLiteral("1"),
                                QStringLiteral("--folder"), QCoreApplication::applicationDirPath(),
                                QStringLiteral("--fresh")});
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QObject::connect(&m_process, &QProcess::readyReadStandardOutput, &m_process,
                         [this] { m_out += m_process.readAllStandardOutput(); });
        m_process.start();
        if (!QTest::qWaitFor([this] { return m_out.contains("ready COM1"); }, Timeout))
            die(QStringLiteral("tessaline-sim did not start"));
    }
    ~Sim()
    {
        m_process.terminate();
        m_process.waitForFinished(Timeout);
    }

    // The answer to a query, up to the line that ends it.
    QString ask(const QByteArray &query, const QByteArray &last)
    {
        m_out.clear();
        m_process.write(query + '\n');
        if (!QTest::qWaitFor([&] { return m_out.contains(last); }, Timeout))
            die(QStringLiteral("no answer to %1").arg(QLatin1String(query)));
        return QString::fromUtf8(m_out);
    }
    // Until the state shows what the session did (the query and the line's bytes are read
    // in no fixed order).
    void await(const QString &part)
    {
        if (!QTest::qWaitFor([&] { return ask("state", "\nend\n").contains(part); }, Timeout))
            die(QStringLiteral("the module never showed %1").arg(part));
    }
    WId window() { return ask("window", "\n").section(QLatin1Char(' '), 1).trimmed().toULong(); }

private:
    QProcess m_process;
    QByteArray m_out;
};

QWidget *topLevel(const char *name)
{
    for (QWidget *w : QApplication::topLevelWidgets()) {
        if (w->objectName() == QLatin1String(name) && w->isVisible())
            return w;
    }
    die(QStringLiteral("%1 did not open").arg(QLatin1String(name)));
}

QWidget *configWindow()
{
    return topLevel("frmCfg");
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    const QCommandLineOption outOption(
        QStringLiteral("out"), QStringLiteral("Folder for the pictures (default docs/)."),
        QStringLiteral("folder"), QStringLiteral(TESSALINE_SOURCE "/docs"));
    parser.addOption(outOption);
    parser.process(app);
    const QDir out(parser.value(outOption));
    if (!QDir().mkpath(out.path()))
        die(QStringLiteral("cannot create %1").arg(out.path()));

    // The delivered settings, beside this program so that its ports/ is here too: the port,
    // the texts and the characters a newcomer starts with.
    const QString ini = AppFolder() + QStringLiteral("tessaline.ini");
    QFile::remove(ini);
    if (!QFile::copy(QStringLiteral(TESSALINE_SOURCE "/dist/tessaline.ini"), ini))
        die(QStringLiteral("cannot copy the settings file to %1").arg(ini));
    QFile(ini).setPermissions(QFile::ReadOwner | QFile::WriteOwner);

    Sim sim;
    modVariables vars;
    frmMain main(vars);
    main.move(820, 0);
    main.show();
    if (!QTest::qWaitForWindowExposed(&main))
        die(QStringLiteral("the main window did not show"));

    // The configuration window stores the texts and characters of the settings file in the
    // module, with the start-up screen on.
    click(&main, "cmdConnect");
    child<QAction>(&main, "mnuCfg")->trigger();
    QWidget *cfg = configWindow();
    cfg->move(820, 640);
    child<QCheckBox>(cfg, "Check1")->setChecked(true);
    click(cfg, "cmdSetPT");
    click(cfg, "cmdSendBitmap");
    click(cfg, "cmdSave");
    sim.await(QStringLiteral("saves=1"));
    cfg->close();

    // The main window drives the display: a stored text, typing, the user-defined characters,
    // the cursor and three outputs.
    click(&main, "cmdConnect");
    choose(&main, "cboAddr", QStringLiteral("100"));
    click(&main, "cmdSelect");
    click(&main, "cmdCtrl_2");
    choose(&main, "cboPT", QStringLiteral("1"));
    choose(&main, "cboRow1", QStringLiteral("0"));
    click(&main, "cmdPT");
    choose(&main, "cboRow", QStringLiteral("1"));
    choose(&main, "cboColumn", QStringLiteral("0"));
    click(&main, "cmdCurPos");
    type(&main, QStringLiteral("Hello, world! \u00e4\u00e9\u00df"));
    choose(&main, "cboRow", QStringLiteral("2"));
    click(&main, "cmdCurPos");
    for (int k = 0; k < 8; ++k) {
        click(&main, QStringLiteral("cmdCC_%1").arg(k).toLatin1().constData());
        type(&main, QStringLiteral(" "));
    }
    choose(&main, "cboRow", QStringLiteral("3"));
    click(&main, "cmdCurPos");
    type(&main, QStringLiteral("Temp 21"));
    click(&main, "cmdCC_2");
    type(&main, QStringLiteral("C"));
    for (const char *output : {"0", "2", "5"}) {
        choose(&main, "cboOutput", QString::fromLatin1(output));
        choose(&main, "cboSta", QStringLiteral("ON"));
        click(&main, "cmdout1");
    }
    sim.await(QStringLiteral("outputs=25"));

    shoot(main.winId(), out.filePath(QStringLiteral("main-window.png")));
    shoot(sim.window(), out.filePath(QStringLiteral("virtual-module.png")));

    // The configuration window again, with the bell character in the editor.
    child<QAction>(&main, "mnuCfg")->trigger();
    cfg = configWindow();
    choose(cfg, "cboUCH", QStringLiteral("2"));
    click(cfg, "cmdLoadBitmap");
    shoot(cfg->winId(), out.filePath(QStringLiteral("configuration-window.png")));
    cfg->close();

    // The bus log of the whole session, both windows' frames and the module's replies.
    click(&main, "cmdConnect");
    click(&main, "cmdSelect");
    child<QAction>(&main, "mnuBusLog")->trigger();
    QWidget *log = topLevel("BusLogWindow");
    log->setGeometry(0, 0, 900, 880); // every row of the session
    shoot(log->winId(), out.filePath(QStringLiteral("bus-log.png")));
    return 0;
}
