#include "display/commandpanel.h"
#include "ui_commandpanel.h"

#include "display/frames.h"
#include "link/ansi.h"
#include "shell/forms.h"
#include "shell/mainlink.h"
#include "shell/modvariables.h"

#include <QButtonGroup>
#include <QKeyEvent>

using Bus::Columns;
using Bus::Rows;

CommandPanel::CommandPanel(QWidget *parent)
    : QGroupBox(parent)
    , ui(std::make_unique<Ui::CommandPanel>())
{
    ui->setupUi(this);
    QFont big = formFont();
    big.setPointSizeF(14.25);
    ui->txtASCIIInput->setFont(big);
    ui->txtASCIIInput->installEventFilter(this);

    connect(group("cmdCtrl", 3), &QButtonGroup::idClicked, this, &CommandPanel::cmdCtrl_Click);
    connect(group("cmdBackLight", 2), &QButtonGroup::idClicked, this,
            &CommandPanel::cmdBackLight_Click);
    connect(group("cmdCC", 8), &QButtonGroup::idClicked, this, &CommandPanel::cmdCC_Click);
    connect(group("cmdOut", 2), &QButtonGroup::idClicked, this, &CommandPanel::cmdOut_Click);
    connect(ui->cmdSetCursor, &QPushButton::clicked, this, &CommandPanel::cmdSetCursor_Click);
    connect(ui->cmdCurPos, &QPushButton::clicked, this, &CommandPanel::cmdCurPos_Click);
    connect(ui->cmdClrRow, &QPushButton::clicked, this, &CommandPanel::cmdClrRow_Click);
    connect(ui->cmdClrCol, &QPushButton::clicked, this, &CommandPanel::cmdClrCol_Click);
    connect(ui->cmdBLFlash, &QPushButton::clicked, this, &CommandPanel::cmdBLFlash_Click);
    connect(ui->cmdLoadCC, &QPushButton::clicked, this, &CommandPanel::cmdLoadCC_Click);
    connect(ui->cmdPT, &QPushButton::clicked, this, &CommandPanel::cmdPT_Click);
    connect(ui->cmdout1, &QPushButton::clicked, this, &CommandPanel::cmdout1_Click);
}

CommandPanel::~CommandPanel() = default;

// One group per control array; the id of each element is its Index.
QButtonGroup *CommandPanel::group(const char *name, int count)
{
    auto *g = new QButtonGroup(this);
    for (int i = 0; i < count; ++i) {
        auto *button
            = findChild<QAbstractButton *>(QStringLiteral("%1_%2").arg(QLatin1String(name)).arg(i));
        g->addButton(button, i);
    }
    return g;
}

void CommandPanel::load()
{
    for (int i = 0; i < Rows; ++i) {
        ui->cboRow->addItem(QString::number(i));
        ui->cboRow1->addItem(QString::number(i));
    }
    for (int i = 0; i < Columns; ++i)
        ui->cboColumn->addItem(QString::number(i));
    for (int i = 0; i < Bus::Lines; ++i)
        ui->cboOutput->addItem(QString::number(i));
    for (int i = 1; i <= Bus::Texts; ++i)
        ui->cboPT->addItem(QString::number(i));
    ui->cboPT->setCurrentIndex(0);
    ui->cboSta->addItems({QStringLiteral("ON"), QStringLiteral("OFF")});
    for (QComboBox *list : {ui->cboOutput, ui->cboSta, ui->cboRow, ui->cboRow1, ui->cboColumn})
        list->setCurrentIndex(0);
    ui->cboCursor->addItems(
        {QStringLiteral("Underscore"), QStringLiteral("Blinking"), QStringLiteral("Hidden")});
    ui->cboCursor->setCurrentIndex(0);
}

// Loads the frames into TxBuffer and sends them with their trace.
void CommandPanel::send(const QList<Protocol::Frame> &frames)
{
    m_link->SendFrame(m_link->vars().putFrames(frames));
}

bool CommandPanel::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == ui->txtASCIIInput && event->type() == QEvent::KeyPress)
        txtASCIIInput_KeyPress(static_cast<QKeyEvent *>(event)->text());
    return QGroupBox::eventFilter(watched, event);
}

// Every printable key goes out the moment it is pressed; the box then receives the key as
// usual, so it always shows the last character typed.
void CommandPanel::txtASCIIInput_KeyPress(const QString &text)
{
    ui->txtASCIIInput->clear();
    const QList<uint> codes = text.toUcs4();
    if (codes.size() != 1 || codes.front() <= 31 || codes.front() == 127)
        return;
    send(Frames::TextChar(Ansi::toByte(codes.front())));
}

void CommandPanel::cmdCtrl_Click(int index)
{
    static const Protocol::Frame codes[]
        = {Frames::CursorHomeCode(), Frames::NextLineCode(), Frames::ClearCode()};
    send(codes[index]);
}

// The list handlers below send nothing when a list's text names no item.
void CommandPanel::cmdSetCursor_Click()
{
    const int type = listIndex(ui->cboCursor);
    if (type >= 0)
        send(Frames::CursorType(quint8(type + 1)));
}

void CommandPanel::cmdCurPos_Click()
{
    const int row = listIndex(ui->cboRow);
    const int column = listIndex(ui->cboColumn);
    if (row >= 0 && column >= 0)
        send(Frames::CursorPosition(quint8(row), quint8(column)));
}

// Twenty spaces over the row, then the cursor back to its start: one frame sequence, so the
// trace shows it whole.
void CommandPanel::cmdClrRow_Click()
{
    const int row = listIndex(ui->cboRow);
    if (row < 0)
        return;
    const Protocol::Frame home = Frames::CursorPosition(quint8(row), 0);
    QList<Protocol::Frame> frames {home};
    for (int c = 0; c < Columns; ++c)
        frames << Frames::TextChar(' ');
    send(frames << home);
}

// A space in the column on each of the four rows, then the cursor to the selected row there.
void CommandPanel::cmdClrCol_Click()
{
    const int row = listIndex(ui->cboRow);
    const int column = listIndex(ui->cboColumn);
    if (row < 0 || column < 0)
        return;
    QList<Protocol::Frame> frames;
    for (int r = 0; r < Rows; ++r)
        frames << Frames::CursorPosition(quint8(r), quint8(column)) << Frames::TextChar(' ');
    send(frames << Frames::CursorPosition(quint8(row), quint8(column)));
}

void CommandPanel::cmdBackLight_Click(int index)
{
    send(index == 0 ? Frames::BacklightOn() : Frames::BacklightOff());
}

void CommandPanel::cmdBLFlash_Click()
{
    send(Frames::BacklightFlash());
}

void CommandPanel::cmdLoadCC_Click()
{
    send(Frames::LoadBitmaps());
}

void CommandPanel::cmdCC_Click(int index)
{
    send(Frames::UserCharCode(quint8(index)));
}

void CommandPanel::cmdPT_Click()
{
    const int text = listIndex(ui->cboPT);
    const int row = listIndex(ui->cboRow1);
    if (text >= 0 && row >= 0)
        send(Frames::ShowText(quint8(text + 1), quint8(row)));
}

void CommandPanel::cmdOut_Click(int index)
{
    send(index == 0 ? Frames::AllOutputsOn() : Frames::AllOutputsOff());
}

void CommandPanel::cmdout1_Click()
{
    const int output = listIndex(ui->cboOutput);
    const int state = listIndex(ui->cboSta);
    if (output >= 0 && state >= 0)
        send(Frames::SetOutput(quint8(output), state == 0));
}
