// The settings file: how values are read, how a write edits the file in place, what a failed or
// refused write leaves behind, what a save keeps of the operator's file, and where the file is.
#include "link/ansi.h"
#include "link/initext.h"
#include "link/modini.h"
#include "link/portmap.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#ifdef Q_OS_UNIX
#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <vector>
#endif

namespace {

QByteArray bytesOf(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

#ifdef Q_OS_UNIX
// Runs a program (fork and exec: QProcess's wait trips Valgrind) and gives what it printed;
// ok says whether it ran and exited with 0.
QByteArray run(const QStringList &command, bool *ok = nullptr)
{
    QByteArrayList args;
    for (const QString &arg : command)
        args << QFile::encodeName(arg);
    std::vector<char *> argv;
    for (QByteArray &arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    int out[2];
    if (::pipe(out) != 0)
        return {};
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out[1], 1);
        ::close(out[0]);
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(out[1]);
    QByteArray printed;
    char chunk[512];
    for (ssize_t n; (n = ::read(out[0], chunk, sizeof chunk)) > 0;)
        printed.append(chunk, n);
    ::close(out[0]);
    int status = -1;
    ::waitpid(pid, &status, 0);
    if (ok)
        *ok = pid > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return printed;
}

bool succeeds(const QStringList &command)
{
    bool ok = false;
    run(command, &ok);
    return ok;
}

// What makes a file that file beyond its content: owner, group, mode, links, an extended
// attribute and the ACL.
QString identity(const QString &path)
{
    const QByteArray name = QFile::encodeName(path);
    struct stat st;
    char origin[32] = {};
    if (::stat(name.constData(), &st) != 0
        || ::getxattr(name.constData(), "user.origin", origin, sizeof origin - 1) < 0)
        return QStringLiteral("no stat or no attribute");
    return QString::asprintf("%u:%u %o links=%u %s ", st.st_uid, st.st_gid, st.st_mode & 07777,
                             unsigned(st.st_nlink), origin)
        + QString::fromLatin1(run({"getfacl", "-cpn", path})).simplified();
}

ino_t inode(const QString &path)
{
    struct stat st;
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_ino : 0;
}

// Calls the writer under a file-size limit (which binds root too, as a full disk would).
bool writeLimited(qint64 limit, const QString &path, const QString &value)
{
    rlimit saved;
    ::getrlimit(RLIMIT_FSIZE, &saved);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = rlim_t(limit);
    ::setrlimit(RLIMIT_FSIZE, &small);
    const bool written = writeIniFile(path, "UDC", "UCHAR1R1", value);
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);
    return written;
}
#endif

} // namespace

class tst_modini : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void read();
    void write();
    void refusedWrites();
    void keepsTheOperatorsFile();
    void location();
    void deliveredFile();
    void randomEdits();

private:
    QString put(const QByteArray &bytes, const QString &name = QStringLiteral("t.ini"));
    std::unique_ptr<QTemporaryDir> dir;
};

void tst_modini::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
}

QString tst_modini::put(const QByteArray &bytes, const QString &name)
{
    const QString path = dir->filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        qFatal("cannot write %s", qPrintable(path));
    return path;
}

