#include "ui/qcontextpushbutton.h"

#include <QAction>
#include <QContextMenuEvent>
#include <QMenu>

QContextPushButton::QContextPushButton()
    : QPushButton(nullptr)
    , contextMenu(new QMenu(this))
{
    connect(contextMenu, &QMenu::triggered, this, &QContextPushButton::onContextMenuActionTriggered);
}

void QContextPushButton::contextMenuEvent(QContextMenuEvent* event)
{
    if (!contextMenu->actions().isEmpty())
        contextMenu->popup(event->globalPos());
}

void QContextPushButton::onContextMenuActionTriggered(QAction* action)
{
    emit contextTriggered(action->text());
}
