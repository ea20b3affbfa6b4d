#include "chars/charpanel.h"
#include "ui_charpanel.h"

#include "chars/cellwidgets.h"
#include "chars/chartable.h"
#include "display/frames.h"
#include "shell/forms.h"
#include "shell/modvariables.h"

#include <QButtonGroup>

namespace {
constexpr int Rows = 8;
constexpr int Positions = 8;
constexpr int Weights[] = {16, 8, 4, 2, 1}; // the grid's columns, left to right
const QColor ClearColor(0x80, 0xFF, 0x80);
const QColor SetColor(Qt::black);

// Cell geometry in pixels (twips / 15): columns 120 twips apart from 360, rows 120 apart
// from 360, each cell 135 twips square, so neighbours overlap by one pixel.
constexpr int CellLeft = 24;
constexpr int CellTop = 24;
constexpr int CellPitch = 8;
constexpr int CellSize = 9;
} // namespace

CharPanel::CharPanel(QWidget *parent)
    : QGroupBox(parent)
    , ui(std::make_unique<Ui::CharPanel>())
{
    ui->setupUi(this);
    makePlainList(ui->cboUCH);

    // The grid: one control array per pixel row, the id of each cell its bit weight.
    for (int r = 1; r <= Rows; ++r) {
        auto *group = new QButtonGroup(this);
        for (int column = 0; column < 5; ++column) {
            const int weight = Weights[column];
            auto *cell = new PixelCell(this);
            cell->setObjectName(QStringLiteral("bitmapr%1_%2").arg(r).arg(weight));
            cell->setGeometry(CellLeft + CellPitch * column, CellTop + CellPitch * (r - 1),
                              CellSize, CellSize);
            cell->setColor(ClearColor);
            cell->setToolTip(QStringLiteral("Row %1, worth %2: click to set or clear this pixel")
                                 .arg(r)
                                 .arg(weight));
            group->addButton(cell, weight);
            m_cells[size_t(r - 1)][size_t(column)] = cell;
        }
        connect(group, &QButtonGroup::idClicked, this,
                [this, r](int weight) { TogglePixel(r, weight); });
    }
    m_labels = {ui->lblrow1, ui->lblrow2, ui->lblrow3, ui->lblrow4,
                ui->lblrow5, ui->lblrow6, ui->lblrow7, ui->lblrow8};

    connect(ui->cmdSet, &QPushButton::clicked, this, &CharPanel::SetAllPixels);
    connect(ui->cmdClr, &QPushButton::clicked, this, &CharPanel::ClearAllPixels);
    connect(ui->cmdLoadBitmap, &QPushButton::clicked, this, &CharPanel::LoadCharacter);
    connect(ui->cmdSaveBitmap, &QPushButton::clicked, this, &CharPanel::SaveCharacter);
    connect(ui->cmdSendBitmap, &QPushButton::clicked, this, &CharPanel::SendCharTable);

    reset();
}

CharPanel::~CharPanel() = default;

void CharPanel::attach(modVariables &vars, std::function<void(int)> sendFrameCfg)
{
    m_vars = &vars;
    m_send = std::move(sendFrameCfg);
}

void CharPanel::reset()
{
    if (ui->cboUCH->count() == 0) {
        for (int k = 1; k <= Positions; ++k)
            ui->cboUCH->addItem(QString::number(k));
    }
    ui->cboUCH->setCurrentIndex(0);
    ClearAllPixels();
}

const std::array<quint8, 8> &CharPanel::editorRows() const
{
    return m_rows.rows;
}

// Shows row r of the editor: each cell black exactly when its bit is set, and the row's label.
void CharPanel::showRow(int r)
{
    const quint8 value = m_rows.rows[size_t(r - 1)];
    for (int column = 0; column < 5; ++column)
        m_cells[size_t(r - 1)][size_t(column)]->setColor(value & Weights[column] ? SetColor
                                                                                 : ClearColor);
    m_labels[size_t(r - 1)]->setText(RowCaption(value));
}

void CharPanel::TogglePixel(int row, int weight)
{
    if (row < 1 || row > Rows)
        return;
    m_rows.toggle(row, weight);
    showRow(row);
}

void CharPanel::SetAllPixels()
{
    m_rows.setAll();
    for (int r = 1; r <= Rows; ++r)
        showRow(r);
}

void CharPanel::ClearAllPixels()
{
    m_rows.clear();
    for (int r = 1; r <= Rows; ++r)
        showRow(r);
}

// Brings a character from the table (not the file) into the editor, one set pixel at a time,
// as clicks would; bits 7 to 5 of a stored byte are no pixels and are left out.
void CharPanel::LoadCharacter()
{
    ClearAllPixels();
    const int position = listIndex(ui->cboUCH);
    if (position < 0 || position >= Positions || !m_vars)
        return;
    for (int r = 1; r <= Rows; ++r) {
        const quint8 stored = m_vars->CharTable[size_t(position * Rows + r - 1)];
        for (int weight = 1; weight <= 16; weight <<= 1) {
            if (stored & weight)
                TogglePixel(r, weight);
        }
    }
}

// Commits the editor to the table, then its eight rows to the settings file in one write. A
// failed write changes nothing in the file and is reported; the table keeps the new character.
void CharPanel::SaveCharacter()
{
    const int position = listIndex(ui->cboUCH);
    if (position < 0 || position >= Positions || !m_vars)
        return;
    for (int r = 1; r <= Rows; ++r)
        m_vars->CharTable[size_t(position * Rows + r - 1)] = m_rows.rows[size_t(r - 1)];
    if (!SaveCharacterRows(position + 1, m_rows.rows))
        showWarning(
            this,
            QStringLiteral("Character %1 was not saved to the settings file.").arg(position + 1));
}

// Uploads the whole table, bytes as stored, whatever position is selected.
void CharPanel::SendCharTable()
{
    if (!m_vars || !m_send)
        return;
    m_send(m_vars->putFrame(Frames::UploadChars(m_vars->CharTable)));
}
