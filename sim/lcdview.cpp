#include "sim/lcdview.h"

#include "link/ansi.h"
#include "sim/lcdbus.h"

#include <QFontDatabase>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QScrollArea>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>

using LcdRender::DotColumns;
using LcdRender::DotRows;

namespace {

// A character cell is five dots wide and eight high, with one dot's gap to the next.
constexpr int CellPitchX = DotColumns + 1;
constexpr int CellPitchY = DotRows + 1;

// Stored texts as the operator typed them; bytes without a printable character (the codes of
// the user-defined characters, for one) as a middle dot.
QString shownText(const QByteArray &bytes)
{
    QString text = Ansi::decode(bytes);
    for (QChar &ch : text) {
        if (ch.unicode() < 32 || (ch.unicode() >= 0x7F && ch.unicode() < 0xA0))
            ch = QChar(0x00B7);
    }
    return text;
}

QString cursorText(LcdModule::CursorType type, int row, int column)
{
    return ModuleView::tr("%1 at row %2, column %3")
        .arg(QLatin1String(LcdModule::cursorName(type)))
        .arg(row)
        .arg(column);
}

QLabel *caption(const QString &text)
{
    auto *label = new QLabel(text + QLatin1Char(':'));
    label->setForegroundRole(QPalette::PlaceholderText);
    return label;
}

} // namespace

LcdCells::LcdCells(int columns, int rows, int pitch, int margin, QWidget *parent)
    : QWidget(parent)
    , m_columns(columns)
    , m_rows(rows)
    , m_pitch(pitch)
    , m_margin(margin)
    , m_cells(size_t(columns * rows), LcdRender::Glyph {})
{
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

void LcdCells::setCells(const std::vector<LcdRender::Glyph> &cells, bool backlit)
{
    if (cells == m_cells && backlit == m_backlit)
        return;
    m_cells = cells;
    m_cells.resize(size_t(m_columns * m_rows), LcdRender::Glyph {});
    m_backlit = backlit;
    update();
}

QSize LcdCells::sizeHint() const
{
    return {2 * m_margin + (m_columns * CellPitchX + 1) * m_pitch,
            2 * m_margin + (m_rows * CellPitchY + 1) * m_pitch};
}

int LcdCells::pitch() const
{
    const QSize hint = sizeHint();
    return std::max(m_pitch,
                    std::min(width() * m_pitch / hint.width(), height() * m_pitch / hint.height()));
}

QRect LcdCells::bezelRect() const
{
    const int p = pitch();
    const QSize size(2 * margin() + (m_columns * CellPitchX + 1) * p,
                     2 * margin() + (m_rows * CellPitchY + 1) * p);
    return {QPoint((width() - size.width()) / 2, (height() - size.height()) / 2), size};
}

QRect LcdCells::panelRect() const
{
    const int m = margin();
    return bezelRect().adjusted(m, m, -m, -m);
}

QRect LcdCells::dotRect(int row, int column, int dotRow, int dotColumn) const
{
    // A dot fills its pitch but for a thin line, as the dots of a real panel do.
    const int p = pitch();
    const int gap = std::max(1, p / 4);
    const QPoint origin = panelRect().topLeft() + QPoint(p, p);
    const int x = origin.x() + (column * CellPitchX + dotColumn) * p;
    const int y = origin.y() + (row * CellPitchY + dotRow) * p;
    return {x, y, p - gap, p - gap};
}

QColor LcdCells::panelColor(bool backlit)
{
    return backlit ? QColor(158, 200, 66) : QColor(74, 86, 62);
}

QColor LcdCells::dotColor(bool backlit, bool lit)
{
    if (lit)
        return backlit ? QColor(26, 40, 18) : QColor(24, 30, 20);
    return panelColor(backlit).darker(106);
}

void LcdCells::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    if (margin() > 0) {
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(38, 40, 44));
        p.drawRoundedRect(bezelRect(), margin() / 2.0, margin() / 2.0);
        p.setRenderHint(QPainter::Antialiasing, false);
    }
    p.fillRect(panelRect(), panelColor(m_backlit));
    const QColor on = dotColor(m_backlit, true);
    const QColor off = dotColor(m_backlit, false);
    for (int r = 0; r < m_rows; ++r) {
        for (int c = 0; c < m_columns; ++c) {
            const LcdRender::Glyph &g = m_cells[size_t(r * m_columns + c)];
            for (int dr = 0; dr < DotRows; ++dr) {
                for (int dc = 0; dc < DotColumns; ++dc) {
                    const bool lit = g[size_t(dr)] & (0x10 >> dc);
                    p.fillRect(dotRect(r, c, dr, dc), lit ? on : off);
                }
            }
        }
    }
}

