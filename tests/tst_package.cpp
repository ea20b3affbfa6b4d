// The Debian package that tools/package makes from the ordinary build: its files, modes and
// dependencies; and the programs installed by the same rules into a temporary root, started with
// no settings file yet, as root and as an ordinary user.
#include <QtTest>

#include <unistd.h>

namespace {

const QStringList AsNobody = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"};

// Runs a command to its end: true when it ended with status 0; its output in `out`.
bool run(const QStringList &command, QByteArray *out = nullptr, const QStringList &env = {})
{
    QProcess process;
    process.setEnvironment(QProcess::systemEnvironment() + env);
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(command.first(), command.mid(1));
    const bool done
        = process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit;
    if (out)
        *out = process.readAllStandardOutput();
    return done && process.exitCode() == 0;
}

} // namespace

class tst_package : public QObject
{
    Q_OBJECT
private slots:
    void package();
    void installed_data();
    void installed();

private:
    QTemporaryDir m_work;
};

void tst_package::package()
{
    // From the build as it is (cpack builds nothing that is up to date); an ordinary user must
    // reach the programs installed into the temporary root.
    QVERIFY(QFile::setPermissions(m_work.path(), QFileDevice::Permissions(0x7755)));
    QByteArray arch, listing, control;
    QVERIFY(run({"dpkg", "--print-architecture"}, &arch));
    const QString deb
        = m_work.filePath("tessaline_" TESSALINE_VERSION "_" + arch.trimmed() + ".deb");
    QVERIFY(run({CPACK_COMMAND, "--config", TESSALINE_BUILD "/CPackConfig.cmake", "-G", "DEB", "-B",
                 m_work.path()}));
    QVERIFY(run({CMAKE_COMMAND, "--install", TESSALINE_BUILD, "--prefix", "/usr"}, nullptr,
                {"DESTDIR=" + m_work.filePath("root")}));

    // Every file but root's folders, with its mode and owner; no test program strays in.
    QStringList files;
    QVERIFY(run({"dpkg-deb", "-c", deb}, &listing));
    for (const QByteArray &line : listing.split('\n')) {
        const QList<QByteArray> f = line.simplified().split(' '); // mode owner size date time path
        if (f.size() == 6 && f[0] != "drwxr-xr-x")
            files << QString::fromUtf8(f[0] + ' ' + f[1] + ' ' + f[5]);
        QVERIFY(f.size() != 6
                || QFileInfo::exists(m_work.filePath("root") + QString::fromUtf8(f[5].mid(1))));
    }
    files.sort();
    QCOMPARE(
        files.join("; "),
        "-r--r--r-- root/root ./usr/share/tessaline/tessaline.ini; "
        "-rw-r--r-- root/root ./usr/share/applications/tessaline.desktop; "
        "-rw-r--r-- root/root ./usr/share/icons/hicolor/scalable/apps/tessaline.svg; "
        "-rw-r--r-- root/root ./usr/share/man/man1/tessaline-cli.1.gz; "
        "-rw-r--r-- root/root ./usr/share/man/man1/tessaline-sim.1.gz; "
        "-rw-r--r-- root/root ./usr/share/man/man1/tessaline.1.gz; "
        "-rwxr-xr-x root/root ./usr/bin/tessaline; -rwxr-xr-x root/root ./usr/bin/tessaline-cli; "
        "-rwxr-xr-x root/root ./usr/bin/tessaline-sim");
    QVERIFY(run({"desktop-file-validate",
                 m_work.filePath("root/usr/share/applications/tessaline.desktop")}));
    // The Qt libraries from the binaries (dpkg-shlibdeps), the windows' font from the rules.
    QVERIFY(run({"dpkg-deb", "-f", deb, "Package", "Version", "Depends"}, &control));
    QVERIFY2(QRegularExpression("^Package: tessaline\nVersion: " TESSALINE_VERSION
                                "\nDepends: (?=.*"
                                "libqt6widgets6)(?=.*libqt6serialport6)(?=.*fonts-liberation2)")
                 .match(control)
                 .hasMatch(),
             control.constData());
}

void tst_package::installed_data()
{
    QTest::addColumn<QString>("program");
    QTest::addColumn<bool>("asNobody");
    QTest::newRow("root, empty XDG_CONFIG_HOME") << "tessaline" << false;
    QTest::newRow("ordinary user, default ~/.config") << "tessaline" << true;
    QTest::newRow("virtual modules") << "tessaline-sim" << false;
}

// The installed control panel copies the template to the user's settings file at its first
// start, the user's to write, and keeps running; the installed tessaline-sim links its port in
// the settings folder, where the control panel looks, not beside itself in bin/.
void tst_package::installed()
{
    QFETCH(QString, program);
    QFETCH(bool, asNobody);
    if (asNobody && ::geteuid() != 0)
        QSKIP("root starts the program as another user through setpriv");
    const QString home = m_work.filePath(program + (asNobody ? "-nobody" : "-root"));
    const QString ini = home + (asNobody ? "/.config" : "") + "/tessaline/tessaline.ini";
    QVERIFY(QDir().mkpath(home) && (!asNobody || ::chown(qPrintable(home), 65534, 65534) == 0));
    QProcess process;
    QStringList env = QProcess::systemEnvironment().filter(
        QRegularExpression("^(?!(XDG_CONFIG_HOME|DISPLAY|WAYLAND_DISPLAY)=)"));
    env << "QT_QPA_PLATFORM=offscreen"
        << "HOME=" + home << "XDG_RUNTIME_DIR=" + home + "/run"
        << (asNobody ? "" : "XDG_CONFIG_HOME=" + home);
    process.setEnvironment(env);
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    const QStringList as = asNobody ? AsNobody : QStringList(),
                      command = as + QStringList {m_work.filePath("root/usr/bin/" + program)};
    process.start(command[0], command.mid(1));
    if (program == "tessaline-sim") {
        QTRY_VERIFY_WITH_TIMEOUT(process.canReadLine(), 60000);
        const QString ready = process.readLine().trimmed();
        QVERIFY2(ready.startsWith("ready COM1 /dev/pts/"), qPrintable(ready));
        QCOMPARE(QFile::symLinkTarget(home + "/tessaline/ports/COM1"), ready.section(' ', 2));
        QVERIFY(!QFileInfo::exists(m_work.filePath("root/usr/bin/ports")));
    } else {
        const auto content = [](const QString &path) {
            QFile file(path);
            return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
        };
        QTRY_COMPARE_WITH_TIMEOUT(content(ini), content(TESSALINE_SOURCE "/dist/tessaline.ini"),
                                  60000);
        QCOMPARE(process.state(), QProcess::Running);
        QVERIFY(QFileInfo(ini).ownerId() == (asNobody ? 65534 : ::geteuid())
                && QFileInfo(ini).permission(QFile::WriteOwner));
    }
    process.terminate();
    QVERIFY(process.waitForFinished(60000));
}

QTEST_GUILESS_MAIN(tst_package)
#include "tst_package.moc"
