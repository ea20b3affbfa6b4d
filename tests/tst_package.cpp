// The Debian package that tools/package makes, from the ordinary build: what it holds, and the
// programs installed into a temporary root, started as root and as an ordinary user with no
// settings file yet.
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

constexpr int Timeout = 60000;
constexpr uid_t Nobody = 65534;

struct Result
{
    int status = -1;
    QByteArray out;
};

// Runs a program to its end: its exit status (-1 when it did not start or was killed) and its
// standard output, the standard error passed on to the test's log.
Result run(const QString &program, const QStringList &arguments,
           const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment())
{
    QProcess process;
    process.setProcessEnvironment(env);
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(program, arguments);
    Result result;
    if (process.waitForFinished(Timeout) && process.exitStatus() == QProcess::NormalExit)
        result.status = process.exitCode();
    result.out = process.readAllStandardOutput();
    return result;
}

QByteArray contentOf(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QString source(const QString &file)
{
    return TESSALINE_SOURCE "/"_L1 + file;
}

// An environment with no trace of the test's own configuration folder or session; the user's
// own folders in HOME.
QProcessEnvironment bareEnvironment(const QString &home)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"XDG_CONFIG_HOME", "DISPLAY", "WAYLAND_DISPLAY"})
        env.remove(QString::fromLatin1(name));
    env.insert(u"QT_QPA_PLATFORM"_s, u"offscreen"_s);
    env.insert(u"HOME"_s, home);
    // Made by the program itself, as its user, in a folder of the test's.
    env.insert(u"XDG_RUNTIME_DIR"_s, home + "/run"_L1);
    return env;
}

struct Shipped
{
    const char *name;
    const char *path;
    const char *mode;
    // The file in the sources that it ships (gzipped for a man page); none for a program.
    const char *from;
};

const Shipped Files[] = {
    {"control panel", "./usr/bin/tessaline", "-rwxr-xr-x", nullptr},
    {"virtual modules", "./usr/bin/tessaline-sim", "-rwxr-xr-x", nullptr},
    {"command line", "./usr/bin/tessaline-cli", "-rwxr-xr-x", nullptr},
    {"settings template", "./usr/share/tessaline/tessaline.ini", "-r--r--r--",
     "dist/tessaline.ini"},
    {"desktop entry", "./usr/share/applications/tessaline.desktop", "-rw-r--r--",
     "dist/tessaline.desktop"},
    {"icon", "./usr/share/icons/hicolor/scalable/apps/tessaline.svg", "-rw-r--r--",
     "dist/tessaline.svg"},
    {"man page", "./usr/share/man/man1/tessaline.1.gz", "-rw-r--r--", "dist/tessaline.1"},
    {"sim man page", "./usr/share/man/man1/tessaline-sim.1.gz", "-rw-r--r--",
     "dist/tessaline-sim.1"},
    {"command line's man page", "./usr/share/man/man1/tessaline-cli.1.gz", "-rw-r--r--",
     "dist/tessaline-cli.1"},
};

} // namespace

class tst_package : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void contents_data();
    void contents();
    void control();
    void firstStart_data();
    void firstStart();
    void simLinkInSettingsFolder();

private:
    QTemporaryDir m_work;
    QString m_deb;
    QString m_unpacked; // the package's files, as dpkg would lay them out
    QString m_root; // DESTDIR of an install from the build
    QMap<QString, QString> m_listing; // path in the package -> "mode owner"
};

