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

class tst_modini : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void read_data();
    void read();
    void readerSurvivesBadFiles();
    void write_data();
    void write();
    void missingFileIsCreatedExactly();
    void refused_data();
    void refused();
    void failedWriteKeepsOldFile();
    void keepsFileAttributes();
    void appFolder();
    void randomEdits();
    void largeFile();
    void deliveredFile();

private:
    QString put(const QByteArray &bytes, const QString &name = QStringLiteral("t.ini"));
    static QByteArray bytesOf(const QString &path);

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

QByteArray tst_modini::bytesOf(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

void tst_modini::read_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("section");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("expected");

    const QByteArray sample = "; delivered settings\r\n"
                              "Orphan=before any section\r\n"
                              "[Settings]\r\n"
                              "CommPort=3\r\n"
                              "  Setting \t=\t 9600,n,8,1  \r\n"
                              "\r\n"
                              "[ lcd ]  trailing text\r\n"
                              "uid=100\r\n"
                              "; PT9=commented out\r\n"
                              "PT1 = \"  quoted  \"\r\n"
                              "PT2='single'\r\n"
                              "PT3=\"mismatched'\r\n"
                              "PT4=# not a comment ; neither\r\n"
                              "PT5=a=b=c\r\n"
                              "PT6=\r\n"
                              "just text\r\n"
                              "PT7=first\r\n"
                              "pt7=second\r\n"
                              "PT8=\"\"\r\n"
                              "[LCD]\r\n"
                              "UID=999\r\n"
                              "Extra=in the second LCD\r\n"
                              "[UDC\r\n"
                              "UCHAR1R1=31";
    const auto row = [&](const char *name, const char *s, const char *k, const char *v) {
        QTest::newRow(name) << sample << QString(s) << QString(k) << QString(v);
    };
    row("plain", "Settings", "CommPort", "3");
    row("blanks around key and value", "Settings", "Setting", "9600,n,8,1");
    row("section case, blanks, text after ]", "LCD", "UID", "100");
    row("caller's spaces", "  LCD ", " uid ", "100");
    row("double quotes removed", "LCD", "PT1", "  quoted  ");
    row("single quotes removed", "LCD", "pt2", "single");
    row("mismatched quotes kept", "LCD", "PT3", "\"mismatched'");
    row("no inline comments", "LCD", "PT4", "# not a comment ; neither");
    row("split at first =", "LCD", "PT5", "a=b=c");
    row("empty value", "LCD", "PT6", "");
    row("first of duplicate keys", "LCD", "PT7", "first");
    row("empty quotes", "LCD", "PT8", "");
    row("commented key", "LCD", "PT9", "");
    row("line without =", "LCD", "just text", "");
    row("second duplicate section unread", "LCD", "Extra", "");
    row("header without ], last line unbroken", "UDC", "UCHAR1R1", "31");
    row("before first section, no section", "", "Orphan", "");
    row("before first section", "Settings", "Orphan", "");
    row("missing section", "Nope", "UID", "");
    row("missing key", "Settings", "Nope", "");

    const auto raw
        = [](const char *name, const QByteArray &file, const char *k, const QString &v,
             const char *s = "A") { QTest::newRow(name) << file << QString(s) << QString(k) << v; };
    raw("LF", "[A]\nx=1\ny=2\n", "y", "2");
    raw("CR", "[A]\rx=1\ry=2", "y", "2");
    raw("mixed endings", "[A]\r\nx=1\ry=2\nz=3", "z", "3");
    raw("CR CRLF", "[A]\r\r\nx=1", "x", "1");
    raw("tabs", "\t[\tA\t]\t\n\tx\t=\t1\t\n", "x", "1");
    raw("no byte-order mark", "\xEF\xBB\xBF[A]\r\nx=1\r\n", "x", "");
    raw("cut to 254", "[A]\r\nx=" + QByteArray(300, 'v') + "\r\n", "x", QString(254, 'v'));
    raw("quoted, cut to 254", "[A]\r\nx=\"" + QByteArray(300, 'v') + "\"", "x", QString(254, 'v'));
    raw("ANSI value", "[A]\r\nx=caf\xE9 \x80\r\n", "x", QString::fromUtf8("café €"));
    raw("ASCII case only", "[\xC4]\r\nx=1\r\n", "x", "", "\xC3\xA4"); // "ä" is not "Ä"
    raw("ANSI section", "[\xC4]\r\nx=1\r\n", "x", "1", "\xC3\x84");
    raw("empty file", "", "x", "");
}

