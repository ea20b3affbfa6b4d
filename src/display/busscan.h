#pragma once

#include <QDialog>
#include <QList>

#include <memory>

class SelectPanel;
namespace Ui {
class BusScan;
}

// "Find Modules": the select exchange for every address from 100 to 132 in turn, in a dialog
// modal to the main window that shows how far it is and can be cancelled. Afterwards the bus
// gets back the module selected before, and the dialog lists the addresses that answered; one
// chosen there goes through "Select Device".
class BusScan : public QDialog
{
    Q_OBJECT
public:
    // Runs a search and returns once it has ended: the dialog then lists what answered, or it
    // has closed because the port went away. Nothing happens while a search runs already, while
    // the "Select Device" panel is unusable (the port closed) or while no further wait may start.
    static void findModules(SelectPanel &panel, QWidget *window);

    ~BusScan() override;

    const QList<quint8> &found() const { return m_found; }

protected:
    // Escape, the window's close button and "Cancel" stop the search; once it has ended they
    // close the dialog.
    void reject() override;

private:
    enum class Stage { Scanning, Cancelled, Restoring, Done, Lost };

    BusScan(SelectPanel &panel, QWidget *window);
    void run();
    void showProgress(int address, double msPerExchange);
    void showOutcome(int tried);
    void choose();
    void portClosed();

    std::unique_ptr<Ui::BusScan> ui;
    SelectPanel &m_panel;
    Stage m_stage = Stage::Scanning;
    QList<quint8> m_found;
};
