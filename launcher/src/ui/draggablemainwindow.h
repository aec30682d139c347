#pragma once

#include <QMainWindow>
#include <QPoint>

class QMouseEvent;

namespace korvane::launcher {

// A main window that the user moves by dragging its own surface. Mouse events reach it only where no
// child widget takes them, so in practice it is dragged by its background.
class TDraggableMainWindow : public QMainWindow
{
public:
    explicit TDraggableMainWindow(QWidget* parent = nullptr, Qt::WindowFlags flags = {});
    ~TDraggableMainWindow() override;

    const QPoint& getDragAnchor() const { return dragAnchor; }

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;

private:
    // Global position of the last press or move; (0, 0) while no drag is in progress.
    QPoint dragAnchor;
};

} // namespace korvane::launcher
