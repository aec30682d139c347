#pragma once

#include <QLabel>

class QMouseEvent;

// A label that reports a mouse press as a click, at once, without waiting for the release.
class ClickableLabel : public QLabel
{
    Q_OBJECT

public:
    explicit ClickableLabel(QWidget* parent);

signals:
    void clicked();

protected:
    void mousePressEvent(QMouseEvent* event) override;
};
