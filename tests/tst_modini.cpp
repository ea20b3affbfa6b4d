// The settings file: its format as the program reads and edits it (one table of file, call and
// result), what a save keeps of the operator's file, and where the file is.
#include "link/ansi.h"
#include "link/initext.h"
#include "link/modini.h"
#include "link/portmap.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <vector>

using namespace Qt::StringLiterals;

namespace {

QByteArray bytesOf(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<none>");
}

constexpr auto encoded = &QFile::encodeName;

// Runs a program and says whether it exited with 0 (fork and exec: QProcess trips Valgrind).
bool succeeds(const QStringList &command)
{
    QByteArrayList args;
    std::vector<char *> argv;
    for (const QString &arg : command)
        argv.push_back(args.emplace_back(encoded(arg)).data());
    argv.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    int status = -1;
    return pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status)
        && WEXITSTATUS(status) == 0;
}

// What makes a file that file beyond its content: owner, group, mode, links, its extended
// attribute, its ACL, and then its inode.
QString identity(const QString &path)
{
    struct stat st;
    char origin[16] = {}, acl[256];
    const ssize_t aclSize = ::getxattr(encoded(path), "system.posix_acl_access", acl, sizeof acl);
    if (::stat(encoded(path), &st) != 0 || aclSize <= 0
        || ::getxattr(encoded(path), "user.origin", origin, sizeof origin - 1) < 0)
        return u"no stat, ACL or attribute"_s;
    return QString::asprintf("%u:%u %o links=%u %s %s inode %lu", st.st_uid, st.st_gid,
                             st.st_mode & 07777, unsigned(st.st_nlink), origin,
                             QByteArray(acl, int(aclSize)).toHex().constData(), st.st_ino);
}

// Calls the writer under a file-size limit (which binds root too, as a full disk would).
bool writeLimited(qint64 limit, const QString &path, const QString &value)
{
    rlimit saved, small;
    ::getrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, SIG_IGN);
    small = {rlim_t(limit), saved.rlim_max};
    ::setrlimit(RLIMIT_FSIZE, &small);
    const bool written = writeIniFile(path, "UDC", "UCHAR1R1", value);
    ::setrlimit(RLIMIT_FSIZE, &saved);
    return written;
}

} // namespace

class tst_modini : public QObject
{
    Q_OBJECT
private slots:
    void init()
    {
        dir = std::make_unique<QTemporaryDir>();
        QVERIFY(dir->isValid());
    }
    void format();
    void keepsTheOperatorsFile();
    void location();

private:
    QString put(const QByteArray &bytes, const QString &name = u"t.ini"_s)
    {
        const QString path = dir->filePath(name);
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
            qFatal("cannot write %s", qPrintable(path));
        return path;
    }
    std::unique_ptr<QTemporaryDir> dir;
};

