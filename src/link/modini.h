#pragma once

#include <QList>
#include <QString>
#include <QStringList>

// The settings file "tessaline.ini": private-profile (INI) text in the ANSI code page, read and
// edited in place so that an operator's file keeps its comments, order, spacing and line
// endings (format in link/initext.h, the safe rewrite in link/safefile.h). Every call goes to
// the file; nothing is cached.

// The program's folder, ending in the platform's separator.
QString AppFolder();
// The settings file's folder, ending in the separator: the program's folder when a
// tessaline.ini stands there (the build folder, a portable copy, Windows), else the user's
// $XDG_CONFIG_HOME/tessaline (~/.config/tessaline by default). Its ports/ holds the port links.
QString SettingsFolder();
// SettingsFolder() + "tessaline.ini".
QString IniPath();
// The delivered file, installed read-only as <prefix>/share/tessaline/tessaline.ini beside the
// program's <prefix>/bin.
QString TemplatePath();
// First start: when there is no settings file yet, creates its folder and copies the template
// there. False when there is still none (no template, a folder that cannot be written); the
// program then runs on the fallbacks of a missing file.
bool CreateSettingsFile();

struct IniKey
{
    QString section;
    QString key;
};

struct IniEntry
{
    QString key;
    QString value;
};

// The value of a key, or the empty string when the file, section or key is absent or empty.
QString ReadIniValue(const QString &section, const QString &key);
// Several keys from one read of the file, in the order asked.
QStringList ReadIniValues(const QList<IniKey> &keys);
// The keys that the windows and tessaline-cli start from, in one read of the file.
struct StartupSettings
{
    QString commPort; // [Settings] CommPort, as stored
    QString setting; // [Settings] Setting, "4800,n,8,1" or "9600,n,8,1"
    QString uid; // [LCD] UID

    // 9600 when Setting names it, else 4800 (an absent or damaged key included).
    int baud() const;
};
StartupSettings ReadStartupSettings();
// A number of the start-up settings: the value when it is a whole number within [low, high],
// else the fallback, with a warning on stderr naming the program and the key.
int StartupNumber(const char *key, const QString &text, int low, int high, int fallback);

// Sets a key, creating the file and section when missing. False when the write failed or was
// refused (a value, section or key that would break the file's lines); the old file then stays.
bool WriteIniValue(const QString &section, const QString &key, const QString &value);
// Sets several keys of one section in one replacement of the file: all of them, or (false)
// none.
bool WriteIniValues(const QString &section, const QList<IniEntry> &entries);

// The same on any path, for the routines above and for tests.
QString readIniFile(const QString &path, const QString &section, const QString &key);
QStringList readIniFile(const QString &path, const QList<IniKey> &keys);
bool writeIniFile(const QString &path, const QString &section, const QString &key,
                  const QString &value);
bool writeIniFile(const QString &path, const QString &section, const QList<IniEntry> &entries);