void tst_modini::read()
{
    const QByteArray sample = "; delivered settings\r\nOrphan=before any section\r\n[Settings]\r\n"
                              "CommPort=3\r\n  Setting \t=\t 9600,n,8,1  \r\n\r\n"
                              "[ lcd ]  trailing text\r\nuid=100\r\n; PT9=commented out\r\n"
                              "PT1 = \"  quoted  \"\r\nPT2='single'\r\nPT3=\"mismatched'\r\n"
                              "PT4=# not a comment ; neither\r\nPT5=a=b=c\r\nPT6=\r\njust text\r\n"
                              "PT7=first\r\npt7=second\r\nPT8=\"\"\r\n[LCD]\r\nUID=999\r\n"
                              "Extra=in the second LCD\r\n[UDC\r\nUCHAR1R1=31";
    const QString path = put(sample);
    // section|key|value, rows apart by "/"
    const QString rows = "Settings|CommPort|3/Settings|Setting|9600,n,8,1/LCD|UID|100/"
                         "  LCD | uid |100/LCD|PT1|  quoted  /LCD|pt2|single/"
                         "LCD|PT3|\"mismatched'/LCD|PT4|# not a comment ; neither/"
                         "LCD|PT5|a=b=c/LCD|PT6|/LCD|PT7|first/LCD|PT8|/LCD|PT9|/"
                         "LCD|just text|/LCD|Extra|/UDC|UCHAR1R1|31/|Orphan|/"
                         "Settings|Orphan|/Nope|UID|/Settings|Nope|/\tLCD|UID|/LCD|UID\t|";
    QList<IniKey> keys;
    QStringList values;
    for (const QString &row : rows.split('/')) {
        const QStringList r = row.split('|');
        QCOMPARE(r[0] + '|' + r[1] + '|' + readIniFile(path, r[0], r[1]), row);
        keys.append({r[0], r[1]});
        values << r[2];
    }
    // All of them from one read give the same.
    QCOMPARE(readIniFile(path, keys), values);

    // Line endings, blanks, value length, code page; key "x" of section "A" unless named.
    const struct
    {
        QByteArray file;
        QString value;
        const char *section = "A";
        const char *key = "x";
    } files[] = {{"[A]\nx=1\ny=2\n", "1"},
                 {"[A]\ry=2\rx=1", "1"},
                 {"[A]\r\ny=1\rz=2\nx=1", "1"},
                 {"[A]\r\r\nx=1", "1"},
                 {"\t[\tA\t]\t\n\tx\t=\t1\t\n", "1"},
                 {"\v[\vA\v]\v\n\vx\v=\v1\v\n", "1"}, // the vertical tab is a blank too
                 {"[A]\r\na\tb=1\r\n", "1", "A", "a\tb"}, // a tab inside a name is part of it
                 {"\xEF\xBB\xBF[A]\r\nx=1\r\n", ""}, // no byte-order mark
                 {"[A]\r\nx=\"" + QByteArray(300, 'v') + "\"", QString(254, 'v')},
                 {"[A]\r\nx=caf\xE9 \x80\r\n", QString::fromUtf8("café €")},
                 {"[\xC4]\r\nx=1\r\n", "", "\xC3\xA4"}, // ASCII case only: "ä" is not "Ä"
                 {"[\xC4]\r\nx=1\r\n", "1", "\xC3\x84"},
                 {"", ""}};
    for (const auto &f : files) {
        const QString row = QString::number(&f - files) + ": ";
        QCOMPARE(row + readIniFile(put(f.file), f.section, f.key), row + f.value);
    }

    // A missing file, a folder and a FIFO (which would block an open()) read as empty.
    QCOMPARE(readIniFile(dir->filePath("missing.ini"), "A", "x"), QString());
    QVERIFY(QDir(dir->path()).mkdir("folder.ini"));
    QCOMPARE(readIniFile(dir->filePath("folder.ini"), "A", "x"), QString());
#ifdef Q_OS_UNIX
    QCOMPARE(::mkfifo(QFile::encodeName(dir->filePath("fifo.ini")).constData(), 0600), 0);
    QCOMPARE(readIniFile(dir->filePath("fifo.ini"), "A", "x"), QString());
#endif

    // Tens of megabytes: the key on the last line, and a value on one line without breaks, cut.
    QByteArray huge = "[A]\r\n";
    huge.reserve(32 << 20);
    while (huge.size() < (30 << 20))
        huge += "some=value of a line\r\n";
    QCOMPARE(readIniFile(put(huge + "last=found"), "A", "last"), QString("found"));
    QCOMPARE(readIniFile(put("[A]\r\nx=" + QByteArray(30 << 20, 'v')), "A", "x"),
             QString(254, 'v'));
}

