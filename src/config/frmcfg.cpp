#include "config/frmcfg.h"
#include "ui_frmcfg.h"

#include "chars/chartable.h"
#include "config/profile.h"
#include "display/frames.h"
#include "link/ansi.h"
#include "link/commport.h"
#include "link/modini.h"
#include "link/portlink.h"
#include "link/ticktimer.h"
#include "shell/forms.h"
#include "shell/modvariables.h"

#include <QButtonGroup>
#include <QCloseEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QMessageBox>
#include <QStatusBar>

namespace {
constexpr int Lines = Bus::Lines; // P2 I/O lines, and stored texts
constexpr quint8 OpeningAddress = Bus::FirstAddress;

QString noPort()
{
    return QStringLiteral("no port. Connect in the main window, then choose Configure LCD again");
}
} // namespace

frmCfg::frmCfg(modVariables &vars, QWidget *parent)
    : QWidget(parent)
    , ui(std::make_unique<Ui::frmCfg>())
    , m_vars(vars)
    , m_link(new PortLink(vars, BusLog::Window::Config, this))
    , m_baud(new QButtonGroup(this))
{
    setFont(formFont());
    ui->setupUi(this);

    // The status line goes below the controls, which keep their places.
    auto *bar = new QStatusBar(this);
    bar->setObjectName(QStringLiteral("StatusBar1"));
    bar->setSizeGripEnabled(false);
    m_message = new QLabel(bar);
    m_message->setObjectName(QStringLiteral("StatusPanel1"));
    m_message->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    m_message->setToolTip(QStringLiteral("What the last command sent, or why it sent nothing"));
    m_where = new QLabel(bar);
    m_where->setObjectName(QStringLiteral("StatusPanel2"));
    m_where->setToolTip(QStringLiteral("This window's port and the module its frames go to"));
    bar->addWidget(m_message, 1);
    bar->addPermanentWidget(m_where);
    // Below the described controls, beside the status line: the profile file that the command
    // line provisions a module from.
    const auto profileButton = [this, bar](const char *name, const QString &caption,
                                           const QString &tip, void (frmCfg::*handler)()) {
        auto *button = new QPushButton(caption, bar);
        button->setObjectName(QLatin1String(name));
        button->setToolTip(tip);
        connect(button, &QPushButton::clicked, this, handler);
        bar->addPermanentWidget(button);
    };
    profileButton("cmdExportProfile", QStringLiteral("Export Profile\u2026"),
                  QStringLiteral("Writes the texts, start-up screen, I/O lines, UID and speed as "
                                 "shown here, and the\ncharacter table (not an unsaved drawing), "
                                 "into a profile file for tessaline-cli provision."),
                  &frmCfg::cmdExportProfile_Click);
    profileButton("cmdImportProfile", QStringLiteral("Import Profile\u2026"),
                  QStringLiteral("Fills this window and the character table from a profile file; "
                                 "the buttons then send\nwhat it describes. The settings file is "
                                 "not changed."),
                  &frmCfg::cmdImportProfile_Click);
    bar->setGeometry(0, height(), width(), bar->sizeHint().height());
    setFixedSize(width(), height() + bar->height());
    for (QComboBox *list : findChildren<QComboBox *>())
        makePlainList(list);
    for (int i = 0; i < Lines; ++i) {
        m_texts[i] = findChild<QLineEdit *>(QStringLiteral("TxtPL_%1").arg(i));
        m_directions[i] = findChild<QComboBox *>(QStringLiteral("cboIO_%1").arg(i));
    }
    MSComm1().setRThreshold(0);
    connect(m_link, &PortLink::lost, this, &frmCfg::MSComm1_Lost);
    connect(m_link, &PortLink::lost, this, [this](const QString &message) {
        showPort();
        tell(message);
    });

    // The ids are the rates; -1 (none checked) is the state at each opening.
    m_baud->addButton(ui->optBaud48, 4800);
    m_baud->addButton(ui->optBaud96, 9600);

    ui->Frame2->attach(m_vars, [this](int n) { send(n, QStringLiteral("Uploaded 8 characters")); });
    // After the character panel's own handlers: what they did, in the status line.
    connect(findChild<QAbstractButton *>(QStringLiteral("cmdLoadBitmap")),
            &QAbstractButton::clicked, this, [this] { tellCharacter(false); });
    connect(findChild<QAbstractButton *>(QStringLiteral("cmdSaveBitmap")),
            &QAbstractButton::clicked, this, [this] { tellCharacter(true); });
    connect(ui->cmdSetBaud, &QPushButton::clicked, this, &frmCfg::cmdSetBaud_Click);
    connect(ui->cmdSetUID, &QPushButton::clicked, this, &frmCfg::cmdSetUID_Click);
    connect(ui->cmdSetIO, &QPushButton::clicked, this, &frmCfg::cmdSetIO_Click);
    connect(ui->cmdSetPT, &QPushButton::clicked, this, &frmCfg::cmdSetPT_Click);
    connect(ui->cmdSave, &QPushButton::clicked, this, &frmCfg::cmdSave_Click);
}

