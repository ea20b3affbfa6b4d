#include "config/profile.h"

#include "chars/chartable.h"
#include "link/ansi.h"
#include "link/initext.h"
#include "link/modini.h"
#include "link/safefile.h"

#include <QFile>

namespace {

const QString Texts = QStringLiteral("LCD");
const QString Characters = QStringLiteral("UDC");
const QString Module = QStringLiteral("Module");
const QString Output = QStringLiteral("OUTPUT");
const QString Input = QStringLiteral("INPUT");

QString textKey(int n)
{
    return QStringLiteral("PT%1").arg(n);
}

QString lineKey(int line)
{
    return QStringLiteral("IO%1").arg(line);
}

QString wrong(const QString &section, const QString &key, const QString &value, const char *why)
{
    return QStringLiteral("[%1] %2 = \"%3\" %4").arg(section, key, value, QLatin1String(why));
}

} // namespace

namespace Profiles {

bool read(const QString &path, Profile &profile, QString &problem)
{
    // Told apart from an empty file, which reads as one without keys.
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        problem = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return false;
    }
    file.close();
    QList<IniKey> keys = CharTableKeys();
    for (int n = 1; n <= Bus::Texts; ++n)
        keys.append({Texts, textKey(n)});
    for (int line = 1; line <= Bus::Lines; ++line)
        keys.append({Module, lineKey(line)});
    for (const char *key : {"StartupScreen", "UID", "Baud"})
        keys.append({Module, QLatin1String(key)});
    const QStringList values = readIniFile(path, keys);
    qsizetype at = 0;
    const auto next = [&] { return values.value(at++).trimmed(); };

    Profile p;
    problem.clear();
    ParseCharTable(p.chars, values.mid(0, Bus::CharTableSize), [&](const QString &why) {
        if (problem.isEmpty())
            problem = why;
    });
    if (!problem.isEmpty())
        return false;
    at = Bus::CharTableSize;
    for (int n = 1; n <= Bus::Texts; ++n) {
        // Read as written, blanks and all: a text is quoted when they matter.
        const QString text = values.value(at++);
        if (text.size() > Protocol::StoreTextMax) {
            problem = wrong(Texts, textKey(n), text, "is longer than 20 characters");
            return false;
        }
        p.texts[size_t(n - 1)] = text;
    }
    p.directions = 0;
    for (int line = 1; line <= Bus::Lines; ++line) {
        const QString direction = next();
        if (direction.compare(Output, Qt::CaseInsensitive) == 0)
            p.directions |= quint8(1u << (line - 1));
        else if (direction.compare(Input, Qt::CaseInsensitive) != 0) {
            problem = wrong(Module, lineKey(line), direction, "is neither OUTPUT nor INPUT");
            return false;
        }
    }
    const QString startup = next();
    if (startup != QLatin1String("0") && startup != QLatin1String("1")) {
        problem = wrong(Module, QStringLiteral("StartupScreen"), startup, "is neither 1 nor 0");
        return false;
    }
    p.startupScreen = startup == QLatin1String("1");
    bool isNumber = false;
    if (const QString uid = next(); !uid.isEmpty()) {
        const int address = uid.toInt(&isNumber);
        if (!isNumber || address < Bus::FirstUid || address > Bus::LastAddress) {
            problem
                = wrong(Module, QStringLiteral("UID"), uid, "is not an address from 101 to 132");
            return false;
        }
        p.uid = quint8(address);
    }
    if (const QString baud = next(); !baud.isEmpty()) {
        const int rate = baud.toInt(&isNumber);
        if (!isNumber || (rate != 4800 && rate != 9600)) {
            problem = wrong(Module, QStringLiteral("Baud"), baud, "is neither 4800 nor 9600");
            return false;
        }
        p.baud = rate;
    }
    profile = p;
    return true;
}

bool write(const QString &path, const Profile &profile)
{
    QList<IniText::Entry> texts, characters, module;
    for (int n = 1; n <= Bus::Texts; ++n)
        texts.append(
            {textKey(n).toLatin1(), '"' + Ansi::encode(profile.texts[size_t(n - 1)]) + '"'});
    const QList<IniKey> keys = CharTableKeys();
    for (int i = 0; i < Bus::CharTableSize; ++i)
        characters.append({keys[i].key.toLatin1(), QByteArray::number(profile.chars[size_t(i)])});
    for (int line = 1; line <= Bus::Lines; ++line)
        module.append({lineKey(line).toLatin1(),
                       (profile.directions & (1u << (line - 1)) ? Output : Input).toLatin1()});
    module.append({"StartupScreen", QByteArray(profile.startupScreen ? "1" : "0")});
    module.append({"UID", profile.uid ? QByteArray::number(*profile.uid) : QByteArray()});
    module.append({"Baud", profile.baud ? QByteArray::number(*profile.baud) : QByteArray()});
    return SafeFile::rewrite(path, [&](const QByteArray &content) {
        QByteArray edited = IniText::write(content, Texts.toLatin1(), texts);
        if (!edited.isNull())
            edited = IniText::write(edited, Characters.toLatin1(), characters);
        if (!edited.isNull())
            edited = IniText::write(edited, Module.toLatin1(), module);
        return edited;
    });
}

} // namespace Profiles
