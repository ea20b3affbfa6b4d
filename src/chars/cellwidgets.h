#pragma once

#include <QAbstractButton>
#include <QColor>
#include <QPushButton>

// One cell of the pixel grid: a clickable square without caption, painted in its background
// colour (the palette's Window colour).
class PixelCell : public QAbstractButton
{
    Q_OBJECT
    Q_PROPERTY(QColor color READ color WRITE setColor)
public:
    explicit PixelCell(QWidget *parent = nullptr);

    QColor color() const;
    void setColor(const QColor &color);

protected:
    void paintEvent(QPaintEvent *event) override;
};

// A push button whose caption wraps onto several lines when it does not fit on one, as the
// frame's narrow buttons need; text() stays the caption as written.
class WrapButton : public QPushButton
{
    Q_OBJECT
public:
    using QPushButton::QPushButton;

protected:
    void paintEvent(QPaintEvent *event) override;
};
