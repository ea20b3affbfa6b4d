#pragma once

#include "display/selection.h"

class QString;

// What the panels of the main window use of it: besides the program-wide variables, the send
// routine with its trace and the tick wait (FrameLink), the status bar's first panel, the
// command panel, and the word to the operator when a command sends nothing.
class MainLink : public FrameLink
{
public:
    virtual void setSelectionStatus(const QString &text) = 0;
    virtual void setCommandsEnabled(bool enabled) = 0;
    // A command refused: the reason shows in the second status panel until the next frame.
    virtual void refuse(const QString &why) = 0;

protected:
    ~MainLink() = default;
};