frmCfg::~frmCfg() = default;

CommPort &frmCfg::MSComm1()
{
    return m_link->port();
}

void frmCfg::Display()
{
    if (!isVisible()) {
        Form_Load();
        show();
    } else if (!MSComm1().isOpen()) {
        openPort();
    }
    setWindowState(windowState() & ~Qt::WindowMinimized);
    raise();
    activateWindow();
}

// Every opening starts from the design state, refills the lists without doubling them and
// reads the characters and texts from the settings file again.
void frmCfg::Form_Load()
{
    ++m_generation;
    ui->Frame2->reset();
    ui->cboUID->clear();
    for (int a = Bus::FirstUid; a <= Bus::LastAddress; ++a)
        ui->cboUID->addItem(QString::number(a));
    for (QComboBox *list : m_directions) {
        list->clear();
        list->addItems({QStringLiteral("OUTPUT"), QStringLiteral("INPUT")});
        list->setCurrentIndex(0);
        list->setEditText(list->itemText(0));
    }
    ui->cboUID->setCurrentIndex(0);
    ui->cboUID->setEditText(ui->cboUID->itemText(0));

    // An exclusive group cannot be unchecked button by button.
    m_baud->setExclusive(false);
    ui->optBaud48->setChecked(false);
    ui->optBaud96->setChecked(false);
    m_baud->setExclusive(true);
    ui->Check1->setChecked(false);

    // The 64 rows and the eight texts from one read of the settings file.
    QList<IniKey> keys = CharTableKeys();
    for (int n = 1; n <= Lines; ++n)
        keys.append({QStringLiteral("LCD"), QStringLiteral("PT%1").arg(n)});
    const QStringList values = ReadIniValues(keys);
    LoadCharTable(m_vars.CharTable, values.mid(0, 64));
    // A stored text longer than a box holds keeps its first 20 characters.
    for (int n = 1; n <= Lines; ++n)
        m_texts[n - 1]->setText(values.value(63 + n).left(Protocol::StoreTextMax));

    tell(QString());
    openPort();
}

// Opens the port as the main window last connected it and selects module 100.
void frmCfg::openPort()
{
    m_module = OpeningAddress;
    if (!m_link->openFromSettings()) {
        // The window still opens, so that characters can be drawn, loaded and saved; its
        // sending buttons send nothing and say so.
        showPort();
        tell(QStringLiteral("COM%1 could not be opened: ").arg(m_vars.CommPortText.trimmed())
             + noPort());
        showPortNotAvailable(this);
        return;
    }
    showPort();
    send(Frames::SelectDevice(OpeningAddress));
}

// Closing releases the port for the main window and sends nothing. A "Send" still waiting
// finds the generation changed and stops.
void frmCfg::closeEvent(QCloseEvent *event)
{
    ++m_generation;
    const int released = MSComm1().isOpen() ? MSComm1().commPort() : 0;
    MSComm1().close();
    event->accept();
    emit closed(released);
}

bool frmCfg::SendFrameCfg(int n)
{
    return m_link->sendBuffer(n);
}

void frmCfg::WaitTicks(int n)
{
    m_link->WaitTicks(n);
}

bool frmCfg::send(int n, const QString &done)
{
    if (!SendFrameCfg(n)) {
        tell(nothingSent(MSComm1().isOpen() ? QStringLiteral("the frame does not fit") : noPort()));
        return false;
    }
    if (!MSComm1().isOpen()) // lost during the write: the status line keeps saying so
        return false;
    tell(done);
    return true;
}

// Tells what went out by the frame's name unless `done` says it.
bool frmCfg::send(const Protocol::Frame &frame, const QString &done)
{
    return send(m_vars.putFrame(frame),
                done.isEmpty() ? QStringLiteral("Sent: ") + Protocol::describe(frame) : done);
}