void tst_modini::write()
{
    const struct
    {
        QByteArray before;
        const char *section, *key, *value;
        QByteArray after;
    } rows[] = {
        {"; c\r\n[UDC]\r\n  UCHAR1R1 =  7  \r\nUCHAR1R2=8\r\n", "UDC", "UCHAR1R1", "31",
         "; c\r\n[UDC]\r\n  UCHAR1R1 =  31\r\nUCHAR1R2=8\r\n"},
        {"[A]\nx=1\ny=2\n", "A", "x", "10", "[A]\nx=10\ny=2\n"},
        // The file's last line, without a line break, gets a CRLF.
        {"[A]\rx=1\ry=2", "A", "y", "22", "[A]\rx=1\ry=22\r\n"},
        {"[A]\r\nx=1", "A", "x", "2", "[A]\r\nx=2\r\n"},
        {"[A]\r\n\vx\v=\v1\v\r\n", "A", "x", "2", "[A]\r\n\vx\v=\v2\r\n"},
        {"[A]\r\n", "A", "a\tb", "1", "[A]\r\na\tb=1\r\n"},
        {"[A]\r\nx=\r\n", "A", "x", "5", "[A]\r\nx=5\r\n"},
        {"[A]\r\nx=5\r\n", "A", "x", "", "[A]\r\nx=\r\n"},
        {"[A]\r\nx=1\r\nX=2\r\n", "A", "x", "3", "[A]\r\nx=3\r\nX=2\r\n"},
        {"[A]\r\nx=1\r\n[B]\r\n[a]\r\nx=2\r\n", "A", "x", "3",
         "[A]\r\nx=3\r\n[B]\r\n[a]\r\nx=2\r\n"},
        {"[ udc ]\r\n ucHar1r1=0\r\n", " UDC ", "UCHAR1R1 ", "4", "[ udc ]\r\n ucHar1r1=4\r\n"},
        {"[A]\r\nx=1\r\n", "A", "x", "#1 ; 'x", "[A]\r\nx=#1 ; 'x\r\n"},
        {"junk\r\n x=1\r\n[A]\r\nx=1\r\n", "A", "x", "2", "junk\r\n x=1\r\n[A]\r\nx=2\r\n"},
        // New keys go after the last key line of their section, new sections at the end.
        {"[A]\r\nx=1\r\n\r\n; next\r\n[B]\r\ny=2\r\n", "A", "z", "9",
         "[A]\r\nx=1\r\nz=9\r\n\r\n; next\r\n[B]\r\ny=2\r\n"},
        {"[A]\nx=1\ntext\n", "A", "z", "9", "[A]\nx=1\nz=9\r\ntext\n"},
        {"[A]\r\n; only a comment\r\n[B]\r\n", "A", "z", "9",
         "[A]\r\nz=9\r\n; only a comment\r\n[B]\r\n"},
        {"[A]\r\nx=1", "A", "z", "9", "[A]\r\nx=1\r\nz=9\r\n"},
        {"[A]\r\nx=1\r\n[A]\r\ny=2\r\n", "A", "y", "3", "[A]\r\nx=1\r\ny=3\r\n[A]\r\ny=2\r\n"},
        {"[A]\nx=1\n", "B", "y", "2", "[A]\nx=1\n[B]\r\ny=2\r\n"},
        {"; c\r\n[A]\r\nx=1", " B ", "y", "2", "; c\r\n[A]\r\nx=1\r\n[B]\r\ny=2\r\n"},
        {"[A]\rx=1\r", "B", "y", "2", "[A]\rx=1\r[B]\r\ny=2\r\n"},
        {"\xEF\xBB\xBF[A]\r\nx=1\r\n", "A", "x", "2", "\xEF\xBB\xBF[A]\r\nx=1\r\n[A]\r\nx=2\r\n"},
        {"", "B", "y", "2", "[B]\r\ny=2\r\n"}};
    for (const auto &r : rows) {
        const QString path = put(r.before);
        QVERIFY(writeIniFile(path, r.section, r.key, r.value));
        QCOMPARE(bytesOf(path), r.after);
        QCOMPARE(readIniFile(path, r.section, r.key), QString(r.value));
    }

    // A missing file is created; saving twice leaves one line.
    const QString path = dir->filePath("new.ini");
    QVERIFY(writeIniFile(path, "UDC", "UCHAR1R1", "31"));
    QCOMPARE(bytesOf(path), QByteArray("[UDC]\r\nUCHAR1R1=31\r\n"));
    for (const char *value : {"4", "5", "5"})
        QVERIFY(writeIniFile(path, "UDC", "UCHAR1R2", value));
    QCOMPARE(bytesOf(path), QByteArray("[UDC]\r\nUCHAR1R1=31\r\nUCHAR1R2=5\r\n"));
}

