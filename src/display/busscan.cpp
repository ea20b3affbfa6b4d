#include "display/busscan.h"
#include "ui_busscan.h"

#include "display/protocol.h"
#include "display/selection.h"
#include "display/selectpanel.h"
#include "link/ticktimer.h"
#include "shell/forms.h"

#include <QElapsedTimer>

namespace {

constexpr int AddressCount = Bus::LastAddress - Bus::FirstAddress + 1;
bool searching = false; // a search is on the stack, inside the menu command

} // namespace

BusScan::BusScan(SelectPanel &panel, QWidget *window)
    : QDialog(window)
    , ui(std::make_unique<Ui::BusScan>())
    , m_panel(panel)
{
    setFont(formFont());
    ui->setupUi(this);
    setWindowModality(Qt::WindowModal);
    ui->barScan->setRange(0, AddressCount);
    connect(ui->cmdCancel, &QPushButton::clicked, this, &BusScan::reject);
    connect(ui->cmdChoose, &QPushButton::clicked, this, &BusScan::choose);
    connect(ui->lstFound, &QListWidget::itemActivated, this, &BusScan::choose);
    connect(&panel, &SelectPanel::enabledChanged, this, [this](bool enabled) {
        if (!enabled)
            portClosed();
    });
}

BusScan::~BusScan() = default;

void BusScan::findModules(SelectPanel &panel, QWidget *window)
{
    if (searching || !panel.isEnabled() || !TickTimer::mayWait())
        return;
    searching = true;
    auto *scan = new BusScan(panel, window);
    connect(scan, &QDialog::finished, scan, &QObject::deleteLater);
    scan->run();
    searching = false;
    if (scan->m_stage == Stage::Lost)
        scan->deleteLater();
}

void BusScan::run()
{
    const SelectPanel::State before = m_panel.state();
    show();
    QElapsedTimer clock;
    clock.start();
    int tried = 0;
    // Each exchange runs to its end; a cancel or a lost port stops the search before the next.
    const auto next = [&](int a) {
        if (m_stage != Stage::Scanning || !TickTimer::mayWait())
            return false;
        showProgress(a,
                     tried ? double(clock.elapsed()) / tried
                           : double(Bus::ReplyTicks * TickTimer::Interval));
        ++tried;
        return true;
    };
    const auto answered = [this](quint8 a) {
        m_found << a;
        ui->lstFound->addItem(QString::number(a));
    };
    Selection::scanBus(m_panel.link(), next, answered);
    if (m_stage == Stage::Lost)
        return;
    // The search selected other modules: the bus gets back what it had, even after a cancel,
    // so that the command panel drives the module it drove before.
    m_stage = Stage::Restoring;
    ui->cmdCancel->setEnabled(false);
    ui->lblLeft->setText(before.selection
                             ? QStringLiteral("Selecting %1 again").arg(before.selection->text)
                             : QStringLiteral("Deselecting"));
    m_panel.restore(before);
    if (m_stage == Stage::Lost)
        return;
    m_stage = Stage::Done;
    showOutcome(tried);
}

void BusScan::showProgress(int address, double msPerExchange)
{
    const int done = address - Bus::FirstAddress;
    ui->barScan->setValue(done);
    ui->lblAddress->setText(QStringLiteral("Trying address %1 (%2 of %3)")
                                .arg(address)
                                .arg(done + 1)
                                .arg(AddressCount));
    ui->lblFound->setText(QStringLiteral("Found so far: %1").arg(m_found.size()));
    // The addresses not yet tried and the closing exchange.
    const double left = (AddressCount - done + 1) * msPerExchange / 1000;
    ui->lblLeft->setText(QStringLiteral("About %1 s left").arg(left, 0, 'f', 1));
}

void BusScan::showOutcome(int tried)
{
    ui->barScan->setValue(tried);
    ui->lblAddress->setText(tried == AddressCount
                                ? QStringLiteral("Addresses %1 to %2 tried.")
                                      .arg(Bus::FirstAddress)
                                      .arg(Bus::LastAddress)
                                : QStringLiteral("Cancelled after address %1 (%2 of %3 tried).")
                                      .arg(Bus::FirstAddress + tried - 1)
                                      .arg(tried)
                                      .arg(AddressCount));
    const auto count = m_found.size();
    ui->lblFound->setText(
        count == 0 ? QStringLiteral("No module answered.")
                   : QStringLiteral("%1 module%2 answered:").arg(count).arg(count == 1 ? "" : "s"));
    ui->lblLeft->setText(count ? QStringLiteral("Double-click an address to select it.")
                               : QString());
    if (count) {
        ui->lstFound->setCurrentRow(0);
        ui->cmdChoose->setEnabled(true);
    }
    ui->cmdCancel->setText(QStringLiteral("Close"));
    ui->cmdCancel->setEnabled(true);
}

void BusScan::reject()
{
    if (m_stage == Stage::Scanning) {
        m_stage = Stage::Cancelled;
        ui->cmdCancel->setEnabled(false);
        ui->lblLeft->setText(QStringLiteral("Cancelling"));
    } else if (m_stage == Stage::Done) {
        QDialog::reject();
    }
}

// Selects the chosen address once the dialog has gone: the selection waits, and what runs
// during a wait must not find the dialog half closed.
void BusScan::choose()
{
    const int row = ui->lstFound->currentRow();
    if (m_stage != Stage::Done || row < 0 || row >= m_found.size())
        return;
    SelectPanel *panel = &m_panel;
    const quint8 address = m_found.at(row);
    QMetaObject::invokeMethod(
        panel, [panel, address] { panel->choose(address); }, Qt::QueuedConnection);
    accept();
}

// The port went away (the main window has said so): nothing more can be sent.
void BusScan::portClosed()
{
    if (m_stage == Stage::Done) {
        QDialog::reject();
    } else {
        m_stage = Stage::Lost;
        hide();
    }
}
