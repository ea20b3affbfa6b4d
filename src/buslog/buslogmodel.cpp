#include "buslog/buslogmodel.h"

#include <QBrush>

#include <algorithm>

BusLogModel::BusLogModel(BusLog &log, QObject *parent)
    : QAbstractTableModel(parent)
    , m_log(log)
{
    m_timer.setSingleShot(true);
    m_timer.setInterval(RefreshMs);
    connect(&m_timer, &QTimer::timeout, this, &BusLogModel::refresh);
    m_log.setObserver([this] {
        if (m_live && !m_timer.isActive())
            m_timer.start();
    });
    rebuild();
}

BusLogModel::~BusLogModel()
{
    m_log.setObserver({});
}

int BusLogModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_shown.size());
}

int BusLogModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : BusLog::Columns;
}

QVariant BusLogModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || size_t(index.row()) >= m_shown.size())
        return {};
    const quint64 n = m_shown[size_t(index.row())];
    if (n < m_log.first()) // dropped since the last refresh
        return {};
    const BusLog::Row &row = m_log.row(n);
    switch (role) {
    case Qt::DisplayRole:
        return BusLog::column(row, index.column());
    case Qt::ToolTipRole:
        if (index.column() == BusLog::Bytes || index.column() == BusLog::Meaning)
            return BusLog::column(row, index.column());
        return {};
    case Qt::TextAlignmentRole:
        if (index.column() == BusLog::SincePrevious)
            return QVariant::fromValue(Qt::AlignRight | Qt::AlignVCenter);
        return {};
    case Qt::ForegroundRole:
        // What came in stands apart from what went out; bytes that form no frame more so.
        if (row.id == Protocol::FrameId::Unknown)
            return QBrush(QColor(0xB0, 0x20, 0x20));
        if (row.direction == BusLog::Direction::In)
            return QBrush(QColor(0x10, 0x50, 0xA0));
        return {};
    default:
        return {};
    }
}

QVariant BusLogModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0
        || section >= BusLog::Columns)
        return {};
    return BusLog::headers().at(section);
}

bool BusLogModel::accepts(quint64 number) const
{
    const BusLog::Row &row = m_log.row(number);
    if (!(row.direction == BusLog::Direction::Out ? m_out : m_in))
        return false;
    if (m_text.isEmpty())
        return true;
    for (int c = 0; c < BusLog::Columns; ++c) {
        if (BusLog::column(row, c).contains(m_text, Qt::CaseInsensitive))
            return true;
    }
    return false;
}

void BusLogModel::setFilter(bool out, bool in, const QString &text)
{
    if (out == m_out && in == m_in && text == m_text)
        return;
    m_out = out;
    m_in = in;
    m_text = text;
    rebuild();
}

std::vector<quint64> BusLogModel::numbers() const
{
    return {m_shown.begin(), m_shown.end()};
}

void BusLogModel::rebuild()
{
    emit aboutToRefresh();
    beginResetModel();
    m_log.settle();
    m_shown.clear();
    for (quint64 n = m_log.first(); n < m_log.end(); ++n) {
        if (accepts(n))
            m_shown.push_back(n);
    }
    m_end = m_log.end();
    m_clears = m_log.clears();
    m_tailRevision = m_log.tailRevision();
    endResetModel();
    emit refreshed(0);
}

void BusLogModel::setLive(bool live)
{
    m_live = live;
    if (live)
        refresh();
    else
        m_timer.stop();
}

void BusLogModel::refresh()
{
    if (m_live)
        m_log.observed(); // a change from here on calls again
    if (m_log.clears() != m_clears)
        return rebuild();
    emit aboutToRefresh();
    m_log.settle();
    const quint64 first = m_log.first();

    // Rows that fell off the front of the record.
    const auto kept = std::lower_bound(m_shown.begin(), m_shown.end(), first);
    const int removed = int(kept - m_shown.begin());
    if (removed > 0) {
        beginRemoveRows({}, 0, removed - 1);
        m_shown.erase(m_shown.begin(), kept);
        endRemoveRows();
    }

    // The newest row seen may have grown since (typed characters, unknown bytes).
    if (m_tailRevision != m_log.tailRevision() && m_end > first) {
        const quint64 tail = m_end - 1;
        const bool shown = !m_shown.empty() && m_shown.back() == tail;
        const bool passes = accepts(tail);
        const int last = int(m_shown.size()) - 1;
        if (shown && passes) {
            emit dataChanged(index(last, 0), index(last, BusLog::Columns - 1));
        } else if (shown) {
            beginRemoveRows({}, last, last);
            m_shown.pop_back();
            endRemoveRows();
        } else if (passes) {
            beginInsertRows({}, last + 1, last + 1);
            m_shown.push_back(tail);
            endInsertRows();
        }
    }
    m_tailRevision = m_log.tailRevision();

    std::vector<quint64> added;
    for (quint64 n = std::max(m_end, first); n < m_log.end(); ++n) {
        if (accepts(n))
            added.push_back(n);
    }
    if (!added.empty()) {
        const int at = int(m_shown.size());
        beginInsertRows({}, at, at + int(added.size()) - 1);
        m_shown.insert(m_shown.end(), added.begin(), added.end());
        endInsertRows();
    }
    m_end = m_log.end();
    // Bytes that wait for the rest of a frame are settled once the line has been quiet.
    if (m_live && m_log.waiting())
        m_timer.start();
    emit refreshed(removed);
}
