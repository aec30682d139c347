#include "ui/clickablelabel.h"

#include <QMouseEvent>

ClickableLabel::ClickableLabel(QWidget* parent)
    : QLabel(parent)
{ }

void ClickableLabel::mousePressEvent(QMouseEvent* /*event*/)
{
    emit clicked();
}
