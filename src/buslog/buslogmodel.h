#pragma once

#include "buslog/buslog.h"

#include <QAbstractTableModel>
#include <QTimer>

#include <deque>
#include <vector>

// The rows of the bus log that a window shows: all of them, or those of one direction and with
// a text. The record only flags that it changed; the model catches up at most every RefreshMs,
// so recording a frame costs the sender next to nothing and a burst of frames is one update.
class BusLogModel : public QAbstractTableModel
{
    Q_OBJECT
public:
    static constexpr int RefreshMs = 100;

    explicit BusLogModel(BusLog &log, QObject *parent = nullptr);
    ~BusLogModel() override;

    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    // Rows of these directions that contain the text in some column (case ignored; an empty
    // text matches every row).
    void setFilter(bool out, bool in, const QString &text);
    // The record's number of a row shown, and the numbers of all rows shown in order.
    quint64 number(int row) const { return m_shown[size_t(row)]; }
    std::vector<quint64> numbers() const;
    BusLog &log() { return m_log; }

    // Catches up with the record now.
    void refresh();
    // While not live the model does not follow the record (its window is hidden); going live
    // catches up.
    void setLive(bool live);

signals:
    void aboutToRefresh();
    // Done catching up; `removed` rows fell off the front.
    void refreshed(int removed);

private:
    bool accepts(quint64 number) const;
    void rebuild();

    BusLog &m_log;
    std::deque<quint64> m_shown; // record numbers, ascending
    quint64 m_end = 0; // the record's end when last seen
    quint64 m_clears = 0;
    quint64 m_tailRevision = 0;
    bool m_out = true;
    bool m_in = true;
    QString m_text;
    bool m_live = false;
    QTimer m_timer;
};