void tst_modini::format()
{
    const QByteArray sample = "; delivered\r\nOrphan=before any section\r\n[Settings]\r\n"
                              "CommPort=3\r\n  Setting \t=\t 9600,n,8,1  \r\n\r\n"
                              "[ lcd ]  trailing text\r\nuid=100\r\n; PT9=commented out\r\n"
                              "PT1 = \"  quoted  \"\r\nPT2='single'\r\nPT3=\"mismatched'\r\n"
                              "PT4=# not a comment ; neither\r\nPT5=a=b=c\r\nPT6=\r\njust text\r\n"
                              "PT7=first\r\npt7=second\r\n[LCD]\r\nUID=999\r\nExtra=second LCD\r\n"
                              "[UDC\r\nUCHAR1R1=31";
    // The call is "section|key", a read whose result is the value, or "section|key|value", a
    // write whose result is the file afterwards. Bytes in the file's code page.
    const struct
    {
        const char *what;
        QByteArray before, call, result;
    } rows[] = {
        {"blanks and comments around", sample, "Settings|Setting", "9600,n,8,1"},
        {"header trimmed, text after ] and case ignored", sample, "LCD|UID", "100"},
        {"the caller's spaces trimmed", sample, "  LCD | uid ", "100"},
        {"the caller's tab kept", sample, "\tLCD|UID", ""},
        {"a pair of quotes goes", sample, "LCD|PT1", "  quoted  "},
        {"single quotes", sample, "LCD|pt2", "single"},
        {"mismatched quotes stay", sample, "LCD|PT3", "\"mismatched'"},
        {"# and ; in a value", sample, "LCD|PT4", "# not a comment ; neither"},
        {"= in a value", sample, "LCD|PT5", "a=b=c"},
        {"the first of two keys", sample, "LCD|PT7", "first"},
        {"a commented key", sample, "LCD|PT9", ""},
        {"a second section of a name", sample, "LCD|Extra", ""},
        {"a header without ]", sample, "UDC|UCHAR1R1", "31"},
        {"a key before any section", sample, "|Orphan", ""},
        {"CR, CRCRLF and mixed lines", "[A]\r\r\ny=1\rz=2\nx=1", "A|x", "1"},
        {"vertical tabs are blanks", "\v[\vA\v]\v\n\vx\v=\v1\v\n", "A|x", "1"},
        {"a tab inside a name", "[A]\r\na\tb=1\r\n", "A|a\tb", "1"},
        {"cut at 254", "[A]\r\nx=\"" + QByteArray(300, 'v') + '"', "A|x", QByteArray(254, 'v')},
        {"code page", "[A]\r\nx=caf\xE9 \x80\r\n", "A|x", "caf\xE9 \x80"},
        {"ASCII case only", "[\xC4]\r\nx=1\r\n", "\xE4|x", ""},
        {"other letters exactly", "[\xC4]\r\nx=1\r\n", "\xC4|x", "1"},
        {"blanks after the new value go", "; c\r\n[UDC]\r\n  UCHAR1R1 =  7  \r\nUCHAR1R2=8\r\n",
         "UDC|UCHAR1R1|31", "; c\r\n[UDC]\r\n  UCHAR1R1 =  31\r\nUCHAR1R2=8\r\n"},
        {"LF lines stay", "[A]\nx=1\ny=2\n", "A|x|10", "[A]\nx=10\ny=2\n"},
        {"an updated last line gets CRLF", "[A]\rx=1\ry=2", "A|y|22", "[A]\rx=1\ry=22\r\n"},
        {"vertical tabs before stay", "[A]\r\n\vx\v=\v1\v\r\n", "A|x|2", "[A]\r\n\vx\v=\v2\r\n"},
        {"a tab inside a new key", "[A]\r\n", "A|a\tb|1", "[A]\r\na\tb=1\r\n"},
        {"an empty value set", "[A]\r\nx=\r\n", "A|x|5", "[A]\r\nx=5\r\n"},
        {"the first key of any case", "[A]\r\nx=1\r\nX=2\r\n", "A|X|3", "[A]\r\nx=3\r\nX=2\r\n"},
        {"the first section of any case", "[A]\r\nx=1\r\n[B]\r\n[a]\r\nx=2\r\n", "A|x|3",
         "[A]\r\nx=3\r\n[B]\r\n[a]\r\nx=2\r\n"},
        {"the file's spelling kept", "[ udc ]\r\n ucHar1r1=0\r\n", " UDC |UCHAR1R1 |4",
         "[ udc ]\r\n ucHar1r1=4\r\n"},
        {"comment signs in a value", "[A]\r\nx=1\r\n", "A|x|#1 ; 'x", "[A]\r\nx=#1 ; 'x\r\n"},
        {"lines before any section", "junk\r\n x=1\r\n[A]\r\nx=1\r\n", "A|x|2",
         "junk\r\n x=1\r\n[A]\r\nx=2\r\n"},
        {"a new key after the last key", "[A]\r\nx=1\r\n\r\n; next\r\n[B]\r\n", "A|z|9",
         "[A]\r\nx=1\r\nz=9\r\n\r\n; next\r\n[B]\r\n"},
        {"a new key after a bare header", "[A]\r\n; comment\r\n[B]\r\n", "A|z|9",
         "[A]\r\nz=9\r\n; comment\r\n[B]\r\n"},
        {"a new key after an unbroken line", "[A]\r\nx=1", "A|z|9", "[A]\r\nx=1\r\nz=9\r\n"},
        {"a second section untouched", "[A]\r\nx=1\r\n[A]\r\ny=2\r\n", "A|y|3",
         "[A]\r\nx=1\r\ny=3\r\n[A]\r\ny=2\r\n"},
        {"a new section at the end", "[A]\nx=1\n", "B|y|2", "[A]\nx=1\n[B]\r\ny=2\r\n"},
        {"a new section after an unbroken line", "; c\r\n[A]\r\nx=1", " B |y|2",
         "; c\r\n[A]\r\nx=1\r\n[B]\r\ny=2\r\n"},
        {"a byte-order mark is no blank", "\xEF\xBB\xBF[A]\r\nx=1\r\n", "A|x|2",
         "\xEF\xBB\xBF[A]\r\nx=1\r\n[A]\r\nx=2\r\n"},
        {"an empty file", "", "B|y|2", "[B]\r\ny=2\r\n"},
    };
    QList<IniKey> keys;
    QStringList values;
    for (const auto &r : rows) {
        const QStringList call = Ansi::decode(r.call).split('|');
        const QString path = put(r.before);
        if (call.size() == 2) {
            // The reader of the program, and the one of the format alone.
            QCOMPARE(Ansi::encode(readIniFile(path, call[0], call[1])), r.result);
            QVERIFY2(IniText::read(r.before, r.call.split('|')[0], r.call.split('|')[1])
                         == r.result,
                     r.what);
            if (r.before == sample) {
                keys.append({call[0], call[1]});
                values << Ansi::decode(r.result);
            }
            continue;
        }
        QVERIFY2(writeIniFile(path, call[0], call[1], call[2]), r.what);
        QCOMPARE(bytesOf(path), r.result);
        QCOMPARE(readIniFile(path, call[0], call[1]), call[2]);
        // Saving again changes nothing; two keys in one write are the two writes.
        QVERIFY(writeIniFile(path, call[0], call[1], call[2]) && bytesOf(path) == r.result);
        QVERIFY(writeIniFile(put(r.before), call[0], {{call[1], call[2]}, {"Second", "2"}}));
        QCOMPARE(bytesOf(path), IniText::write(r.result, r.call.split('|')[0], "Second", "2"));
    }
    // Every key of the sample in one read.
    QCOMPARE(readIniFile(put(sample), keys), values);

    // Names and values that would break the file's lines, or that it would not give back (a
    // tab or vertical tab at a name's edge): refused, alone or in a batch; nothing written.
    const QByteArray old = "[A]\r\nx=0\r\n";
    const QString path = put(old);
    for (const QByteArray &call :
         {"A|x|1\n[B]"_ba, "A|x|1\r"_ba, "A|x|1\0002"_ba, "A]x|x|1"_ba, "A\nB|x|1"_ba, "|x|1"_ba,
          " \t |x|1"_ba, "\tA|x|1"_ba, "A|x=y|1"_ba, "A|x\r|1"_ba, "A|  |1"_ba, "A|[B]|1"_ba,
          "A|;x|1"_ba, "A|\tx|1"_ba, "A|x\v|1"_ba}) {
        const QStringList c = Ansi::decode(call).split('|');
        QVERIFY2(!writeIniFile(path, c[0], c[1], c[2]), call.toPercentEncoding().constData());
        QVERIFY(!writeIniFile(path, c[0], {{"y", "1"}, {c[1], c[2]}}));
        QVERIFY(!writeIniFile(dir->filePath("none.ini"), c[0], c[1], c[2]));
    }
    QCOMPARE(bytesOf(path), old);
    QVERIFY(!QFile::exists(dir->filePath("none.ini")));

    // A missing file reads as empty and a write makes it; a folder, a FIFO (which would block
    // an open()) and a file in a missing folder read as empty and are never written.
    QVERIFY(QDir(dir->path()).mkdir("folder.ini"));
    QCOMPARE(::mkfifo(encoded(dir->filePath("fifo.ini")), 0600), 0);
    for (const QString &name : {u"missing.ini"_s, u"folder.ini"_s, u"fifo.ini"_s, u"no/t.ini"_s}) {
        QCOMPARE(readIniFile(dir->filePath(name), "A", "x"), QString());
        QCOMPARE(writeIniFile(dir->filePath(name), "UDC", "UCHAR1R1", "31"), name == "missing.ini");
    }
    QCOMPARE(bytesOf(dir->filePath("missing.ini")), "[UDC]\r\nUCHAR1R1=31\r\n");
    QVERIFY(QFileInfo(dir->filePath("folder.ini")).isDir() && !QFile::exists(dir->filePath("no")));

    // A link is followed and stays a link; a new file gets what the umask allows.
    QVERIFY(QFile::link("t.ini", dir->filePath("link.ini")));
    QVERIFY(writeIniFile(dir->filePath("link.ini"), "A", "x", "3"));
    QVERIFY(QFileInfo(dir->filePath("link.ini")).isSymLink() && bytesOf(path) == "[A]\r\nx=3\r\n");
    const mode_t oldMask = ::umask(027);
    const bool made = writeIniFile(dir->filePath("fresh.ini"), "A", "x", "1");
    ::umask(oldMask);
    struct stat st;
    QVERIFY(made && ::stat(encoded(dir->filePath("fresh.ini")), &st) == 0);
    QCOMPARE(st.st_mode & 07777, mode_t(0640));
}