void tst_modini::refusedWrites()
{
    // Names and values that would break the file's lines, or that the file would not give
    // back (a tab or vertical tab at a name's edge): refused, no file touched or made.
    const QByteArray old = "[A]\r\nx=0\r\n";
    const QString path = put(old);
    // section|key|value, rows apart by "/"; the last value holds a NUL.
    const char refused[] = "A|x|1\n[B]/A|x|1\r/A|x|1\r\ny=2/A]x|x|1/A\nB|x|1/|x|1/ \t |x|1/"
                           "A|x=y|1/A|x\r|1/A|  |1/A|[B]|1/A|;x|1/\tA|x|1/A|\tx|1/A|x\v|1/"
                           "A|x|1\0002";
    for (const QString &row : QString::fromLatin1(refused, sizeof refused - 1).split('/')) {
        const QStringList r = row.split('|');
        QVERIFY2(!writeIniFile(path, r[0], r[1], r[2]), qPrintable(row));
        QVERIFY(!writeIniFile(dir->filePath("none.ini"), r[0], r[1], r[2]));
        // One bad key refuses the whole batch.
        QVERIFY(!writeIniFile(path, r[0], {{"y", "1"}, {r[1], r[2]}}));
    }
    QCOMPARE(bytesOf(path), old);
    QVERIFY(!QFile::exists(dir->filePath("none.ini")));

    // A missing folder, a settings path that is a folder, and one that is a FIFO.
    QVERIFY(!writeIniFile(dir->filePath("absent/tessaline.ini"), "A", "x", "1"));
    QVERIFY(!QFileInfo::exists(dir->filePath("absent")));
    QVERIFY(QDir(dir->path()).mkdir("folder.ini"));
    QVERIFY(!writeIniFile(dir->filePath("folder.ini"), "A", "x", "1"));
    QVERIFY(QFileInfo(dir->filePath("folder.ini")).isDir());
#ifdef Q_OS_UNIX
    QCOMPARE(::mkfifo(QFile::encodeName(dir->filePath("fifo.ini")).constData(), 0600), 0);
    QVERIFY(!writeIniFile(dir->filePath("fifo.ini"), "A", "x", "1"));

    // A link is followed and stays a link.
    const QString link = dir->filePath("link.ini");
    QVERIFY(QFile::link("t.ini", link));
    QVERIFY(writeIniFile(link, "A", "x", "3"));
    QVERIFY(QFileInfo(link).isSymLink());
    QCOMPARE(bytesOf(path), QByteArray("[A]\r\nx=3\r\n"));

    // A new file gets what the umask allows, not a temporary file's 0600.
    const mode_t oldMask = ::umask(027);
    const bool made = writeIniFile(dir->filePath("fresh.ini"), "A", "x", "1");
    ::umask(oldMask);
    QVERIFY(made);
    struct stat st;
    QCOMPARE(::stat(QFile::encodeName(dir->filePath("fresh.ini")).constData(), &st), 0);
    QCOMPARE(st.st_mode & 07777, mode_t(0640));
#endif
}

