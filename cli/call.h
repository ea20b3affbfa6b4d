#pragma once

#include "display/protocol.h"

#include <QList>
#include <QString>
#include <QStringList>

// One run of tessaline-cli as its command line asks for it: where the line is, and the steps in
// the order given. Every step but a selection, a deselection and a scan needs a selected module.
struct Step
{
    enum class Kind {
        Select, // the select exchange; the module must answer
        Deselect, // DeselectDevice and the wait
        Scan, // the select exchange for every address, then the bus as it was
        Send, // the frames, one write each, as the controls send them
        StoreTexts, // eight stored texts and the start-up-screen frame, as "Send" sends them
        SetBaud, // the frame, a pause, then the line at the new rate
        SetUid, // the frame; the module answers at the new address from then on
    };
    Kind kind;
    QList<Protocol::Frame> frames;
    int value = 0; // SetBaud: the rate; SetUid: the address
};

struct Call
{
    // Where unset (0, empty), the settings file's value, as the windows read it.
    int port = 0;
    QString device; // instead of a port number
    int baud = 0;
    int address = 0;
    bool noSelect = false; // no selection before the commands that need one
    bool verbose = false; // each frame in hex with its name
    bool dryRun = false; // the frames printed, no port opened
    QList<Step> steps;
};

// What the command line asks for: a run, the help or the version, or an error (exit status 1)
// that the usage line follows when it lies in the arguments rather than in a file they name.
struct Parsed
{
    enum class Outcome { Run, Help, Version, Error };
    Outcome outcome = Outcome::Run;
    Call call;
    QString error;
    bool usage = false;
};

// Reads the arguments after the program's name. Files named (a profile, characters) are read
// here, so that a faulty one stops the run before anything is sent.
Parsed parseCall(const QStringList &arguments);

// The steps of provisioning a module from a profile file, in the order that never strands it:
// texts and start-up screen, characters, I/O directions, the EEPROM save, then the new speed and
// the new address, each followed by a selection that shows the module still answers (the
// selections come with the steps that need one), and a second save that keeps them. False, with
// why, when the file cannot be read or holds a wrong value.
bool provisionSteps(const QString &path, QList<Step> &steps, QString &problem);

// "usage: tessaline-cli ..." and the help text of --help.
QString usageLine();
QString helpText();
