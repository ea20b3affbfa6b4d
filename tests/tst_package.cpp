// The Debian package that tools/package makes from the ordinary build: its files, modes and
// dependencies; and the programs installed by the same rules into a temporary root, started with
// no settings file yet, as root and as an ordinary user.
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

constexpr int Timeout = 60000;
constexpr uid_t Nobody = 65534;
const QStringList AsNobody = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"};

// Runs a program to its end: its exit status (-1 when it did not start or was killed) and its
// standard output; its standard error goes to the test's log.
std::pair<int, QByteArray> run(const QStringList &command,
                               const QProcessEnvironment &env
                               = QProcessEnvironment::systemEnvironment())
{
    QProcess process;
    process.setProcessEnvironment(env);
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(command.first(), command.mid(1));
    const bool done
        = process.waitForFinished(Timeout) && process.exitStatus() == QProcess::NormalExit;
    return {done ? process.exitCode() : -1, process.readAllStandardOutput()};
}

QByteArray contentOf(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class tst_package : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void package();
    void installed_data();
    void installed();

private:
    QTemporaryDir m_work;
    QString m_deb;
};

// The package, unpacked, and an install by the same rules into a temporary root.
void tst_package::initTestCase()
{
    // An ordinary user must reach the installed programs through the temporary folder.
    QVERIFY(QFile::setPermissions(m_work.path(),
                                  QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
                                      | QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther
                                      | QFile::ExeOther));
    const QString out = m_work.filePath("package");
    // From the build as it is (cpack builds nothing that is up to date).
    QCOMPARE(run({CPACK_COMMAND, "--config", TESSALINE_BUILD "/CPackConfig.cmake", "-G", "DEB",
                  "-B", out})
                 .first,
             0);
    const QString arch = QString::fromUtf8(run({"dpkg", "--print-architecture"}).second.trimmed());
    m_deb = out + "/tessaline_" TESSALINE_VERSION "_" + arch + ".deb";
    QCOMPARE(QDir(out).entryList({"*.deb"}), QStringList {QFileInfo(m_deb).fileName()});
    QCOMPARE(run({"dpkg-deb", "-x", m_deb, m_work.filePath("unpacked")}).first, 0);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DESTDIR", m_work.filePath("root"));
    QCOMPARE(run({CMAKE_COMMAND, "--install", TESSALINE_BUILD, "--prefix", "/usr"}, env).first, 0);
}

void tst_package::package()
{
    const QString deb = m_deb, unpacked = m_work.filePath("unpacked"),
                  root = m_work.filePath("root");
    // Every file but root's folders, its mode and owner, and the file of the sources it ships
    // (gzipped for a man page), the same in the package and in the install.
    const QStringList shipped
        = {"-rwxr-xr-x ./usr/bin/tessaline",
           "-rwxr-xr-x ./usr/bin/tessaline-cli",
           "-rwxr-xr-x ./usr/bin/tessaline-sim",
           "-rw-r--r-- ./usr/share/applications/tessaline.desktop dist/tessaline.desktop",
           "-rw-r--r-- ./usr/share/icons/hicolor/scalable/apps/tessaline.svg dist/tessaline.svg",
           "-rw-r--r-- ./usr/share/man/man1/tessaline-cli.1.gz dist/tessaline-cli.1",
           "-rw-r--r-- ./usr/share/man/man1/tessaline-sim.1.gz dist/tessaline-sim.1",
           "-rw-r--r-- ./usr/share/man/man1/tessaline.1.gz dist/tessaline.1",
           "-r--r--r-- ./usr/share/tessaline/tessaline.ini dist/tessaline.ini"};
    QStringList files; // drwxr-xr-x root/root 0 2024-01-01 00:00 ./usr/bin/
    for (const QByteArray &line : run({"dpkg-deb", "-c", deb}).second.split('\n')) {
        const QList<QByteArray> f = line.simplified().split(' ');
        if (f.size() == 6 && f[0] != "drwxr-xr-x")
            files << QString::fromUtf8(f[0] + ' ' + f[5]);
        QVERIFY2(f.size() < 6 || f[1] == "root/root", line.constData());
    }
    for (const QString &file : shipped) {
        const QStringList f = file.split(' ');
        QVERIFY2(files.removeOne(f[0] + ' ' + f[1]), qPrintable(file));
        const QString path = f[1].mid(1);
        QVERIFY2(QFileInfo(root + path).isFile(), qPrintable(file));
        if (f.size() < 3)
            continue;
        const QByteArray content = path.endsWith(".gz"_L1)
            ? run({"gzip", "-dc", unpacked + path}).second
            : contentOf(unpacked + path);
        QCOMPARE(content, contentOf(TESSALINE_SOURCE "/" + f[2]));
        QCOMPARE(contentOf(root + path), contentOf(unpacked + path));
    }
    QVERIFY2(files.isEmpty(), qPrintable(files.join(", "))); // no test program strays in
    QCOMPARE(run({"desktop-file-validate", unpacked + "/usr/share/applications/tessaline.desktop"})
                 .first,
             0);
    // The Qt libraries come from the binaries (dpkg-shlibdeps), the font from the rules.
    QCOMPARE(run({"dpkg-deb", "-f", deb, "Package", "Version"}).second,
             "Package: tessaline\nVersion: " TESSALINE_VERSION "\n");
    const QByteArray depends = run({"dpkg-deb", "-f", deb, "Depends"}).second;
    for (const char *package : {"libqt6widgets6", "libqt6serialport6", "fonts-liberation2"})
        QVERIFY2(depends.contains(package), depends.constData());
}

