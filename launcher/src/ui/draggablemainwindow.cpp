#include "ui/draggablemainwindow.h"

#include <QMouseEvent>

namespace korvane::launcher {

TDraggableMainWindow::TDraggableMainWindow(QWidget* parent, Qt::WindowFlags flags)
    : QMainWindow(parent, flags)
{ }

TDraggableMainWindow::~TDraggableMainWindow() = default;

void TDraggableMainWindow::mousePressEvent(QMouseEvent* event)
{
    // QPointF::toPoint rounds halves away from zero.
    dragAnchor = event->globalPosition().toPoint();
}

void TDraggableMainWindow::mouseReleaseEvent(QMouseEvent* /*event*/)
{
    dragAnchor = QPoint();
}

void TDraggableMainWindow::mouseMoveEvent(QMouseEvent* event)
{
    const QPoint position = event->globalPosition().toPoint();
    if (!dragAnchor.isNull())
        move(pos() + (position - dragAnchor));
    dragAnchor = position;
}

} // namespace korvane::launcher