Lamp::Lamp(QColor color, QWidget *parent)
    : QWidget(parent)
    , m_color(color)
{
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

void Lamp::setLit(bool lit)
{
    if (lit != m_lit) {
        m_lit = lit;
        update();
    }
}

void Lamp::setDriven(bool driven)
{
    if (driven != m_driven) {
        m_driven = driven;
        update();
    }
}

void Lamp::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF r = QRectF(rect()).adjusted(2, 2, -2, -2);
    if (!m_driven) {
        p.setPen(QPen(palette().color(QPalette::Mid), 1.5));
        p.setBrush(Qt::NoBrush);
    } else {
        p.setPen(QPen(QColor(30, 30, 30), 1));
        p.setBrush(m_lit ? m_color : m_color.darker(400));
    }
    p.drawEllipse(r);
}

ModuleView::ModuleView(const LcdModule &module, QWidget *parent)
    : QGroupBox(parent)
    , m_module(module)
    , m_display(new LcdCells(LcdModule::Columns, LcdModule::Rows, 4, 14))
    , m_userChars(new LcdCells(8, 1, 3, 3))
{
    m_display->setObjectName(QStringLiteral("display"));
    m_display->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    m_userChars->setObjectName(QStringLiteral("userChars"));

    auto *left = new QVBoxLayout;
    left->addWidget(m_display, 1);
    left->addLayout(stateRows());
    left->addLayout(outputLamps());
    auto *layout = new QHBoxLayout(this);
    layout->addLayout(left, 1);
    layout->addSpacing(12);
    layout->addLayout(storedTexts());
    refresh(true);
}

QLabel *ModuleView::value(const QString &name, const QStringList &wordings, bool bold)
{
    auto *label = new QLabel;
    label->setObjectName(name);
    QFont font = label->font();
    font.setBold(bold);
    label->setFont(font);
    int widest = 0;
    for (const QString &text : wordings) {
        label->setText(text);
        widest = std::max(widest, label->sizeHint().width());
    }
    label->clear();
    label->setMinimumWidth(widest);
    return label;
}

// Address, speed and selection; backlight and cursor.
QLayout *ModuleView::stateRows()
{
    QStringList cursors;
    for (auto type : {LcdModule::Underscore, LcdModule::Blinking, LcdModule::Hidden}) {
        for (int cell = 0; cell < LcdModule::Rows * LcdModule::Columns; ++cell)
            cursors << cursorText(type, cell / LcdModule::Columns, cell % LcdModule::Columns);
    }
    QStringList addresses;
    for (int a = 0; a < 256; ++a)
        addresses << QString::number(a);
    m_address = value(QStringLiteral("address"), addresses, true);
    m_speed = value(QStringLiteral("speed"), {tr("%1 baud").arg(4800), tr("%1 baud").arg(9600)});
    m_selectedLamp = new Lamp(QColor(70, 150, 255));
    m_selectedLamp->setObjectName(QStringLiteral("selectedLamp"));
    m_selected = value(QStringLiteral("selected"), {tr("selected"), tr("not selected")});
    QStringList backlights;
    for (auto state :
         {LcdModule::BacklightOn, LcdModule::BacklightOff, LcdModule::BacklightFlashing})
        backlights << tr(LcdModule::backlightName(state));
    m_backlight = value(QStringLiteral("backlight"), backlights);
    m_cursor = value(QStringLiteral("cursor"), cursors);

    auto *state = new QGridLayout;
    state->setHorizontalSpacing(8);
    state->addWidget(caption(tr("Address")), 0, 0);
    state->addWidget(m_address, 0, 1);
    state->addWidget(caption(tr("Speed")), 0, 2);
    state->addWidget(m_speed, 0, 3);
    auto *selection = new QHBoxLayout;
    selection->setSpacing(4);
    selection->addWidget(m_selectedLamp);
    selection->addWidget(m_selected);
    selection->addStretch();
    state->addLayout(selection, 0, 4);
    state->addWidget(caption(tr("Backlight")), 1, 0);
    state->addWidget(m_backlight, 1, 1);
    state->addWidget(caption(tr("Cursor")), 1, 2);
    state->addWidget(m_cursor, 1, 3, 1, 2);
    state->setColumnStretch(4, 1);
    return state;
}

