#include "link/modini.h"

#include "link/ansi.h"
#include "link/initext.h"
#include "link/safefile.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

#include <cstdio>

namespace {

constexpr char IniName[] = "tessaline.ini";

QString withSeparator(const QString &folder)
{
    QString native = QDir::toNativeSeparators(folder);
    if (!native.isEmpty() && !native.endsWith(QDir::separator()))
        native += QDir::separator();
    return native;
}

// A link counts as standing there even when its target is still to be made.
bool present(const QString &path)
{
    const QFileInfo info(path);
    return info.exists() || info.isSymLink();
}

QString userConfigFolder()
{
#if defined(Q_OS_UNIX) && !defined(Q_OS_DARWIN)
    // A relative $XDG_CONFIG_HOME is to be ignored, as the base-directory rules say.
    const QString home = qEnvironmentVariable("XDG_CONFIG_HOME");
    return QDir::isAbsolutePath(home) ? home : QDir::homePath() + QStringLiteral("/.config");
#else
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
#endif
}

} // namespace

QString AppFolder()
{
    // Empty only when there is no application object to ask.
    return withSeparator(QCoreApplication::applicationDirPath());
}

QString SettingsFolder()
{
    const QString beside = AppFolder();
    if (!beside.isEmpty() && present(beside + QLatin1String(IniName)))
        return beside;
    return withSeparator(userConfigFolder() + QStringLiteral("/tessaline"));
}

QString IniPath()
{
    return SettingsFolder() + QLatin1String(IniName);
}

QString TemplatePath()
{
    return QDir::toNativeSeparators(
        QDir::cleanPath(AppFolder() + QStringLiteral("../share/tessaline/") + IniName));
}

bool CreateSettingsFile()
{
    const QString path = IniPath();
    if (present(path))
        return true;
    QByteArray content;
    // Never over a file made in between; the copy gets the mode that the umask allows, not the
    // template's read-only one.
    return QDir().mkpath(SettingsFolder()) && SafeFile::read(TemplatePath(), content)
        && SafeFile::create(path, content);
}

QString ReadIniValue(const QString &section, const QString &key)
{
    return readIniFile(IniPath(), section, key);
}

QStringList ReadIniValues(const QList<IniKey> &keys)
{
    return readIniFile(IniPath(), keys);
}

StartupSettings ReadStartupSettings()
{
    const QStringList v = ReadIniValues({{QStringLiteral("Settings"), QStringLiteral("CommPort")},
                                         {QStringLiteral("Settings"), QStringLiteral("Setting")},
                                         {QStringLiteral("LCD"), QStringLiteral("UID")}});
    return {v[0], v[1], v[2]};
}

int StartupSettings::baud() const
{
    return setting.left(4) == QLatin1String("9600") ? 9600 : 4800;
}

int StartupNumber(const char *key, const QString &text, int low, int high, int fallback)
{
    bool ok = false;
    const int value = text.trimmed().toInt(&ok);
    if (ok && value >= low && value <= high)
        return value;
    std::fprintf(stderr, "%s: settings key %s holds \"%s\", not a number from %d to %d; using %d\n",
                 qPrintable(QCoreApplication::applicationName()), key, qPrintable(text), low, high,
                 fallback);
    return fallback;
}

bool WriteIniValue(const QString &section, const QString &key, const QString &value)
{
    return writeIniFile(IniPath(), section, key, value);
}

bool WriteIniValues(const QString &section, const QList<IniEntry> &entries)
{
    return writeIniFile(IniPath(), section, entries);
}

QString readIniFile(const QString &path, const QString &section, const QString &key)
{
    return readIniFile(path, QList<IniKey> {{section, key}}).front();
}

QStringList readIniFile(const QString &path, const QList<IniKey> &keys)
{
    QByteArray content;
    if (!SafeFile::read(path, content))
        content.clear(); // a file that cannot be read reads as an absent one
    QList<IniText::Key> asked;
    asked.reserve(keys.size());
    for (const IniKey &k : keys)
        asked.append({Ansi::encode(k.section), Ansi::encode(k.key)});
    QStringList values;
    values.reserve(keys.size());
    for (const QByteArray &value : IniText::read(content, asked))
        values << Ansi::decode(value);
    return values;
}

bool writeIniFile(const QString &path, const QString &section, const QString &key,
                  const QString &value)
{
    return writeIniFile(path, section, QList<IniEntry> {{key, value}});
}

bool writeIniFile(const QString &path, const QString &section, const QList<IniEntry> &entries)
{
    const QByteArray s = Ansi::encode(section);
    QList<IniText::Entry> encoded;
    encoded.reserve(entries.size());
    for (const IniEntry &e : entries)
        encoded.append({Ansi::encode(e.key), Ansi::encode(e.value)});
    return SafeFile::rewrite(
        path, [&](const QByteArray &content) { return IniText::write(content, s, encoded); });
}