void tst_modini::read()
{
    QFETCH(QByteArray, file);
    QFETCH(QString, section);
    QFETCH(QString, key);
    QFETCH(QString, expected);
    QCOMPARE(readIniFile(put(file), section, key), expected);
}

void tst_modini::readerSurvivesBadFiles()
{
    QCOMPARE(readIniFile(dir->filePath("missing.ini"), "A", "x"), QString());
    QVERIFY(QDir(dir->path()).mkdir("folder.ini"));
    QCOMPARE(readIniFile(dir->filePath("folder.ini"), "A", "x"), QString());
#ifdef Q_OS_UNIX
    // A FIFO would block an open() until a writer comes.
    const QString fifo = dir->filePath("fifo.ini");
    QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    QCOMPARE(readIniFile(fifo, "A", "x"), QString());
#endif

    QRandomGenerator rng(7);
    QByteArray garbage(1 << 16, '\0');
    for (char &c : garbage)
        c = char(rng.bounded(256));
    const QString path = put(garbage);
    for (int i = 0; i < 100; ++i) {
        const QByteArray name = garbage.mid(rng.bounded(garbage.size() - 8), 8);
        readIniFile(path, Ansi::decode(name), "x"); // anything but a crash
    }

    // Tens of megabytes, with the key on the last line and on one line without breaks.
    QByteArray huge = "[A]\r\n";
    huge.reserve(32 << 20);
    while (huge.size() < (30 << 20))
        huge += "some=value of a line\r\n";
    huge += "last=found";
    QCOMPARE(readIniFile(put(huge), "A", "last"), QString("found"));
    QCOMPARE(readIniFile(put("[A]\r\nx=" + QByteArray(30 << 20, 'v')), "A", "x"),
             QString(254, 'v'));
}

