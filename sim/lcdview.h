#pragma once

#include "sim/lcdrender.h"

#include <QGroupBox>
#include <QWidget>

#include <vector>

class LcdBus;
class LcdModule;
class QLabel;
class QLayout;
class QTimer;

// Rows of 5x8 character cells drawn as on a character LCD: dark dots on a lit panel, faint
// dots where a dot is off, one dot's gap between characters. Given more room than its size
// hint, it draws larger dots in whole pixels, centred.
class LcdCells : public QWidget
{
    Q_OBJECT
public:
    // pitch: pixels from one dot to the next at the size hint; margin: the bezel around the
    // panel there. Both grow in proportion.
    LcdCells(int columns, int rows, int pitch, int margin, QWidget *parent = nullptr);

    void setCells(const std::vector<LcdRender::Glyph> &cells, bool backlit);
    const std::vector<LcdRender::Glyph> &cells() const { return m_cells; }
    bool isBacklit() const { return m_backlit; }

    // Where the dot of a cell is painted, in widget coordinates.
    QRect dotRect(int row, int column, int dotRow, int dotColumn) const;
    int pitch() const;

    static QColor panelColor(bool backlit);
    static QColor dotColor(bool backlit, bool lit);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    int margin() const { return m_margin * pitch() / m_pitch; }
    QRect bezelRect() const;
    QRect panelRect() const;

    int m_columns;
    int m_rows;
    int m_pitch;
    int m_margin;
    bool m_backlit = true;
    std::vector<LcdRender::Glyph> m_cells;
};

// A round lamp: an output line, or the selection.
class Lamp : public QWidget
{
    Q_OBJECT
    Q_PROPERTY(bool lit READ isLit)
public:
    explicit Lamp(QColor color, QWidget *parent = nullptr);
    void setLit(bool lit);
    bool isLit() const { return m_lit; }
    // A lamp that the module does not drive (an input line) is drawn as an empty ring.
    void setDriven(bool driven);
    bool isDriven() const { return m_driven; }
    QSize sizeHint() const override { return {18, 18}; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QColor m_color;
    bool m_lit = false;
    bool m_driven = true;
};

// Everything of one module: the display, address, speed, selection, outputs with their
// directions, stored texts, start-up screen, user-defined characters and counters. Each value
// keeps the width of its longest wording, so that nothing beside it moves when it changes.
class ModuleView : public QGroupBox
{
    Q_OBJECT
public:
    ModuleView(const LcdModule &module, QWidget *parent = nullptr);
    void refresh(bool phaseOn);

private:
    QLabel *value(const QString &name, const QStringList &wordings, bool bold = false);
    QLayout *stateRows();
    QLayout *outputLamps();
    QLayout *storedTexts();

    const LcdModule &m_module;
    LcdCells *m_display;
    LcdCells *m_userChars;
    QLabel *m_address;
    QLabel *m_speed;
    Lamp *m_selectedLamp;
    QLabel *m_selected;
    QLabel *m_backlight;
    QLabel *m_cursor;
    QLabel *m_startup;
    QLabel *m_counters;
    Lamp *m_outputs[8];
    QLabel *m_directions[8];
    QLabel *m_texts[LcdSettings::TextCount];
};

// The window of the virtual modules: the line they sit on, with their addresses as they are
// now, and one view per module of the bus, redrawn on refresh() and at each half period of
// the cursor's blink and the backlight's flash.
class SimWindow : public QWidget
{
    Q_OBJECT
public:
    static constexpr int BlinkMs = 400;
    // A busy line redraws the window at most this often.
    static constexpr int RedrawMs = 40;

    explicit SimWindow(LcdBus &bus, QWidget *parent = nullptr);
    // The port and the terminal behind it, for the line under the title.
    void setPort(int number, const QString &terminal);
    ModuleView *moduleView(int index) const { return m_views.at(size_t(index)); }
    void refresh();
    // The line changed the modules: a refresh within RedrawMs.
    void lineChanged();
    // Which half of the blink period the views show now.
    bool phaseOn() const { return m_phaseOn; }

private:
    void blink();

    LcdBus &m_bus;
    QLabel *m_line;
    int m_port = 0;
    QString m_terminal;
    std::vector<ModuleView *> m_views;
    QTimer *m_blink;
    QTimer *m_redraw;
    bool m_phaseOn = true;
};