// The eight outputs as lamps, numbered as the main window's output list, with their
// directions; the configuration window calls output i the P2 line "i + 1.".
QLayout *ModuleView::outputLamps()
{
    auto *outputs = new QGridLayout;
    outputs->setHorizontalSpacing(10);
    outputs->setVerticalSpacing(1);
    outputs->addWidget(caption(tr("Outputs")), 1, 0);
    for (int i = 0; i < 8; ++i) {
        auto *number = new QLabel(QString::number(i));
        number->setAlignment(Qt::AlignHCenter);
        m_outputs[i] = new Lamp(QColor(60, 230, 60));
        m_outputs[i]->setObjectName(QStringLiteral("output_%1").arg(i));
        m_outputs[i]->setToolTip(tr("Output %1, P2 line %2.").arg(i).arg(i + 1));
        m_directions[i] = value(QStringLiteral("direction_%1").arg(i), {tr("out"), tr("in")});
        m_directions[i]->setAlignment(Qt::AlignHCenter);
        outputs->addWidget(number, 0, i + 1, Qt::AlignHCenter);
        outputs->addWidget(m_outputs[i], 1, i + 1, Qt::AlignHCenter);
        outputs->addWidget(m_directions[i], 2, i + 1, Qt::AlignHCenter);
    }
    outputs->setColumnStretch(9, 1);
    return outputs;
}

// The stored texts, the start-up screen, the user-defined characters and the counters.
QLayout *ModuleView::storedTexts()
{
    const QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    auto *texts = new QGridLayout;
    texts->setVerticalSpacing(2);
    texts->addWidget(caption(tr("Stored texts")), 0, 0, 1, 2);
    for (int n = 1; n <= LcdSettings::TextCount; ++n) {
        QLabel *text = m_texts[n - 1] = new QLabel;
        text->setObjectName(QStringLiteral("text_%1").arg(n));
        text->setFont(fixed);
        text->setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
        text->setTextFormat(Qt::PlainText);
        // Room for the 20 characters a text may have.
        text->setMinimumWidth(QFontMetrics(fixed).horizontalAdvance(QString(21, QLatin1Char('M')))
                              + 2 * text->frameWidth());
        texts->addWidget(new QLabel(QString::number(n)), n, 0);
        texts->addWidget(text, n, 1);
    }
    // These take the width the texts give the column, however their numbers grow.
    m_startup = new QLabel;
    m_startup->setObjectName(QStringLiteral("startup"));
    m_counters = new QLabel;
    m_counters->setObjectName(QStringLiteral("counters"));
    for (QLabel *label : {m_startup, m_counters})
        label->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    texts->addWidget(m_startup, LcdSettings::TextCount + 1, 0, 1, 2);
    auto *chars = new QHBoxLayout;
    chars->addWidget(caption(tr("User characters")));
    chars->addWidget(m_userChars);
    chars->addStretch();
    texts->addLayout(chars, LcdSettings::TextCount + 2, 0, 1, 2);
    texts->addWidget(m_counters, LcdSettings::TextCount + 3, 0, 1, 2);
    texts->setRowStretch(LcdSettings::TextCount + 4, 1);
    return texts;
}