void tst_modini::write_data()
{
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QString>("section");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QByteArray>("after");

    const auto row = [](const char *name, const QByteArray &before, const char *s, const char *k,
                        const char *v, const QByteArray &after) {
        QTest::newRow(name) << before << QString(s) << QString(k) << QString(v) << after;
    };
    row("replace keeps spacing, comments", "; c\r\n[UDC]\r\n  UCHAR1R1 =  7  \r\nUCHAR1R2=8\r\n",
        "UDC", "UCHAR1R1", "31", "; c\r\n[UDC]\r\n  UCHAR1R1 =  31\r\nUCHAR1R2=8\r\n");
    row("replace on LF line", "[A]\nx=1\ny=2\n", "A", "x", "10", "[A]\nx=10\ny=2\n");
    row("replace on CR lines", "[A]\rx=1\ry=2", "A", "y", "22", "[A]\rx=1\ry=22");
    row("replace last line unbroken", "[A]\r\nx=1", "A", "x", "2", "[A]\r\nx=2");
    row("replace empty value", "[A]\r\nx=\r\n", "A", "x", "5", "[A]\r\nx=5\r\n");
    row("replace with empty value", "[A]\r\nx=5\r\n", "A", "x", "", "[A]\r\nx=\r\n");
    row("first of duplicate keys", "[A]\r\nx=1\r\nX=2\r\n", "A", "x", "3", "[A]\r\nx=3\r\nX=2\r\n");
    row("first of duplicate sections", "[A]\r\nx=1\r\n[B]\r\n[a]\r\nx=2\r\n", "A", "x", "3",
        "[A]\r\nx=3\r\n[B]\r\n[a]\r\nx=2\r\n");
    row("names by case and blanks", "[ udc ]\r\n ucHar1r1=0\r\n", " UDC ", "UCHAR1R1 ", "4",
        "[ udc ]\r\n ucHar1r1=4\r\n");
    row("value verbatim", "[A]\r\nx=1\r\n", "A", "x", "#1 ; 'x", "[A]\r\nx=#1 ; 'x\r\n");
    row("bytes before first section", "junk\r\n x=1\r\n[A]\r\nx=1\r\n", "A", "x", "2",
        "junk\r\n x=1\r\n[A]\r\nx=2\r\n");
    row("new key after last key line", "[A]\r\nx=1\r\n\r\n; next\r\n[B]\r\ny=2\r\n", "A", "z", "9",
        "[A]\r\nx=1\r\nz=9\r\n\r\n; next\r\n[B]\r\ny=2\r\n");
    row("new key before text line", "[A]\nx=1\ntext\n", "A", "z", "9", "[A]\nx=1\nz=9\r\ntext\n");
    row("new key in section without keys", "[A]\r\n; only a comment\r\n[B]\r\n", "A", "z", "9",
        "[A]\r\nz=9\r\n; only a comment\r\n[B]\r\n");
    row("new key after unbroken last line", "[A]\r\nx=1", "A", "z", "9", "[A]\r\nx=1\r\nz=9\r\n");
    row("new key in first duplicate section", "[A]\r\nx=1\r\n[A]\r\ny=2\r\n", "A", "y", "3",
        "[A]\r\nx=1\r\ny=3\r\n[A]\r\ny=2\r\n");
    row("new section at end", "[A]\nx=1\n", "B", "y", "2", "[A]\nx=1\n[B]\r\ny=2\r\n");
    row("new section, file unbroken", "; c\r\n[A]\r\nx=1", " B ", "y", "2",
        "; c\r\n[A]\r\nx=1\r\n[B]\r\ny=2\r\n");
    row("new section after CR", "[A]\rx=1\r", "B", "y", "2", "[A]\rx=1\r[B]\r\ny=2\r\n");
    row("byte-order mark is no section", "\xEF\xBB\xBF[A]\r\nx=1\r\n", "A", "x", "2",
        "\xEF\xBB\xBF[A]\r\nx=1\r\n[A]\r\nx=2\r\n");
    row("empty file", "", "B", "y", "2", "[B]\r\ny=2\r\n");
}

void tst_modini::write()
{
    QFETCH(QByteArray, before);
    QFETCH(QString, section);
    QFETCH(QString, key);
    QFETCH(QString, value);
    QFETCH(QByteArray, after);
    const QString path = put(before);
    QVERIFY(writeIniFile(path, section, key, value));
    QCOMPARE(bytesOf(path), after);
    QCOMPARE(readIniFile(path, section, key), value);
}

void tst_modini::missingFileIsCreatedExactly()
{
    const QString path = dir->filePath("new.ini");
    QVERIFY(writeIniFile(path, "UDC", "UCHAR1R1", "31"));
    QCOMPARE(bytesOf(path), QByteArray("[UDC]\r\nUCHAR1R1=31\r\n"));

    // Saving a character twice leaves one line per row, with the later values.
    QByteArray expected = "[UDC]\r\n";
    for (int pass = 0; pass < 2; ++pass) {
        for (int r = 1; r <= 8; ++r)
            QVERIFY(writeIniFile(path, "UDC", QString("UCHAR1R%1").arg(r),
                                 QString::number(r * 3 + pass)));
    }
    for (int r = 1; r <= 8; ++r)
        expected
            += "UCHAR1R" + QByteArray::number(r) + '=' + QByteArray::number(r * 3 + 1) + "\r\n";
    QCOMPARE(bytesOf(path), expected);
}

