#pragma once

#include "buslog/buslog.h"

#include <QTimer>
#include <QWidget>

#include <memory>

class BusLogModel;
namespace Ui {
class BusLogWindow;
}

// The "Bus Log" window: the record's rows in a list that follows the newest row, filtered by
// direction and text, with copy, clear and save. It can stay open beside both windows; the
// record goes on whether it is open or not.
class BusLogWindow : public QWidget
{
    Q_OBJECT
public:
    explicit BusLogWindow(BusLog &log, QWidget *parent = nullptr);
    ~BusLogWindow() override;

    BusLogModel &model() { return *m_model; }

    // Writes the rows shown to a file, replacing it only once the whole log is written. False,
    // with the reason, when it cannot.
    bool saveTo(const QString &path, BusLog::Format format, QString *error = nullptr);
    // The selected rows, one a line, as the text file has them; to the clipboard.
    QString selectedText() const;

    void cmdCopy_Click();
    void cmdClear_Click();
    void cmdSave_Click();

protected:
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void applyFilter();
    void showCount();

    std::unique_ptr<Ui::BusLogWindow> ui;
    BusLog &m_log;
    BusLogModel *m_model;
    QTimer m_typing; // the text filter follows the typing once it pauses
    bool m_following = true; // the view shows the newest row
};