void tst_modini::keepsTheOperatorsFile()
{
#ifndef Q_OS_UNIX
    QSKIP("owners, ACLs and hard links of POSIX files");
#else
    if (::geteuid() != 0)
        QSKIP("root sets the owners and saves as another user through setpriv");
    // An operator's file, nobody's (or root's), mode 0640, with an ACL that lets daemon write,
    // an extended attribute, perhaps a second hard link; saved by root or, in a folder that only
    // root may write, by nobody; perhaps on a full disk. Whatever happens, the file stays that
    // file, no temporary file is left, and a failure leaves every byte and reports.
    const struct
    {
        const char *what;
        bool link, asNobody, nobodys;
        qint64 limit; // a file-size limit
        bool saved, sameInode;
    } cases[] = {
        {"replaced atomically", false, false, true, 0, true, false},
        {"hard link", true, false, true, 0, true, true},
        {"folder not writable", false, true, true, 0, true, true},
        {"file not writable", false, true, false, 0, false, true},
        {"full disk, replaced", false, false, true, 200, false, true},
        {"full disk, in place", true, false, true, 200, false, true},
    };
    QVERIFY(QFile::setPermissions(dir->path(), QFile::Permissions(0x7755)));
    const QByteArray before = "; the operator's\r\n[UDC]\r\nUCHAR1R1=0\r\n";
    for (const auto &c : cases) {
        const QString folder = dir->filePath(c.what);
        const QString path = folder + "/tessaline.ini";
        const QByteArray file = QFile::encodeName(path);
        QVERIFY(QDir().mkdir(folder));
        put(before, QString(c.what) + "/tessaline.ini");
        const uid_t owner = c.nobodys ? 65534 : 0;
        QCOMPARE(::chown(file.constData(), owner, owner), 0);
        QCOMPARE(::chmod(file.constData(), 0640), 0);
        QVERIFY(succeeds({"setfacl", "-m", "u:daemon:rw", path}));
        QCOMPARE(::setxattr(file.constData(), "user.origin", "operator", 8, 0), 0);
        const QByteArray link = QFile::encodeName(folder + "/link.ini");
        if (c.link)
            QCOMPARE(::link(file.constData(), link.constData()), 0);
        const QString id = identity(path);
        const ino_t ino = inode(path);

        const QString value = c.limit ? QString(400, 'v') : QString("31");
        const bool saved = c.asNobody
            ? succeeds({"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--",
                        QCoreApplication::applicationFilePath(), "--write", path, "UDC", "UCHAR1R1",
                        value})
            : c.limit ? writeLimited(c.limit, path, value)
                      : writeIniFile(path, "UDC", "UCHAR1R1", value);
        const QByteArray after
            = c.saved ? before.left(before.size() - 3) + value.toLatin1() + "\r\n" : before;
        QVERIFY2(saved == c.saved, c.what);
        QCOMPARE(bytesOf(path), after);
        if (c.link)
            QCOMPARE(bytesOf(QFile::decodeName(link)), after);
        QCOMPARE(identity(path), id);
        QCOMPARE(inode(path) == ino, c.sameInode);
        QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System).size(),
                 c.link ? 2 : 1);
    }