void ModuleView::refresh(bool phaseOn)
{
    setTitle(tr("Module %1").arg(m_module.address()));
    const LcdRender::Screen screen = LcdRender::render(m_module, phaseOn);
    m_display->setCells({screen.cells.begin(), screen.cells.end()}, screen.backlit);
    std::vector<LcdRender::Glyph> chars;
    for (quint8 code = 0; code < 8; ++code)
        chars.push_back(LcdRender::glyph(code, m_module.userChars()));
    m_userChars->setCells(chars, true);

    m_address->setText(QString::number(m_module.address()));
    m_speed->setText(tr("%1 baud").arg(m_module.baud()));
    m_selectedLamp->setLit(m_module.isSelected());
    m_selected->setText(m_module.isSelected() ? tr("selected") : tr("not selected"));
    m_backlight->setText(tr(LcdModule::backlightName(m_module.backlight())));
    m_cursor->setText(
        cursorText(m_module.cursorType(), m_module.cursorRow(), m_module.cursorColumn()));
    for (int i = 0; i < 8; ++i) {
        const bool output = m_module.directions() & (1u << i);
        m_outputs[i]->setDriven(output);
        m_outputs[i]->setLit(m_module.outputs() & (1u << i));
        m_directions[i]->setText(output ? tr("out") : tr("in"));
    }
    for (int n = 1; n <= LcdSettings::TextCount; ++n) {
        const QByteArray text = m_module.text(n);
        m_texts[n - 1]->setText(text.isEmpty() ? QString() : shownText(text));
    }
    m_startup->setText(tr("Start-up screen: %1")
                           .arg(m_module.startupScreen() ? tr("on (texts 1 to 4)") : tr("off")));
    m_counters->setText(tr("EEPROM saves: %1\nBitmap loads: %2\nGarbled bytes: %3")
                            .arg(m_module.saveCount())
                            .arg(m_module.bitmapLoadCount())
                            .arg(m_module.garbledCount()));
}

SimWindow::SimWindow(LcdBus &bus, QWidget *parent)
    : QWidget(parent)
    , m_bus(bus)
    , m_line(new QLabel)
    , m_blink(new QTimer(this))
    , m_redraw(new QTimer(this))
{
    m_line->setObjectName(QStringLiteral("line"));
    m_line->setTextInteractionFlags(Qt::TextSelectableByMouse);
    auto *modules = new QWidget;
    auto *list = new QVBoxLayout(modules);
    list->setContentsMargins(0, 0, 0, 0);
    for (int i = 0; i < bus.moduleCount(); ++i) {
        auto *view = new ModuleView(bus.module(i));
        view->setObjectName(QStringLiteral("module_%1").arg(i));
        m_views.push_back(view);
        list->addWidget(view, 1);
    }

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(m_line);
    if (bus.moduleCount() > 2) {
        // More modules than a screen holds: they scroll.
        auto *scroll = new QScrollArea;
        scroll->setWidget(modules);
        scroll->setWidgetResizable(true);
        scroll->setMinimumWidth(modules->sizeHint().width() + 24);
        layout->addWidget(scroll);
    } else {
        layout->addWidget(modules);
    }

    m_blink->setInterval(BlinkMs);
    connect(m_blink, &QTimer::timeout, this, &SimWindow::blink);
    m_blink->start();
    m_redraw->setSingleShot(true);
    m_redraw->setInterval(RedrawMs);
    connect(m_redraw, &QTimer::timeout, this, &SimWindow::refresh);
}

void SimWindow::setPort(int number, const QString &terminal)
{
    m_port = number;
    m_terminal = terminal;
    refresh();
}

void SimWindow::refresh()
{
    m_redraw->stop();
    QStringList addresses;
    for (int i = 0; i < m_bus.moduleCount(); ++i)
        addresses << QString::number(m_bus.module(i).address());
    m_line->setText(tr("COM%1: ports/COM%1 \u2192 %2    modules at %3")
                        .arg(m_port)
                        .arg(m_terminal, addresses.join(QStringLiteral(", "))));
    for (ModuleView *view : m_views)
        view->refresh(m_phaseOn);
}

void SimWindow::lineChanged()
{
    if (!m_redraw->isActive())
        m_redraw->start();
}

void SimWindow::blink()
{
    m_phaseOn = !m_phaseOn;
    refresh();
}
