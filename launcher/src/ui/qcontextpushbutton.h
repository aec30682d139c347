#pragma once

#include <QPushButton>
#include <QString>

class QAction;
class QContextMenuEvent;
class QMenu;

// A push button with its own context menu; the chosen entry is reported by its text. The button's user
// fills contextMenu; an empty menu opens nothing.
class QContextPushButton : public QPushButton
{
    Q_OBJECT

public:
    QContextPushButton();

    QMenu* contextMenu = nullptr;

signals:
    void contextTriggered(const QString& actionText);

protected:
    void contextMenuEvent(QContextMenuEvent* event) override;

private slots:
    void onContextMenuActionTriggered(QAction* action);
};