void frmCfg::tell(const QString &message)
{
    m_message->setText(message);
}

// "COM1 9600,n,8,1 · module 100", or "no port".
void frmCfg::showPort()
{
    m_where->setText(MSComm1().isOpen() ? QStringLiteral("COM%1 %2 \u00b7 module %3")
                                              .arg(MSComm1().commPort())
                                              .arg(MSComm1().settings())
                                              .arg(m_module)
                                        : QStringLiteral("no port"));
}

// What "Load Bitmap" or "Save Bitmap" did. A save counts once the settings file holds the
// character: a failed write was reported in a box already.
void frmCfg::tellCharacter(bool saved)
{
    const auto *list = findChild<QComboBox *>(QStringLiteral("cboUCH"));
    const int position = listIndex(list);
    if (position < 0) {
        tell((saved ? QStringLiteral("Nothing saved: ") : QStringLiteral("Editor cleared: "))
             + notInList(list));
        return;
    }
    if (!saved) {
        tell(QStringLiteral("Loaded character %1 into the editor").arg(position + 1));
        return;
    }
    for (int r = 1; r <= Bus::CharacterRows; ++r) {
        const quint8 row = m_vars.CharTable[size_t(position * Bus::CharacterRows + r - 1)];
        bool isNumber = false;
        const int stored
            = ReadIniValue(QStringLiteral("UDC"), charKey(position + 1, r)).toInt(&isNumber);
        if (!isNumber || stored != row) {
            tell(
                QStringLiteral("Character %1 is not saved in the settings file").arg(position + 1));
            return;
        }
    }
    tell(QStringLiteral("Saved character %1; Set Bitmap to LCD uploads it").arg(position + 1));
}

// With neither rate chosen there is no frame to send.
void frmCfg::cmdSetBaud_Click()
{
    switch (m_baud->checkedId()) {
    case 4800:
        send(Frames::SetBaud4800());
        break;
    case 9600:
        send(Frames::SetBaud9600());
        break;
    default:
        tell(nothingSent(QStringLiteral("choose 4800 or 9600 first")));
        break;
    }
}

// A typed text that names no address sends nothing rather than an address nobody chose.
// The module answers at the new address from then on.
void frmCfg::cmdSetUID_Click()
{
    const int index = listIndex(ui->cboUID);
    if (index < 0) {
        tell(nothingSent(notInList(ui->cboUID)));
        return;
    }
    const int address = index + Bus::FirstUid;
    if (send(Frames::SetUid(quint8(address)),
             QStringLiteral("Sent: SetUid %1 \u00b7 the module now answers at %1").arg(address))) {
        m_module = address;
        showPort();
    }
}

// Bit i set when line i + 1 shows "OUTPUT"; "INPUT" and a typed-over text leave it 0.
void frmCfg::cmdSetIO_Click()
{
    quint8 mask = 0;
    for (int i = 0; i < Lines; ++i) {
        if (listIndex(m_directions[i]) == 0)
            mask |= quint8(1u << i);
    }
    send(Frames::SetIoDirection(mask));
}

// All eight texts, each head followed at once by its text in one write, then 10 ticks for the
// module to store it; last the start-up screen setting, with no wait after it. Short texts are
// padded in their boxes, where the operator sees the spaces.
void frmCfg::cmdSetPT_Click()
{
    if (!MSComm1().isOpen()) {
        tell(nothingSent(noPort()));
        return;
    }
    if (!PortLink::mayWait()) {
        tell(nothingSent(QStringLiteral("too many waits running; try again")));
        return;
    }
    const unsigned generation = m_generation;
    for (int n = 1; n <= Lines; ++n) {
        tell(QStringLiteral("Sending stored text %1 of %2").arg(n).arg(Lines));
        QLineEdit *box = m_texts[n - 1];
        // Padded by the bytes that go out: a character outside the 16-bit range fills two
        // places of the box but is one byte on the line.
        const QByteArray typed = Ansi::encode(box->text());
        const Protocol::Frame frame = Frames::StoreText(quint8(n), typed);
        const qsizetype spaces = frame.bytes.size() - 2 - typed.size();
        if (spaces > 0)
            box->setText(box->text() + QString(spaces, QLatin1Char(' ')));
        m_vars.putFrame(frame);
        SendFrameCfg(2);
        m_link->writeString(frame.bytes.mid(2));
        WaitTicks(Bus::ReplyTicks);
        // Closed (and perhaps opened again) or the device gone during the wait: stop here.
        if (generation != m_generation || !MSComm1().isOpen())
            return;
    }
    const bool on = ui->Check1->isChecked();
    send(on ? Frames::StartupScreenOn() : Frames::StartupScreenOff(),
         QStringLiteral("Sent: %1 stored texts and start-up screen %2")
             .arg(Lines)
             .arg(on ? QStringLiteral("on") : QStringLiteral("off")));
}

