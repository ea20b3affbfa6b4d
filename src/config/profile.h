#pragma once

#include "display/protocol.h"

#include <QString>

#include <array>
#include <optional>

// A module's whole setup in one file, in the settings file's own format: the stored texts in
// [LCD] PT1 to PT8, the user-defined characters in [UDC] UCHAR1R1 to UCHAR8R8, and a section
// [Module] with the P2 lines' directions IO1 to IO8 (OUTPUT or INPUT), StartupScreen (1 or 0),
// and the module's new address UID (101 to 132) and speed Baud (4800 or 9600), each of these
// two empty to leave it as it is. The configuration window exports and imports it; the command
// line provisions a module from it.
struct Profile
{
    std::array<QString, Bus::Texts> texts; // at most 20 characters each
    bool startupScreen = false;
    quint8 directions = 0xFF; // bit i set: line i + 1 is an output
    std::array<quint8, Bus::CharTableSize> chars {};
    std::optional<quint8> uid;
    std::optional<int> baud;
};

namespace Profiles {

// Reads a profile. False, with the first problem in `problem` ("[Module] IO3 = "up" is neither
// OUTPUT nor INPUT"), when the file cannot be read or a value is missing or wrong: nothing of a
// faulty file is used.
bool read(const QString &path, Profile &profile, QString &problem);

// Writes the profile's keys in one replacement of the file, creating it when missing; the other
// sections and keys of a file that is there stay. Texts are quoted, so that their blanks stay.
// False, and the file as it was, when the write failed.
bool write(const QString &path, const Profile &profile);

} // namespace Profiles
