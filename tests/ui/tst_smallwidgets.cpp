#include "ui/clickablelabel.h"
#include "ui/draggablemainwindow.h"
#include "ui/qcontextpushbutton.h"

#include <QAction>
#include <QContextMenuEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QSignalSpy>
#include <QtTest>

using korvane::launcher::TDraggableMainWindow;

namespace {

// Delivers mouse events with chosen global positions, which QTest's helpers cannot set.
class TDragProbe : public TDraggableMainWindow
{
public:
    void press(QPointF global) { send(QEvent::MouseButtonPress, global, Qt::LeftButton, Qt::LeftButton); }
    void moveTo(QPointF global) { send(QEvent::MouseMove, global, Qt::NoButton, Qt::LeftButton); }
    void release(QPointF global) { send(QEvent::MouseButtonRelease, global, Qt::LeftButton, Qt::NoButton); }

private:
    void send(QEvent::Type type, QPointF global, Qt::MouseButton button, Qt::MouseButtons buttons)
    {
        QMouseEvent event(type, QPointF(10, 10), global, button, buttons, Qt::NoModifier);
        QCoreApplication::sendEvent(this, &event);
    }
};

} // namespace

class TestSmallWidgets : public QObject
{
    Q_OBJECT

private slots:
    void dragMovesByTheMouseTravel();
    void dragFromGlobalOriginStartsWithTheNextMove();
    void moveAfterReleaseDoesNotMove();
    void dragAnchorRoundsHalvesAwayFromZero();
    void contextMenuReportsTheChosenText();
    void emptyContextMenuOpensNothing();
    void labelClickedOnPress();
};

void TestSmallWidgets::dragMovesByTheMouseTravel()
{
    TDragProbe window;
    window.move(100, 100);
    QCOMPARE(window.getDragAnchor(), QPoint());
    window.press(QPointF(300, 300));
    QCOMPARE(window.getDragAnchor(), QPoint(300, 300));
    window.moveTo(QPointF(310, 295));
    QCOMPARE(window.pos(), QPoint(110, 95));
    window.moveTo(QPointF(330, 305));
    QCOMPARE(window.pos(), QPoint(130, 105));
    QCOMPARE(window.getDragAnchor(), QPoint(330, 305));
}

void TestSmallWidgets::dragFromGlobalOriginStartsWithTheNextMove()
{
    // (0, 0) doubles as "no drag", so a press there only arms the anchor at the first move.
    TDragProbe window;
    window.move(50, 60);
    window.press(QPointF(0, 0));
    window.moveTo(QPointF(20, 20));
    QCOMPARE(window.pos(), QPoint(50, 60));
    window.moveTo(QPointF(25, 30));
    QCOMPARE(window.pos(), QPoint(55, 70));
}

void TestSmallWidgets::moveAfterReleaseDoesNotMove()
{
    TDragProbe window;
    window.move(40, 40);
    window.press(QPointF(200, 200));
    window.moveTo(QPointF(210, 210));
    window.release(QPointF(210, 210));
    QCOMPARE(window.getDragAnchor(), QPoint());
    window.moveTo(QPointF(400, 400));
    QCOMPARE(window.pos(), QPoint(50, 50));
    // The stray move armed the anchor again, like a press would; the next one drags.
    QCOMPARE(window.getDragAnchor(), QPoint(400, 400));
}

void TestSmallWidgets::dragAnchorRoundsHalvesAwayFromZero()
{
    TDragProbe window;
    window.press(QPointF(10.5, -3.5));
    QCOMPARE(window.getDragAnchor(), QPoint(11, -4));
    window.press(QPointF(10.49, 2.51));
    QCOMPARE(window.getDragAnchor(), QPoint(10, 3));
}

void TestSmallWidgets::contextMenuReportsTheChosenText()
{
    QContextPushButton button;
    QVERIFY(button.parent() == nullptr);
    QVERIFY(button.text().isEmpty());
    QCOMPARE(button.contextMenu->parent(), &button);
    QAction* verify = button.contextMenu->addAction(QStringLiteral("Verify"));
    button.contextMenu->addAction(QStringLiteral("Uninstall"));
    QSignalSpy triggered(&button, &QContextPushButton::contextTriggered);

    button.show();
    QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(5, 5), button.mapToGlobal(QPoint(5, 5)));
    QCoreApplication::sendEvent(&button, &event);
    QTRY_VERIFY(button.contextMenu->isVisible());
    verify->trigger();
    QCOMPARE(triggered.count(), 1);
    QCOMPARE(triggered.at(0).at(0).toString(), QStringLiteral("Verify"));
    button.contextMenu->hide();
}

void TestSmallWidgets::emptyContextMenuOpensNothing()
{
    QContextPushButton button;
    button.show();
    QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(5, 5), button.mapToGlobal(QPoint(5, 5)));
    QCoreApplication::sendEvent(&button, &event);
    QCoreApplication::processEvents();
    QVERIFY(!button.contextMenu->isVisible());
    // Taken by the button: no parent sees it.
    QVERIFY(event.isAccepted());
}

void TestSmallWidgets::labelClickedOnPress()
{
    QWidget parent;
    auto* label = new ClickableLabel(&parent);
    QCOMPARE(label->parentWidget(), &parent);
    QSignalSpy clicked(label, &ClickableLabel::clicked);
    QMouseEvent press(
        QEvent::MouseButtonPress, QPointF(2, 2), QPointF(2, 2), Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(label, &press);
    QCOMPARE(clicked.count(), 1);
    QMouseEvent release(
        QEvent::MouseButtonRelease, QPointF(2, 2), QPointF(2, 2), Qt::LeftButton, Qt::NoButton, Qt::NoModifier);
    QCoreApplication::sendEvent(label, &release);
    QCOMPARE(clicked.count(), 1);
}

QTEST_MAIN(TestSmallWidgets)
#include "tst_smallwidgets.moc"