void frmCfg::cmdSave_Click()
{
    send(Frames::SaveToEeprom(), QStringLiteral("Saved to EEPROM"));
}

// The device went away under the open port (an adapter pulled out). The port is closed, so the
// buttons send nothing; the operator is told without stopping the window, which may be inside
// a wait of "Send".
void frmCfg::MSComm1_Lost(const QString &message)
{
    showPortLost(this, message);
}

void frmCfg::cmdExportProfile_Click()
{
    const QString path
        = QFileDialog::getSaveFileName(this, QStringLiteral("Export Profile"), m_profileFolder,
                                       QStringLiteral("Profiles (*.ini);;All files (*)"));
    if (!path.isEmpty() && !exportProfile(path))
        QMessageBox::warning(this, QStringLiteral("TessalineApp"), m_message->text(),
                             QMessageBox::Ok);
}

void frmCfg::cmdImportProfile_Click()
{
    const QString path
        = QFileDialog::getOpenFileName(this, QStringLiteral("Import Profile"), m_profileFolder,
                                       QStringLiteral("Profiles (*.ini);;All files (*)"));
    if (!path.isEmpty() && !importProfile(path))
        QMessageBox::warning(this, QStringLiteral("TessalineApp"), m_message->text(),
                             QMessageBox::Ok);
}

// What the buttons would send: a direction typed over counts as INPUT, an address typed over
// or no speed chosen leaves that setting out.
bool frmCfg::exportProfile(const QString &path)
{
    Profile profile;
    for (int i = 0; i < Lines; ++i) {
        profile.texts[size_t(i)] = m_texts[i]->text();
        if (listIndex(m_directions[i]) != 0)
            profile.directions &= quint8(~(1u << i));
    }
    profile.startupScreen = ui->Check1->isChecked();
    profile.chars = m_vars.CharTable;
    if (const int index = listIndex(ui->cboUID); index >= 0)
        profile.uid = quint8(index + Bus::FirstUid);
    if (m_baud->checkedId() > 0)
        profile.baud = m_baud->checkedId();
    m_profileFolder = QFileInfo(path).absolutePath();
    const bool written = Profiles::write(path, profile);
    tell(written ? QStringLiteral("Exported the profile %1").arg(QFileInfo(path).fileName())
                 : QStringLiteral("The profile %1 was not written").arg(path));
    return written;
}

bool frmCfg::importProfile(const QString &path)
{
    Profile profile;
    QString problem;
    m_profileFolder = QFileInfo(path).absolutePath();
    if (!Profiles::read(path, profile, problem)) {
        tell(QStringLiteral("Nothing imported: ") + problem);
        return false;
    }
    for (int i = 0; i < Lines; ++i) {
        m_texts[i]->setText(profile.texts[size_t(i)]);
        const int index = profile.directions & (1u << i) ? 0 : 1;
        m_directions[i]->setCurrentIndex(index);
        m_directions[i]->setEditText(m_directions[i]->itemText(index));
    }
    ui->Check1->setChecked(profile.startupScreen);
    // No address or no speed in the profile: none chosen here, so that neither is sent.
    ui->cboUID->setCurrentIndex(profile.uid ? *profile.uid - Bus::FirstUid : -1);
    ui->cboUID->setEditText(profile.uid ? QString::number(*profile.uid) : QString());
    m_baud->setExclusive(false);
    ui->optBaud48->setChecked(profile.baud == 4800);
    ui->optBaud96->setChecked(profile.baud == 9600);
    m_baud->setExclusive(true);
    // Into the table that "Set Bitmap to LCD" uploads; the settings file keeps the characters
    // it had, so that none of them is lost by an import.
    m_vars.CharTable = profile.chars;
    tell(QStringLiteral("Imported %1; its characters are in the table for Set Bitmap to LCD, "
                        "not in the settings file")
             .arg(QFileInfo(path).fileName()));
    return true;
}