#endif
}
void tst_modini::location()
{
    const auto native = [](const QString &path) { return QDir::toNativeSeparators(path); };
    const QString config = dir->filePath("config"), home = dir->filePath("home");
    const QString beside = AppFolder() + "tessaline.ini";
    const QString share = QDir::cleanPath(AppFolder() + "../share");
    const QByteArray oldConfig = qgetenv("XDG_CONFIG_HOME"), oldHome = qgetenv("HOME");
    const auto restore = qScopeGuard([&] {
        QFile::remove(beside);
        QDir(share).removeRecursively();
        qputenv("XDG_CONFIG_HOME", oldConfig);
        qputenv("HOME", oldHome);
    });
    QFile::remove(beside);
    qputenv("HOME", QFile::encodeName(home));
    QCOMPARE(AppFolder(), native(QCoreApplication::applicationDirPath()) + QDir::separator());

    // No tessaline.ini beside the program: $XDG_CONFIG_HOME/tessaline, ~/.config/tessaline when
    // it is unset or relative.
    for (const QByteArray &value : {QByteArray("relative/config"), QByteArray()}) {
        qputenv("XDG_CONFIG_HOME", value);
        QCOMPARE(IniPath(), native(home + "/.config/tessaline/tessaline.ini"));
    }
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(config));
    QCOMPARE(SettingsFolder(), native(config + "/tessaline/"));

    // First start: without the template there is still no file, and the program reads what a
    // missing file gives; with it, the folder and a writable copy of the read-only template.
    QCOMPARE(TemplatePath(), native(share + "/tessaline/tessaline.ini"));
    QVERIFY(!CreateSettingsFile());
    QCOMPARE(ReadIniValue("Settings", "CommPort"), QString());
    QVERIFY(QDir().mkpath(share + "/tessaline"));
    QVERIFY(QFile::copy(QFINDTESTDATA("../dist/tessaline.ini"), TemplatePath()));
    QVERIFY(QFile::setPermissions(TemplatePath(), QFile::ReadOwner | QFile::ReadGroup));
    QVERIFY(CreateSettingsFile());
    QCOMPARE(bytesOf(IniPath()), bytesOf(TemplatePath()));
    QCOMPARE(ReadIniValue("Settings", "CommPort"), QString("1"));
    // A later start keeps the user's file.
    QVERIFY(WriteIniValue("Settings", "CommPort", "7"));
    QVERIFY(CreateSettingsFile());
    QCOMPARE(ReadIniValue("Settings", "CommPort"), QString("7"));

    // The port links follow the settings file.
    QVERIFY(QDir().mkpath(SettingsFolder() + "ports"));
    QVERIFY(QFile::link("/dev/null", SettingsFolder() + "ports/COM5"));
    QCOMPARE(PortMap::devicePath(5), SettingsFolder() + "ports/COM5");

    // A tessaline.ini beside the program is the one used, with the ports/ beside it.
    put("[Settings]\r\nCommPort=9\r\n", "beside.ini");
    QVERIFY(QFile::copy(dir->filePath("beside.ini"), beside));
    QCOMPARE(SettingsFolder(), AppFolder());
    QCOMPARE(ReadIniValue("Settings", "CommPort"), QString("9"));
#ifndef Q_OS_WIN
    QCOMPARE(PortMap::devicePath(5), QString("/dev/ttyS4"));
#endif
    QVERIFY(QFile::remove(beside));

    // A configuration folder that cannot be made (a file in its way, which stops root too):
    // no file, reads give what a missing file gives, and a save fails.
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(put("a file", "blocked")));
    QVERIFY(!CreateSettingsFile());
    QCOMPARE(ReadIniValue("Settings", "CommPort"), QString());
    QVERIFY(!WriteIniValue("UDC", "UCHAR1R1", "1"));
}

void tst_modini::deliveredFile()
{
    // The delivered file: CRLF lines and the start-up values.
    const QString path = QFINDTESTDATA("../dist/tessaline.ini");
    const QByteArray text = bytesOf(path);
    QVERIFY(text.endsWith("\r\n"));
    QCOMPARE(text.count('\r') + text.count('\n'), 2 * text.count("\r\n"));
    QCOMPARE(readIniFile(path, "Settings", "CommPort") + ' '
                 + readIniFile(path, "Settings", "Setting") + ' ' + readIniFile(path, "LCD", "UID"),
             QString("1 9600,n,8,1 100"));
}