void tst_modini::refused_data()
{
    QTest::addColumn<QString>("section");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");
    QTest::newRow("value LF") << "A"
                              << "x"
                              << "1\n[B]";
    QTest::newRow("value CR") << "A"
                              << "x"
                              << "1\r";
    QTest::newRow("value CRLF") << "A"
                                << "x"
                                << "1\r\ny=2";
    QTest::newRow("value NUL") << "A"
                               << "x" << QString::fromLatin1("1\0002", 3);
    QTest::newRow("section ]") << "A]x"
                               << "x"
                               << "1";
    QTest::newRow("section LF") << "A\nB"
                                << "x"
                                << "1";
    QTest::newRow("section empty") << ""
                                   << "x"
                                   << "1";
    QTest::newRow("section blank") << " \t "
                                   << "x"
                                   << "1";
    QTest::newRow("key =") << "A"
                           << "x=y"
                           << "1";
    QTest::newRow("key CR") << "A"
                            << "x\r"
                            << "1";
    QTest::newRow("key empty") << "A"
                               << "  "
                               << "1";
    QTest::newRow("key like a header") << "A"
                                       << "[B]"
                                       << "1";
    QTest::newRow("key like a comment") << "A"
                                        << ";x"
                                        << "1";
}

void tst_modini::refused()
{
    QFETCH(QString, section);
    QFETCH(QString, key);
    QFETCH(QString, value);
    const QByteArray old = "[A]\r\nx=0\r\n";
    const QString path = put(old);
    QVERIFY(!writeIniFile(path, section, key, value));
    QCOMPARE(bytesOf(path), old);
    QVERIFY(!writeIniFile(dir->filePath("none.ini"), section, key, value));
    QVERIFY(!QFile::exists(dir->filePath("none.ini")));
}

void tst_modini::failedWriteKeepsOldFile()
{
    const QString noFolder = dir->filePath("absent/tessaline.ini");
    QVERIFY(!writeIniFile(noFolder, "A", "x", "1"));
    QVERIFY(!QFileInfo::exists(dir->filePath("absent")));

    QVERIFY(QDir(dir->path()).mkdir("folder.ini"));
    QVERIFY(!writeIniFile(dir->filePath("folder.ini"), "A", "x", "1"));
    QVERIFY(QFileInfo(dir->filePath("folder.ini")).isDir());

#ifdef Q_OS_UNIX
    // A full disk, as a file-size limit (which binds root too): the new file cannot be written.
    const QByteArray old = "; keep me\r\n[A]\r\nx=0\r\n";
    const QString path = put(old, "full.ini");
    rlimit saved;
    QCOMPARE(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = 1024;
    QCOMPARE(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const bool written = writeIniFile(path, "A", "x", QString(200, 'v') + "end");
    const bool longer = writeIniFile(path, "A", "y", QString(200, 'w'));
    const bool refits = writeIniFile(path, "B", "z", QString(2000, 'w'));
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);
    QVERIFY(written && longer); // still under the limit
    QVERIFY(!refits);
    QCOMPARE(readIniFile(path, "A", "x"), QString(200, 'v') + "end");
    QVERIFY(bytesOf(path).startsWith("; keep me\r\n[A]\r\nx="));
    QVERIFY(!bytesOf(path).contains("[B]"));
    // No temporary file is left beside it.
    QCOMPARE(QDir(dir->path()).entryList(QDir::Files | QDir::Hidden), QStringList {"full.ini"});
#endif
}

#ifdef Q_OS_UNIX
static mode_t mode(const QString &path)
{
    struct stat st;
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_mode & 07777 : 0;
}
#endif

void tst_modini::keepsFileAttributes()
{
#ifdef Q_OS_UNIX
    const QString path = put("[A]\r\nx=1\r\n");
    QVERIFY(QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup));
    const bool root = ::geteuid() == 0;
    if (root)
        QCOMPARE(::chown(QFile::encodeName(path).constData(), 4321, 4322), 0);
    QVERIFY(writeIniFile(path, "A", "x", "2"));
    QCOMPARE(mode(path), mode_t(0640));
    if (root) {
        QCOMPARE(QFileInfo(path).ownerId(), 4321u);
        QCOMPARE(QFileInfo(path).groupId(), 4322u);
    }

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
#else
    QSKIP("Unix file modes");
#endif
}

