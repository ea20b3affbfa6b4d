#pragma once

#include "chars/editorrows.h"

#include <QGroupBox>

#include <array>
#include <functional>
#include <memory>

class PixelCell;
class QLabel;
struct modVariables;
namespace Ui {
class CharPanel;
}

// The frame "User's Defined Characters" of the configuration window: the 5 x 8 pixel editor
// and the buttons that load, save and upload the character table.
class CharPanel : public QGroupBox
{
    Q_OBJECT
public:
    explicit CharPanel(QWidget *parent = nullptr);
    ~CharPanel() override;

    // The window's variables (CharTable, TxBuffer) and its untraced send routine SendFrameCfg(n).
    void attach(modVariables &vars, std::function<void(int)> sendFrameCfg);
    // The state at each opening of the window: position "1", every cell clear, every row 0.
    void reset();
    const std::array<quint8, 8> &editorRows() const;

    void TogglePixel(int row, int weight);
    void SetAllPixels();
    void ClearAllPixels();
    void LoadCharacter();
    // The eight rows go to the settings file together or not at all; a failure is told to the
    // operator in a message box.
    void SaveCharacter();
    void SendCharTable();

private:
    void showRow(int row);

    std::unique_ptr<Ui::CharPanel> ui;
    std::array<std::array<PixelCell *, 5>, 8> m_cells {};
    std::array<QLabel *, 8> m_labels {};
    EditorRows m_rows;
    modVariables *m_vars = nullptr;
    std::function<void(int)> m_send;
};