void tst_package::initTestCase()
{
    QVERIFY(m_work.isValid());
    // An ordinary user must reach the installed programs through the temporary folder.
    QVERIFY(QFile::setPermissions(m_work.path(),
                                  QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
                                      | QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther
                                      | QFile::ExeOther));

    // The package, from the build as it is (cpack builds nothing that is up to date).
    const QString out = m_work.filePath(u"package"_s);
    QCOMPARE(run(CPACK_COMMAND,
                 {u"--config"_s, TESSALINE_BUILD "/CPackConfig.cmake"_L1, u"-G"_s, u"DEB"_s,
                  u"-B"_s, out})
                 .status,
             0);
    const Result arch = run(u"dpkg"_s, {u"--print-architecture"_s});
    QCOMPARE(arch.status, 0);
    const QString name = u"tessaline_%1_%2.deb"_s.arg(QStringLiteral(TESSALINE_VERSION),
                                                      QString::fromUtf8(arch.out.trimmed()));
    QCOMPARE(QDir(out).entryList({u"*.deb"_s}), QStringList {name});
    m_deb = QDir(out).filePath(name);

    const Result listing = run(u"dpkg-deb"_s, {u"-c"_s, m_deb});
    QCOMPARE(listing.status, 0);
    // drwxr-xr-x root/root 0 2024-01-01 00:00 ./usr/bin/
    for (const QByteArray &line : listing.out.split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() == 6)
            m_listing.insert(QString::fromUtf8(fields[5]),
                             QString::fromUtf8(fields[0] + ' ' + fields[1]));
    }
    m_unpacked = m_work.filePath(u"unpacked"_s);
    QCOMPARE(run(u"dpkg-deb"_s, {u"-x"_s, m_deb, m_unpacked}).status, 0);

    // The same install rules run by cmake, into a temporary root.
    m_root = m_work.filePath(u"root"_s);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(u"DESTDIR"_s, m_root);
    QCOMPARE(
        run(CMAKE_COMMAND, {u"--install"_s, TESSALINE_BUILD ""_L1, u"--prefix"_s, u"/usr"_s}, env)
            .status,
        0);
}

void tst_package::contents_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("mode");
    QTest::addColumn<QString>("from");
    for (const Shipped &file : Files)
        QTest::newRow(file.name) << file.path << file.mode << file.from;
}

void tst_package::contents()
{
    QFETCH(QString, path);
    QFETCH(QString, mode);
    QFETCH(QString, from);
    QCOMPARE(m_listing.value(path), mode + u" root/root"_s);
    const QString unpacked = m_unpacked + path.mid(1);
    // The same file from the package and from an install of the build.
    QVERIFY(QFileInfo(m_root + path.mid(1)).isFile());
    if (from.isEmpty())
        return;
    QByteArray shipped = contentOf(unpacked);
    if (path.endsWith(".gz"_L1)) {
        const Result gunzip = run(u"gzip"_s, {u"-dc"_s, unpacked});
        QCOMPARE(gunzip.status, 0);
        shipped = gunzip.out;
    }
    QCOMPARE(shipped, contentOf(source(from)));
    QCOMPARE(contentOf(m_root + path.mid(1)), contentOf(unpacked));
    if (path.endsWith(".desktop"_L1))
        QCOMPARE(run(u"desktop-file-validate"_s, {unpacked}).status, 0);
}

void tst_package::control()
{
    // Only root's folders and the table's files: no test program or screenshot tool strays in.
    QStringList files, shipped;
    for (auto it = m_listing.cbegin(); it != m_listing.cend(); ++it) {
        QVERIFY2(it.value().endsWith(" root/root"_L1), qPrintable(it.key()));
        if (it.value() != "drwxr-xr-x root/root"_L1)
            files << it.key();
    }
    for (const Shipped &file : Files)
        shipped << QString::fromLatin1(file.path);
    files.sort();
    shipped.sort();
    QCOMPARE(files, shipped);

    const auto field = [this](const QString &name) {
        return QString::fromUtf8(run(u"dpkg-deb"_s, {u"-f"_s, m_deb, name}).out.trimmed());
    };
    QCOMPARE(field(u"Package"_s), u"tessaline"_s);
    QCOMPARE(field(u"Version"_s), QStringLiteral(TESSALINE_VERSION));
    // The Qt libraries come from the binaries (dpkg-shlibdeps), the font from the package's
    // rules.
    const QString depends = field(u"Depends"_s);
    for (const char *package : {"libqt6widgets6", "libqt6serialport6", "fonts-liberation2"})
        QVERIFY2(depends.contains(QLatin1String(package)), qPrintable(depends));
}