void tst_modini::appFolder()
{
    const QString folder = AppFolder();
    QCOMPARE(folder,
             QDir::toNativeSeparators(QCoreApplication::applicationDirPath()) + QDir::separator());
    QCOMPARE(IniPath(), folder + "tessaline.ini");

    const QString file = QCoreApplication::applicationDirPath() + "/tessaline.ini";
    QFile::remove(file);
    QCOMPARE(ReadIniValue("LCD", "UID"), QString());
    QVERIFY(WriteIniValue("LCD", "UID", "100"));
    QVERIFY(WriteIniValue("LCD", "PT1", QString::fromUtf8("Größe 5 €")));
    QCOMPARE(bytesOf(file), QByteArray("[LCD]\r\nUID=100\r\nPT1=Gr\xF6\xDF\x65 5 \x80\r\n"));
    QCOMPARE(ReadIniValue(" lcd", "uid "), QString("100"));
    QCOMPARE(ReadIniValue("LCD", "PT1"), QString::fromUtf8("Größe 5 €"));
    QVERIFY(QFile::remove(file));
}

void tst_modini::randomEdits()
{
    // Random files of headers, keys, comments, blank and stray lines with every line ending;
    // a write must change only its own line, keep every other key, and read back.
    QRandomGenerator rng(20240611);
    const QByteArrayList sections = {"A", "udc", "Settings", "LCD"};
    const QByteArrayList keys = {"x", "Y", "UCHAR1R1", "pt1"};
    const auto coin = [&](int n) { return rng.bounded(n) == 0; };
    const auto blanks = [&] { return QByteArray(rng.bounded(3), coin(2) ? ' ' : '\t'); };
    const auto cased = [&](QByteArray name) {
        for (char &c : name) {
            if (QChar::isLetter(c) && coin(2))
                c ^= 0x20; // ASCII letters only
        }
        return name;
    };
    const auto bytes = [&](int max, bool breaks) {
        QByteArray out(rng.bounded(max + 1), '\0');
        for (char &c : out) {
            do
                c = char(rng.bounded(256));
            while (!breaks && (c == '\r' || c == '\n'));
        }
        return out;
    };
    const auto randomValue = [&] {
        QByteArray v;
        for (int n = rng.bounded(300); v.size() < n;) {
            const char c = char(1 + rng.bounded(255));
            if (c != '\r' && c != '\n')
                v += c;
        }
        // Blanks or a pair of quotes at its edges would be trimmed off when read.
        while (!v.isEmpty() && (v.front() == ' ' || v.front() == '\t' || v.front() == '"'))
            v.remove(0, 1);
        while (!v.isEmpty() && (v.back() == ' ' || v.back() == '\t' || v.back() == '\''))
            v.chop(1);
        return v;
    };
    const QByteArrayList endings = {"\r\n", "\n", "\r"};

    for (int round = 0; round < 3000; ++round) {
        QByteArray before;
        if (coin(10)) {
            before = bytes(200, true);
        } else {
            for (int n = rng.bounded(25); n > 0; --n) {
                switch (rng.bounded(7)) {
                case 0:
                case 1:
                    before += blanks() + '[' + blanks() + cased(sections[rng.bounded(4)]) + blanks()
                        + (coin(5) ? QByteArray() : "]" + bytes(3, false));
                    break;
                case 2:
                case 3:
                    before += blanks() + cased(keys[rng.bounded(4)]) + blanks() + '=' + blanks()
                        + bytes(8, false) + blanks();
                    break;
                case 4:
                    before += ';' + bytes(10, false);
                    break;
                case 5:
                    before += blanks();
                    break;
                default:
                    before += bytes(10, false);
                }
                if (n > 1 || !coin(4))
                    before += endings[rng.bounded(3)];
            }
        }
        const int si = rng.bounded(4), ki = rng.bounded(4);
        const QByteArray s = blanks() + cased(sections[si]) + blanks();
        const QByteArray k = blanks() + cased(keys[ki]) + blanks();
        const QByteArray v = randomValue();

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
        const QByteArray added = after.mid(head, after.size() - head - tail);
        QVERIFY2(!removed.contains('\r') && !removed.contains('\n'), before.toPercentEncoding());
        QVERIFY(added.count('\n') <= 3);

        for (int so = 0; so < 4; ++so) {
            for (int ko = 0; ko < 4; ++ko) {
                if (so != si || ko != ki)
                    QCOMPARE(IniText::read(after, sections[so], keys[ko]),
                             IniText::read(before, sections[so], keys[ko]));
            }
        }

        if (round % 10 == 0) { // the same through the file
            const QString path = put(before);
            QVERIFY(writeIniFile(path, Ansi::decode(s), Ansi::decode(k), Ansi::decode(v)));
            QCOMPARE(bytesOf(path), after);
            QCOMPARE(readIniFile(path, Ansi::decode(s), Ansi::decode(k)),
                     Ansi::decode(v.left(IniText::MaxValue)));
        }
    }
}