void tst_package::installed_data()
{
    QTest::addColumn<QString>("program");
    QTest::addColumn<bool>("asNobody");
    QTest::newRow("root, empty XDG_CONFIG_HOME") << "tessaline" << false;
    QTest::newRow("ordinary user, default ~/.config") << "tessaline" << true;
    QTest::newRow("virtual modules") << "tessaline-sim" << false;
}

// The installed control panel creates the user's settings file from the template at its first
// start, the user's to write, and keeps running; the installed tessaline-sim links its port in
// the settings folder, where the control panel looks, not beside itself in bin/.
void tst_package::installed()
{
    QFETCH(QString, program);
    QFETCH(bool, asNobody);
    if (asNobody && ::geteuid() != 0)
        QSKIP("root starts the program as another user through setpriv");
    const QString home = m_work.filePath(QTest::currentDataTag()).replace(' ', '-');
    QVERIFY(QDir().mkpath(home));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"XDG_CONFIG_HOME", "DISPLAY", "WAYLAND_DISPLAY"})
        env.remove(name);
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("HOME", home);
    env.insert("XDG_RUNTIME_DIR", home + "/run"); // made by the program itself, as its user
    if (!asNobody)
        env.insert("XDG_CONFIG_HOME", home);
    QVERIFY(!asNobody || ::chown(QFile::encodeName(home).constData(), Nobody, Nobody) == 0);
    const QString ini = home + (asNobody ? "/.config" : "") + "/tessaline/tessaline.ini";

    QProcess process;
    process.setProcessEnvironment(env);
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    const QStringList command = (asNobody ? AsNobody : QStringList())
        + QStringList {m_work.filePath("root/usr/bin/" + program)};
    process.start(command.first(), command.mid(1));
    QVERIFY(process.waitForStarted(Timeout));
    if (program == "tessaline-sim"_L1) {
        QByteArray out;
        QTRY_VERIFY_WITH_TIMEOUT((out += process.readAllStandardOutput()).contains('\n'), Timeout);
        QVERIFY2(out.startsWith("ready COM1 /dev/pts/"), out.constData());
        QCOMPARE(QFile::symLinkTarget(home + "/tessaline/ports/COM1"),
                 QString::fromUtf8(out.trimmed()).section(' ', 2));
        QVERIFY(!QFileInfo::exists(m_work.filePath("root/usr/bin/ports")));
    } else {
        QTRY_COMPARE_WITH_TIMEOUT(contentOf(ini), contentOf(TESSALINE_SOURCE "/dist/tessaline.ini"),
                                  Timeout);
        QCOMPARE(process.state(), QProcess::Running);
        QStringList writable
            = (asNobody ? AsNobody : QStringList()) + QStringList {"test", "-w", ini};
        QCOMPARE(run(writable).first, 0);
        struct stat info = {};
        QCOMPARE(::stat(QFile::encodeName(ini).constData(), &info), 0);
        QCOMPARE(info.st_uid, asNobody ? Nobody : ::geteuid());
    }
    process.terminate();
    QVERIFY(process.waitForFinished(Timeout));
}

QTEST_GUILESS_MAIN(tst_package)
#include "tst_package.moc"
