// The settings file: how values are read, how a write edits the file in place, and what a failed
// or refused write leaves behind.
#include "link/ansi.h"
#include "link/modini.h"

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
#include <unistd.h>
#endif

namespace {

QByteArray bytesOf(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

} // namespace

class tst_modini : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void read();
    void write();
    void refusedAndFailedWrites();
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
                         "Settings|Orphan|/Nope|UID|/Settings|Nope|";
    for (const QString &row : rows.split('/')) {
        const QStringList r = row.split('|');
        QCOMPARE(r[0] + '|' + r[1] + '|' + readIniFile(path, r[0], r[1]), row);
    }

    // Line endings, blanks, value length, code page; key "x" of section "A" unless named.
    const struct
    {
        QByteArray file;
        QString value;
        const char *section = "A";
    } files[] = {{"[A]\nx=1\ny=2\n", "1"},
                 {"[A]\ry=2\rx=1", "1"},
                 {"[A]\r\ny=1\rz=2\nx=1", "1"},
                 {"[A]\r\r\nx=1", "1"},
                 {"\t[\tA\t]\t\n\tx\t=\t1\t\n", "1"},
                 {"\xEF\xBB\xBF[A]\r\nx=1\r\n", ""}, // no byte-order mark
                 {"[A]\r\nx=\"" + QByteArray(300, 'v') + "\"", QString(254, 'v')},
                 {"[A]\r\nx=caf\xE9 \x80\r\n", QString::fromUtf8("café €")},
                 {"[\xC4]\r\nx=1\r\n", "", "\xC3\xA4"}, // ASCII case only: "ä" is not "Ä"
                 {"[\xC4]\r\nx=1\r\n", "1", "\xC3\x84"},
                 {"", ""}};
    for (const auto &f : files) {
        const QString row = QString::number(&f - files) + ": ";
        QCOMPARE(row + readIniFile(put(f.file), f.section, "x"), row + f.value);
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
        {"[A]\rx=1\ry=2", "A", "y", "22", "[A]\rx=1\ry=22"},
        {"[A]\r\nx=1", "A", "x", "2", "[A]\r\nx=2"},
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

void tst_modini::refusedAndFailedWrites()
{
    // Names and values that would break the file's lines: refused, no file touched or made.
    const QByteArray old = "[A]\r\nx=0\r\n";
    const QString path = put(old);
    // section|key|value, rows apart by "/"; the last value holds a NUL.
    const char refused[] = "A|x|1\n[B]/A|x|1\r/A|x|1\r\ny=2/A]x|x|1/A\nB|x|1/|x|1/ \t |x|1/"
                           "A|x=y|1/A|x\r|1/A|  |1/A|[B]|1/A|;x|1/A|x|1\0002";
    for (const QString &row : QString::fromLatin1(refused, sizeof refused - 1).split('/')) {
        const QStringList r = row.split('|');
        QVERIFY2(!writeIniFile(path, r[0], r[1], r[2]), qPrintable(row));
        QVERIFY(!writeIniFile(dir->filePath("none.ini"), r[0], r[1], r[2]));
    }
    QCOMPARE(bytesOf(path), old);
    QVERIFY(!QFile::exists(dir->filePath("none.ini")));

    // A missing folder, and a settings path that is a folder.
    QVERIFY(!writeIniFile(dir->filePath("absent/tessaline.ini"), "A", "x", "1"));
    QVERIFY(!QFileInfo::exists(dir->filePath("absent")));
    QVERIFY(QDir(dir->path()).mkdir("folder.ini"));
    QVERIFY(!writeIniFile(dir->filePath("folder.ini"), "A", "x", "1"));
    QVERIFY(QFileInfo(dir->filePath("folder.ini")).isDir());

#ifdef Q_OS_UNIX
    // A full disk, as a file-size limit (which binds root too): the old file stays whole and no
    // temporary file is left beside it.
    const QString full = put("; keep me\r\n[A]\r\nx=0\r\n", "full.ini");
    rlimit saved;
    QCOMPARE(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = 1024;
    QCOMPARE(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const bool fits = writeIniFile(full, "A", "x", QString(200, 'v'));
    const bool tooBig = writeIniFile(full, "B", "z", QString(2000, 'w'));
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);
    QVERIFY(fits && !tooBig);
    QCOMPARE(bytesOf(full), "; keep me\r\n[A]\r\nx=" + QByteArray(200, 'v') + "\r\n");
    QCOMPARE(QDir(dir->path()).entryList(QDir::Files | QDir::Hidden),
             (QStringList {"full.ini", "t.ini"}));

    // Permissions stay.
    const auto mode = [](const QString &path) {
        struct stat st;
        return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_mode & 07777 : 0;
    };
    QVERIFY(QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup));
    QVERIFY(writeIniFile(path, "A", "x", "2"));
    QCOMPARE(mode(path), mode_t(0640));

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
    QCOMPARE(mode(dir->filePath("fresh.ini")), mode_t(0640));
#endif
}

void tst_modini::deliveredFile()
{
    QCOMPARE(IniPath(),
             QDir::toNativeSeparators(QCoreApplication::applicationDirPath()) + QDir::separator()
                 + "tessaline.ini");
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
    // repeated by saving again; reads of random names do not crash.
    QRandomGenerator rng(20240611);
    const QByteArrayList sections = {"A", "udc", "Settings", "LCD"},
                         keys = {"x", "Y", "UCHAR1R1", "pt1"};
    const QByteArrayList endings = {"\r\n", "\n", "\r"};
    const auto coin = [&](int n) { return rng.bounded(n) == 0; };
    const auto blanks = [&] { return QByteArray(rng.bounded(3), coin(2) ? ' ' : '\t'); };
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
        const QByteArray s = blanks() + cased(sections[rng.bounded(4)]) + blanks();
        const QByteArray k = blanks() + cased(keys[rng.bounded(4)]) + blanks();
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
        if (round % 10 == 0) { // the same through the file
            const QString path = put(before);
            QVERIFY(writeIniFile(path, Ansi::decode(s), Ansi::decode(k), Ansi::decode(v)));
            QCOMPARE(bytesOf(path), after);
        }
    }
}

QTEST_GUILESS_MAIN(tst_modini)
#include "tst_modini.moc"
