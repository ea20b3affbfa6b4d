#include "display/commandpanel.h"
#include "ui_commandpanel.h"

#include "display/frames.h"
#include "link/ansi.h"
#include "shell/forms.h"
#include "shell/mainlink.h"
#include "shell/modvariables.h"

#include <QButtonGroup>
#include <QInputMethodEvent>
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
    // The box's text changes only through the handler below; any other edit (a paste, a drop,
    // an undo) puts characters there that must go out as well.
    connect(ui->txtASCIIInput, &QLineEdit::textEdited, this, &CommandPanel::txtASCIIInput_KeyPress);

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

// The "Send Text" box: a key's characters go out through the handler, which also sets what the
// box shows. Characters made with a dead key or by an input method arrive as a commit, not as
// a key; its preedit (the dead key waiting) still shows in the box.
bool CommandPanel::eventFilter(QObject *watched, QEvent *event)
{
    if (watched != ui->txtASCIIInput)
        return QGroupBox::eventFilter(watched, event);
    if (event->type() == QEvent::KeyPress) {
        const auto *key = static_cast<QKeyEvent *>(event);
        // Keys that make no character leave the box as it was; Tab still moves the focus.
        if (key->key() == Qt::Key_Delete)
            return true;
        if (key->text().isEmpty() || key->key() == Qt::Key_Tab || key->key() == Qt::Key_Backtab)
            return false;
        txtASCIIInput_KeyPress(key->text());
        return true;
    }
    if (event->type() == QEvent::InputMethod) {
        auto *input = static_cast<QInputMethodEvent *>(event);
        if (!input->commitString().isEmpty()) {
            txtASCIIInput_KeyPress(input->commitString());
            input->setCommitString(QString());
        }
    }
    return false;
}

// Every printable character goes out the moment it arrives, one frame each, in order; the box
// then shows the last one. Control characters (Enter, Backspace) send nothing and leave the box
// empty.
void CommandPanel::txtASCIIInput_KeyPress(const QString &text)
{
    QString shown;
    for (const char32_t code : text.toUcs4()) {
        if (code <= 31 || code == 127) {
            shown.clear();
            continue;
        }
        send(Frames::TextChar(Ansi::toByte(code)));
        shown = QString::fromUcs4(&code, 1);
    }
    // One character, which outside the 16-bit range takes two places.
    ui->txtASCIIInput->setMaxLength(qMax(1, int(shown.size())));
    ui->txtASCIIInput->setText(shown);
}

bool CommandPanel::picked(std::initializer_list<const QComboBox *> lists)
{
    for (const QComboBox *list : lists) {
        if (listIndex(list) < 0) {
            m_link->refuse(notInList(list));
            return false;
        }
    }
    return true;
}

void CommandPanel::cmdCtrl_Click(int index)
{
    static const Protocol::Frame codes[]
        = {Frames::CursorHomeCode(), Frames::NextLineCode(), Frames::ClearCode()};
    send(codes[index]);
}

// The list handlers below send nothing when a list's text names no item, and say so.
void CommandPanel::cmdSetCursor_Click()
{
    if (picked({ui->cboCursor}))
        send(Frames::CursorType(quint8(listIndex(ui->cboCursor) + 1)));
}

void CommandPanel::cmdCurPos_Click()
{
    if (picked({ui->cboRow, ui->cboColumn}))
        send(Frames::CursorPosition(quint8(listIndex(ui->cboRow)),
                                    quint8(listIndex(ui->cboColumn))));
}

// Twenty spaces over the row, then the cursor back to its start: one frame sequence, so the
// trace shows it whole.
void CommandPanel::cmdClrRow_Click()
{
    if (!picked({ui->cboRow}))
        return;
    const int row = listIndex(ui->cboRow);
    const Protocol::Frame home = Frames::CursorPosition(quint8(row), 0);
    QList<Protocol::Frame> frames {home};
    for (int c = 0; c < Columns; ++c)
        frames << Frames::TextChar(' ');
    send(frames << home);
}

// A space in the column on each of the four rows, then the cursor to the selected row there.
void CommandPanel::cmdClrCol_Click()
{
    if (!picked({ui->cboRow, ui->cboColumn}))
        return;
    const int row = listIndex(ui->cboRow);
    const int column = listIndex(ui->cboColumn);
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
    if (picked({ui->cboPT, ui->cboRow1}))
        send(Frames::ShowText(quint8(listIndex(ui->cboPT) + 1), quint8(listIndex(ui->cboRow1))));
}

void CommandPanel::cmdOut_Click(int index)
{
    send(index == 0 ? Frames::AllOutputsOn() : Frames::AllOutputsOff());
}

void CommandPanel::cmdout1_Click()
{
    if (picked({ui->cboOutput, ui->cboSta}))
        send(Frames::SetOutput(quint8(listIndex(ui->cboOutput)), listIndex(ui->cboSta) == 0));
}