void tst_package::firstStart_data()
{
    QTest::addColumn<bool>("asNobody");
    QTest::newRow("root, empty XDG_CONFIG_HOME") << false;
    QTest::newRow("ordinary user, default ~/.config") << true;
}

// The installed control panel creates the user's settings file from the template at its first
// start, writable by that user, and keeps running; SIGTERM ends it.
void tst_package::firstStart()
{
    QFETCH(bool, asNobody);
    if (asNobody && ::geteuid() != 0)
        QSKIP("root starts the program as another user through setpriv");
    const QString user = m_work.filePath(asNobody ? u"nobody"_s : u"root-config"_s);
    QVERIFY(QDir().mkpath(user));
    QProcessEnvironment env = bareEnvironment(user);
    QString ini;
    QStringList command = {m_root + "/usr/bin/tessaline"_L1};
    if (asNobody) {
        QCOMPARE(::chown(QFile::encodeName(user).constData(), Nobody, Nobody), 0);
        ini = user + "/.config/tessaline/tessaline.ini"_L1;
        command = QStringList {u"setpriv"_s, u"--reuid=65534"_s, u"--regid=65534"_s,
                               u"--clear-groups"_s, u"--"_s}
            + command;
    } else {
        env.insert(u"XDG_CONFIG_HOME"_s, user);
        ini = user + "/tessaline/tessaline.ini"_L1;
    }

    QProcess program;
    program.setProcessEnvironment(env);
    program.setProcessChannelMode(QProcess::ForwardedChannels);
    program.start(command.first(), command.mid(1));
    QVERIFY(program.waitForStarted(Timeout));
    const QByteArray delivered = contentOf(source(u"dist/tessaline.ini"_s));
    QTRY_COMPARE_WITH_TIMEOUT(contentOf(ini), delivered, Timeout);
    QCOMPARE(program.state(), QProcess::Running);
    program.terminate();
    QVERIFY(program.waitForFinished(Timeout));

    struct stat info = {};
    QCOMPARE(::stat(QFile::encodeName(ini).constData(), &info), 0);
    QCOMPARE(info.st_uid, asNobody ? Nobody : ::geteuid());
    // The copy is the user's to change, not read-only as the template.
    QVERIFY(info.st_mode & S_IWUSR);
    if (asNobody) {
        QCOMPARE(run(u"setpriv"_s,
                     {u"--reuid=65534"_s, u"--regid=65534"_s, u"--clear-groups"_s, u"--"_s,
                      u"test"_s, u"-w"_s, ini})
                     .status,
                 0);
    }
}

// The installed tessaline-sim links its port where the installed control panel looks: in the
// settings folder, not beside itself in bin/.
void tst_package::simLinkInSettingsFolder()
{
    const QString config = m_work.filePath(u"sim-config"_s);
    QVERIFY(QDir().mkpath(config));
    QProcessEnvironment env = bareEnvironment(config);
    env.insert(u"XDG_CONFIG_HOME"_s, config);
    QProcess sim;
    sim.setProcessEnvironment(env);
    sim.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QByteArray out;
    connect(&sim, &QProcess::readyReadStandardOutput, &sim,
            [&] { out += sim.readAllStandardOutput(); });
    sim.start(m_root + "/usr/bin/tessaline-sim"_L1, {});
    QTRY_VERIFY_WITH_TIMEOUT(out.contains('\n') || sim.state() == QProcess::NotRunning, Timeout);
    const QByteArray ready = out.left(out.indexOf('\n'));
    QVERIFY2(ready.startsWith("ready COM1 /dev/pts/"), out.constData());
    const QString link = config + "/tessaline/ports/COM1"_L1;
    QCOMPARE(QFile::symLinkTarget(link), QString::fromUtf8(ready).section(u' ', 2));
    QVERIFY(!QFileInfo::exists(m_root + "/usr/bin/ports"_L1));
    sim.terminate();
    QVERIFY(sim.waitForFinished(Timeout));
}

QTEST_GUILESS_MAIN(tst_package)
#include "tst_package.moc"
