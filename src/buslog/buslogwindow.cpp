#include "buslog/buslogwindow.h"
#include "ui_buslogwindow.h"

#include "buslog/buslogmodel.h"
#include "shell/forms.h"

#include <QClipboard>
#include <QFileDialog>
#include <QGuiApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QSaveFile>
#include <QScrollBar>
#include <QStyledItemDelegate>

#include <algorithm>

namespace {

// Hands the style no more text than a cell can show: laying out a whole upload's bytes only to
// elide them made scrolling through long rows slow. Text narrower on average than 3/5 of the
// font's average character (none that a row holds) would be cut short before its cell ends.
class RowDelegate : public QStyledItemDelegate
{
public:
    using QStyledItemDelegate::QStyledItemDelegate;

protected:
    void initStyleOption(QStyleOptionViewItem *option, const QModelIndex &index) const override
    {
        QStyledItemDelegate::initStyleOption(option, index);
        const int average = std::max(1, option->fontMetrics.averageCharWidth());
        const qsizetype fits = option->rect.width() * 5 / (3 * average) + 2;
        if (option->text.size() > fits)
            option->text.truncate(fits);
    }
};

} // namespace

BusLogWindow::BusLogWindow(BusLog &log, QWidget *parent)
    : QWidget(parent)
    , ui(std::make_unique<Ui::BusLogWindow>())
    , m_log(log)
    , m_model(new BusLogModel(log, this))
{
    setFont(formFont());
    ui->setupUi(this);
    // Beside the main window, never what keeps the program running.
    setAttribute(Qt::WA_QuitOnClose, false);

    QTableView *view = ui->tblLog;
    view->setModel(m_model);
    view->setItemDelegate(new RowDelegate(view));
    view->setSelectionBehavior(QAbstractItemView::SelectRows);
    view->setSelectionMode(QAbstractItemView::ExtendedSelection);
    view->setWordWrap(false);
    view->setCornerButtonEnabled(false);
    view->verticalHeader()->hide();
    // One height for every row: the view then never measures rows, however many there are.
    view->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    view->verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 4);
    const auto width = [this](const char *sample) {
        return fontMetrics().horizontalAdvance(QLatin1String(sample)) + 16;
    };
    view->setColumnWidth(BusLog::Time, width("00:00:00.000"));
    view->setColumnWidth(BusLog::SincePrevious, width("000000"));
    view->setColumnWidth(BusLog::Port, width("COM20"));
    view->setColumnWidth(BusLog::WindowName, width("configuration"));
    view->setColumnWidth(BusLog::DirectionName, width("out"));
    view->setColumnWidth(BusLog::Bytes, width("FE 32 02 13 FE 32 02 13"));
    view->horizontalHeader()->setStretchLastSection(true);
    view->installEventFilter(this);

    m_typing.setSingleShot(true);
    m_typing.setInterval(200);
    connect(&m_typing, &QTimer::timeout, this, &BusLogWindow::applyFilter);
    connect(ui->txtFilter, &QLineEdit::textChanged, &m_typing, qOverload<>(&QTimer::start));
    connect(ui->chkOut, &QCheckBox::toggled, this, &BusLogWindow::applyFilter);
    connect(ui->chkIn, &QCheckBox::toggled, this, &BusLogWindow::applyFilter);
    connect(ui->cmdCopy, &QPushButton::clicked, this, &BusLogWindow::cmdCopy_Click);
    connect(ui->cmdClear, &QPushButton::clicked, this, &BusLogWindow::cmdClear_Click);
    connect(ui->cmdSave, &QPushButton::clicked, this, &BusLogWindow::cmdSave_Click);
    connect(view->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            [this] { ui->cmdCopy->setEnabled(ui->tblLog->selectionModel()->hasSelection()); });

    // Follows the newest row while it is in view; otherwise keeps the rows in view where they
    // are when older ones drop off the front.
    connect(m_model, &BusLogModel::aboutToRefresh, this, [this] {
        const QScrollBar *bar = ui->tblLog->verticalScrollBar();
        m_following = bar->value() >= bar->maximum();
    });
    connect(m_model, &BusLogModel::refreshed, this, [this](int removed) {
        QScrollBar *bar = ui->tblLog->verticalScrollBar();
        if (m_following)
            ui->tblLog->scrollToBottom();
        else if (removed > 0)
            bar->setValue(std::max(0, bar->value() - removed));
        showCount();
    });
    showCount();
}

BusLogWindow::~BusLogWindow() = default;

void BusLogWindow::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    m_model->setLive(true);
}

void BusLogWindow::hideEvent(QHideEvent *event)
{
    QWidget::hideEvent(event);
    m_model->setLive(false);
}

// Ctrl+C in the list copies whole rows, not the one cell the list would copy.
bool BusLogWindow::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == ui->tblLog && event->type() == QEvent::KeyPress
        && static_cast<QKeyEvent *>(event)->matches(QKeySequence::Copy)) {
        cmdCopy_Click();
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

void BusLogWindow::applyFilter()
{
    m_typing.stop();
    m_model->setFilter(ui->chkOut->isChecked(), ui->chkIn->isChecked(), ui->txtFilter->text());
}

void BusLogWindow::showCount()
{
    ui->lblCount->setText(
        QStringLiteral("%1 of %2 rows shown \u00b7 %3 dropped (the log keeps the latest %4)")
            .arg(m_model->rowCount())
            .arg(m_log.end() - m_log.first())
            .arg(m_log.dropped())
            .arg(m_log.capacity()));
}

QString BusLogWindow::selectedText() const
{
    QModelIndexList rows = ui->tblLog->selectionModel()->selectedRows();
    std::sort(rows.begin(), rows.end(),
              [](const QModelIndex &a, const QModelIndex &b) { return a.row() < b.row(); });
    QString text;
    for (const QModelIndex &index : rows) {
        const quint64 n = m_model->number(index.row());
        if (n >= m_log.first() && n < m_log.end())
            text += BusLog::line(m_log.row(n), BusLog::Format::Text);
    }
    return text;
}

void BusLogWindow::cmdCopy_Click()
{
    const QString text = selectedText();
    if (!text.isEmpty())
        QGuiApplication::clipboard()->setText(text);
}

void BusLogWindow::cmdClear_Click()
{
    m_log.clear();
    m_model->refresh();
}

bool BusLogWindow::saveTo(const QString &path, BusLog::Format format, QString *error)
{
    m_model->refresh();
    QSaveFile file(path);
    const bool saved = file.open(QIODevice::WriteOnly)
        && m_log.write(file, format, m_model->numbers()) && file.commit();
    if (!saved && error)
        *error = file.errorString();
    return saved;
}

void BusLogWindow::cmdSave_Click()
{
    const QString text = QStringLiteral("Text, one row a line (*.txt)");
    const QString csv = QStringLiteral("CSV (*.csv)");
    QString chosen;
    const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Save Bus Log"),
                                                      QStringLiteral("buslog.txt"),
                                                      text + QStringLiteral(";;") + csv, &chosen);
    if (path.isEmpty())
        return;
    const bool isCsv = path.endsWith(QLatin1String(".csv"), Qt::CaseInsensitive)
        || (chosen == csv && !path.endsWith(QLatin1String(".txt"), Qt::CaseInsensitive));
    QString error;
    if (!saveTo(path, isCsv ? BusLog::Format::Csv : BusLog::Format::Text, &error))
        showWarning(this,
                    QStringLiteral("The bus log could not be saved to %1: %2").arg(path, error));
}