void tst_modini::keepsTheOperatorsFile()
{
    if (::geteuid() != 0)
        QSKIP("root sets the owners and saves as another user through setpriv");
    // An operator's file with an ACL, an attribute, perhaps a hard link, saved by root or by
    // nobody, perhaps on a full disk: it stays that file, no temporary file is left, and a
    // failure keeps every byte and reports.
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
        const QString folder = dir->filePath(c.what), path = folder + "/tessaline.ini";
        QVERIFY(QDir().mkdir(folder));
        put(before, QString(c.what) + "/tessaline.ini");
        const uid_t owner = c.nobodys ? 65534 : 0;
        QVERIFY(::chown(encoded(path), owner, owner) == 0 && ::chmod(encoded(path), 0640) == 0
                && ::setxattr(encoded(path), "user.origin", "operator", 8, 0) == 0
                && succeeds({"setfacl", "-m", "u:daemon:rw", path})
                && (!c.link || ::link(encoded(path), encoded(folder + "/link.ini")) == 0));
        const QString id = identity(path);

        const QString value = c.limit ? QString(400, 'v') : u"31"_s;
        const bool saved = c.asNobody
            ? succeeds({"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--",
                        QCoreApplication::applicationFilePath(), "--write", path, value})
            : c.limit ? writeLimited(c.limit, path, value)
                      : writeIniFile(path, "UDC", "UCHAR1R1", value);
        const QByteArray after = c.saved ? before.chopped(3) + value.toLatin1() + "\r\n" : before;
        QVERIFY2(saved == c.saved, c.what);
        QCOMPARE(bytesOf(path), after);
        QCOMPARE(bytesOf(folder + "/link.ini"), c.link ? after : "<none>");
        QCOMPARE(identity(path).section(" inode", 0, 0), id.section(" inode", 0, 0));
        QCOMPARE(identity(path) == id, c.sameInode);
        QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System).size(),
                 c.link ? 2 : 1);
    }
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
    qputenv("HOME", encoded(home));

    // No tessaline.ini beside the program: $XDG_CONFIG_HOME/tessaline, ~/.config/tessaline when
    // it is unset or relative.
    for (const QByteArray &value : {"relative/config"_ba, QByteArray()}) {
        qputenv("XDG_CONFIG_HOME", value);
        QCOMPARE(IniPath(), native(home + "/.config/tessaline/tessaline.ini"));
    }
    qputenv("XDG_CONFIG_HOME", encoded(config));
    QCOMPARE(IniPath(), native(config + "/tessaline/tessaline.ini"));

    // First start: without the template no file; with it, a writable copy, which stays.
    QVERIFY(!CreateSettingsFile() && ReadIniValue("Settings", "CommPort").isEmpty());
    const QString delivered = share + "/tessaline/tessaline.ini";
    QVERIFY(QDir().mkpath(share + "/tessaline")
            && QFile::copy(QFINDTESTDATA("../dist/tessaline.ini"), delivered)
            && QFile::setPermissions(delivered, QFile::ReadOwner | QFile::ReadGroup));
    QVERIFY(CreateSettingsFile() && bytesOf(IniPath()) == bytesOf(delivered));
    QCOMPARE(ReadIniValues({{"Settings", "CommPort"}, {"Settings", "Setting"}, {"LCD", "UID"}}),
             QStringList({"1", "9600,n,8,1", "100"}));
    QVERIFY(WriteIniValue("Settings", "CommPort", "7") && CreateSettingsFile());
    QCOMPARE(ReadIniValue("Settings", "CommPort"), QString("7"));

    // The port links follow the settings file; a tessaline.ini beside the program is the one
    // used, with the ports/ beside it.
    QVERIFY(QDir().mkpath(SettingsFolder() + "ports")
            && QFile::link("/dev/null", SettingsFolder() + "ports/COM5"));
    QCOMPARE(PortMap::devicePath(5), SettingsFolder() + "ports/COM5");
    QVERIFY(QFile::copy(put("[Settings]\r\nCommPort=9\r\n", "beside.ini"), beside));
    QCOMPARE(SettingsFolder() + ReadIniValue("Settings", "CommPort") + PortMap::devicePath(5),
             native(QCoreApplication::applicationDirPath()) + QDir::separator() + "9/dev/ttyS4");
    QVERIFY(QFile::remove(beside));

    // A configuration folder that cannot be made (a file in its way stops root too).
    qputenv("XDG_CONFIG_HOME", encoded(put("a file", "blocked")));
    QVERIFY(!CreateSettingsFile() && ReadIniValue("Settings", "CommPort").isEmpty());
    QVERIFY(!WriteIniValue("UDC", "UCHAR1R1", "1"));
}

int main(int argc, char *argv[])
{
    // A save as another user (setpriv runs this): tst_modini --write PATH VALUE.
    if (argc == 4 && qstrcmp(argv[1], "--write") == 0)
        return writeIniFile(QFile::decodeName(argv[2]), "UDC", "UCHAR1R1", argv[3]) ? 0 : 1;
    QCoreApplication app(argc, argv);
    tst_modini test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "tst_modini.moc"