void tst_modini::randomEdits()
{
    // Random files of headers, keys, comments, blank and stray lines with every line ending, and
    // some of random bytes: a write changes bytes within one line only, reads back, and is not
    // repeated by saving again; several keys at once give what writing them one by one gives;
    // reads of random names do not crash.
    QRandomGenerator rng(20240611);
    const QByteArrayList sections = {"A", "udc", "Settings", "LCD"},
                         keys = {"x", "Y", "UCHAR1R1", "pt1"};
    const QByteArrayList endings = {"\r\n", "\n", "\r"};
    const auto coin = [&](int n) { return rng.bounded(n) == 0; };
    const auto blanks = [&] { return QByteArray(rng.bounded(3), " \t\v"[rng.bounded(3)]); };
    const auto spaces = [&] { return QByteArray(rng.bounded(3), ' '); }; // around a caller's name
    const auto cased = [&](QByteArray name) { return coin(2) ? name.toUpper() : name; };
    const auto bytes = [&](int max, bool breaks) {
        QByteArray out;
        for (int n = rng.bounded(max + 1); out.size() < n;) {
            const char c = char(rng.bounded(256));
            if (breaks || (c != '\r' && c != '\n'))
                out += c;
        }
        return out;
    };
    const auto line = [&]() -> QByteArray {
        const int kind = rng.bounded(6);
        if (kind == 0)
            return blanks() + '[' + blanks() + cased(sections[rng.bounded(4)]) + blanks()
                + (coin(5) ? QByteArray() : "]" + bytes(3, false));
        if (kind <= 2)
            return blanks() + cased(keys[rng.bounded(4)]) + blanks() + '=' + blanks()
                + bytes(8, false) + blanks();
        return kind == 3 ? ';' + bytes(10, false) : kind == 4 ? blanks() : bytes(10, false);
    };

    for (int round = 0; round < 3000; ++round) {
        QByteArray before;
        if (coin(10))
            before = bytes(200, true);
        for (int n = coin(10) ? 0 : rng.bounded(25); n > 0; --n)
            before += line() + (n > 1 || !coin(4) ? endings[rng.bounded(3)] : QByteArray());
        IniText::read(before, bytes(8, true), bytes(4, true));
        const QByteArray s = spaces() + cased(sections[rng.bounded(4)]) + spaces();
        const QByteArray k = spaces() + cased(keys[rng.bounded(4)]) + spaces();
        // No blanks or opening quote at the value's edges, which a read would trim.
        QByteArray v = bytes(300, false).replace('\0', ' ').trimmed();
        if (v.startsWith('"') || v.startsWith('\''))
            v.prepend('q');

        const QByteArray after = IniText::write(before, s, k, v);
        QVERIFY(!after.isNull());
        QCOMPARE(IniText::read(after, s, k), v.left(IniText::MaxValue));
        QCOMPARE(IniText::write(after, s, k, v), after);

        // The bytes that differ lie within one line of the old file.
        qsizetype head = 0, tail = 0;
        const qsizetype shorter = qMin(before.size(), after.size());
        while (head < shorter && before.at(head) == after.at(head))
            ++head;
        while (tail < shorter - head
               && before.at(before.size() - 1 - tail) == after.at(after.size() - 1 - tail))
            ++tail;
        const QByteArray removed = before.mid(head, before.size() - head - tail);
        QVERIFY2(!removed.contains('\r') && !removed.contains('\n'), before.toPercentEncoding());
        QVERIFY(after.mid(head, after.size() - head - tail).count('\n') <= 3);

        QList<IniText::Entry> batch;
        QList<IniEntry> entries;
        QByteArray oneByOne = before;
        for (const QByteArray &name : keys) {
            if (coin(2))
                continue;
            batch.append({spaces() + cased(name), bytes(12, false).replace('\0', 'z')});
            entries.append({Ansi::decode(batch.back().key), Ansi::decode(batch.back().value)});
            oneByOne = IniText::write(oneByOne, s, batch.back().key, batch.back().value);
        }
        QCOMPARE(IniText::write(before, s, batch), oneByOne);

        if (round % 10 == 0) { // the same through the file
            const QString path = put(before);
            QVERIFY(writeIniFile(path, Ansi::decode(s), Ansi::decode(k), Ansi::decode(v)));
            QCOMPARE(bytesOf(path), after);
            put(before);
            QVERIFY(writeIniFile(path, Ansi::decode(s), entries));
            QCOMPARE(bytesOf(path), oneByOne);
        }
    }
}

int main(int argc, char *argv[])
{
    // A save as another user (setpriv runs this): tst_modini --write PATH SECTION KEY VALUE.
    if (argc == 6 && qstrcmp(argv[1], "--write") == 0)
        return writeIniFile(QFile::decodeName(argv[2]), argv[3], argv[4], argv[5]) ? 0 : 1;
    QCoreApplication app(argc, argv);
    tst_modini test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "tst_modini.moc"