void tst_modini::largeFile()
{
    // The configuration window's 72 reads on a 10,000-line file, their keys at its end.
    QByteArray text = "; a large file\r\n";
    for (int i = 0; text.count('\n') < 9900; ++i)
        text += "[Other" + QByteArray::number(i) + "]\r\nName=Value " + QByteArray::number(i)
            + "\r\n; comment\r\n\r\n";
    text += "[UDC]\r\n";
    for (int c = 1; c <= 8; ++c) {
        for (int r = 1; r <= 8; ++r)
            text += "UCHAR" + QByteArray::number(c) + 'R' + QByteArray::number(r) + '='
                + QByteArray::number(c + r) + "\r\n";
    }
    text += "[LCD]\r\n";
    for (int n = 1; n <= 8; ++n)
        text += "PT" + QByteArray::number(n) + "=Text " + QByteArray::number(n) + "\r\n";
    const QString path = put(text);

    // Keys at the end of a large file are found, as the configuration window reads them.
    for (int c = 1; c <= 8; ++c) {
        for (int r = 1; r <= 8; ++r)
            QCOMPARE(readIniFile(path, "UDC", QString("UCHAR%1R%2").arg(c).arg(r)),
                     QString::number(c + r));
    }
    for (int n = 1; n <= 8; ++n)
        QCOMPARE(readIniFile(path, "LCD", QString("PT%1").arg(n)), QString("Text %1").arg(n));
}

void tst_modini::deliveredFile()
{
    const QString path = QFINDTESTDATA("../dist/tessaline.ini");
    QVERIFY(!path.isEmpty());
    const QByteArray text = bytesOf(path);
    QVERIFY(text.endsWith("\r\n"));
    QCOMPARE(text.count('\r'), text.count("\r\n"));
    QCOMPARE(text.count('\n'), text.count("\r\n"));

    QCOMPARE(readIniFile(path, "Settings", "CommPort"), QString("1"));
    QCOMPARE(readIniFile(path, "Settings", "Setting"), QString("9600,n,8,1"));
    QCOMPARE(readIniFile(path, "LCD", "UID"), QString("100"));
    for (int n = 1; n <= 8; ++n) {
        const QString pt = readIniFile(path, "LCD", QString("PT%1").arg(n));
        QVERIFY2(!pt.isEmpty() && pt.size() <= 20 && Ansi::decode(Ansi::encode(pt)) == pt,
                 qPrintable(pt));
    }
    for (int c = 1; c <= 8; ++c) {
        int pixels = 0;
        for (int r = 1; r <= 8; ++r) {
            bool ok = false;
            const int row
                = readIniFile(path, "UDC", QString("UCHAR%1R%2").arg(c).arg(r)).toInt(&ok);
            QVERIFY(ok && row >= 0 && row <= 31);
            pixels += row;
        }
        QVERIFY(pixels > 0); // every character draws something
    }
}

QTEST_GUILESS_MAIN(tst_modini)
#include "tst_modini.moc"
