#include "ui/hintpanes.h"

#include "shared/downloadpool.h"
#include "ui/clickablelabel.h"

#include <QDebug>
#include <QDesktopServices>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QPainterPath>
#include <QPainterPathStroker>
#include <QPolygonF>
#include <QRegion>
#include <QSpacerItem>
#include <QTextDocument>
#include <QTransform>
#include <QVBoxLayout>

#include <algorithm>

namespace korvane::launcher {

namespace {

const QString categories[THintPanes::categoryCount]
    = { QStringLiteral("cat1"), QStringLiteral("cat2"), QStringLiteral("cat3") };

constexpr QSize holderSize(276, 80);
constexpr QSize browserSize(280, 104);
constexpr QSize tilePictureSize(290, 80);
constexpr QSize framedTileSize(286, 84);
constexpr QSize singleHintPictureSize(280, 104);

// How far a covering picture may overhang its box before it is cut to the box's proportions.
constexpr int maximumOverhang = 4;

int categoryIndex(const QString& category)
{
    for (int i = 0; i < THintPanes::categoryCount; ++i) {
        if (category == categories[i])
            return i;
    }
    return -1;
}

void setShape(QWidget* widget, const QPointF (&points)[4], bool withStroke)
{
    QPainterPath path;
    path.moveTo(points[0]);
    for (int i = 1; i < 4; ++i)
        path.lineTo(points[i]);
    path.closeSubpath();
    QPolygonF polygon = path.toFillPolygon(QTransform());
    if (withStroke) {
        QPainterPathStroker stroker;
        stroker.setWidth(1.0);
        stroker.setJoinStyle(Qt::RoundJoin);
        polygon << stroker.createStroke(path).toFillPolygon(QTransform());
    }
    widget->setMask(QRegion(polygon.toPolygon(), Qt::OddEvenFill));
}

QString captionStyle(int leftPadding, const QString& background)
{
    return QStringLiteral("QLabel { font-family: \"Liberation Sans\"; font-variant: small-caps; font-size: 11px; "
                          "font-weight: bold; color: #DADABC; background-color: %1; padding-left: %2px; }")
        .arg(background)
        .arg(leftPadding);
}

QPoint centredIn(const QSize& outer, const QSize& inner)
{
    return QPoint((outer.width() - inner.width()) / 2, (outer.height() - inner.height()) / 2);
}

void preparePictureLabel(ClickableLabel* label, QWidget* holder, const QSize& size, const QString& link)
{
    label->setParent(holder);
    label->setMinimumSize(size);
    label->setGeometry(QRect(centredIn(holder->size(), size), size));
    label->setOpenExternalLinks(true);
    label->setTextInteractionFlags(
        Qt::TextSelectableByMouse | Qt::LinksAccessibleByMouse | Qt::LinksAccessibleByKeyboard);
    label->setToolTip(link);
    label->setCursor(Qt::PointingHandCursor);
    label->show();
}

} // namespace

THintPanes::THintPanes(
    QWidget* window, std::shared_ptr<shared::TDownloadPool> downloadPool, int retries, shared::TMilliseconds timeout)
    : QObject(window)
    , window(window)
    , downloadPool(std::move(downloadPool))
    , retries(retries)
    , timeout(timeout)
{ }

bool THintPanes::isWebUrl(const QUrl& url)
{
    return url.isValid() && !url.host().isEmpty()
        && (url.scheme() == QLatin1String("http") || url.scheme() == QLatin1String("https"));
}

void THintPanes::openHintUrl(const QString& url)
{
    const QUrl target(url, QUrl::TolerantMode);
    if (!isWebUrl(target)) {
        qWarning() << "Hint link not opened, not a web address:" << url;
        return;
    }
    QDesktopServices::openUrl(target);
}

QPixmap THintPanes::coverPixmap(const QPixmap& picture, const QSize& box)
{
    if (picture.isNull() || box.isEmpty())
        return picture;
    const QSize covering = picture.size().scaled(box, Qt::KeepAspectRatioByExpanding);
    if (covering.width() <= box.width() * maximumOverhang && covering.height() <= box.height() * maximumOverhang)
        return picture.scaled(box, Qt::KeepAspectRatioByExpanding, Qt::SmoothTransformation);
    // Cut the middle part of the box's proportions; scaling it fills the box exactly.
    QSize cut = box.scaled(picture.size(), Qt::KeepAspectRatio);
    cut = cut.expandedTo(QSize(1, 1)).boundedTo(picture.size());
    const QRect middle(centredIn(picture.size(), cut), cut);
    return picture.copy(middle).scaled(box, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
}

void THintPanes::setHintMaskCat1(QWidget* widget)
{
    const qreal w = widget->width();
    const qreal h = widget->height();
    setShape(widget, { { 0, 0 }, { w, 0 }, { w - h / 2, h }, { 0, h } }, false);
}

void THintPanes::setHintMaskCat2(QWidget* widget)
{
    const qreal w = widget->width();
    const qreal h = widget->height();
    setShape(widget, { { h / 2, 0 }, { w, 0 }, { w - h / 2, h }, { 0, h } }, true);
}

void THintPanes::setHintMaskCat3(QWidget* widget)
{
    const qreal w = widget->width();
    const qreal h = widget->height();
    setShape(widget, { { h / 2, 0 }, { w, 0 }, { w, h }, { 0, h } }, true);
}

namespace {

void applyMask(int category, QWidget* widget)
{
    switch (category) {
    case 0:
        THintPanes::setHintMaskCat1(widget);
        break;
    case 1:
        THintPanes::setHintMaskCat2(widget);
        break;
    default:
        THintPanes::setHintMaskCat3(widget);
        break;
    }
}

} // namespace

shared::QTextBrowserWithNetwork* THintPanes::createHintBrowser()
{
    auto* browser = new shared::QTextBrowserWithNetwork(window, downloadPool, retries, timeout);
    browser->setOpenExternalLinks(true);
    browser->setContextMenuPolicy(Qt::NoContextMenu);
    browser->setFixedSize(browserSize);
    browser->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    browser->viewport()->setAutoFillBackground(true);
    browser->document()->setDefaultStyleSheet(QStringLiteral("a { color: #c0c0c0; text-decoration:unterline; }"));
    browser->setStyleSheet(QStringLiteral(
        "QTextBrowser { font-family: \"Liberation Sans\"; font-variant: small-caps; font-size: 11px; "
        "font-weight: bold; color: #DADABC; border: none; background: transparent; } "
        "QScrollBar:vertical { width: 12px; background: url(:/images/launcher/scrollbar-texture-vertical.png); "
        "margin: 12px 0px 12px 0px; } "
        "QScrollBar::handle:vertical { border-image: url(:/images/launcher/scrollbar-handle-vertical.png) 6 6 6 6; "
        "border-width: 6px; border-style: solid; border-color: transparent; min-height: 12px; } "
        "QScrollBar::sub-line:vertical { height: 12px; subcontrol-position: top; subcontrol-origin: margin; } "
        "QScrollBar::add-line:vertical { height: 12px; subcontrol-position: bottom; subcontrol-origin: margin; } "
        "QScrollBar::up-arrow:vertical { image: url(:/images/launcher/scrollbar-buttonup-up.png); } "
        "QScrollBar::up-arrow:vertical:pressed { image: url(:/images/launcher/scrollbar-buttonup-down.png); } "
        "QScrollBar::down-arrow:vertical { image: url(:/images/launcher/scrollbar-buttondown-up.png); } "
        "QScrollBar::down-arrow:vertical:pressed { image: url(:/images/launcher/scrollbar-buttondown-down.png); } "
        "QScrollBar::add-page:vertical, QScrollBar::sub-page:vertical { background: none; }"));
    return browser;
}

QWidget* THintPanes::createHintPaneHolder(shared::QTextBrowserWithNetwork* browser)
{
    auto* holder = new QWidget(window);
    holder->setFixedSize(holderSize);
    holder->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    browser->setParent(holder);
    return holder;
}

QGroupBox* THintPanes::createHintBox()
{
    if (hintBox)
        return hintBox;
    hintBox = new QGroupBox(QString());
    hintBox->setAlignment(Qt::AlignHCenter);
    hintBox->setStyleSheet(
        QStringLiteral("QGroupBox { border-image: url(:/images/launcher/hint-background.png) %1 %1 0 %1 repeat; "
                       "border-width: %1px; border-style: solid; border-color: transparent; "
                       "background-attachment: fixed; font-family: \"Liberation Sans\"; font-variant: small-caps; "
                       "font-size: 11px; font-weight: bold; color: #DADABC; } "
                       "QGroupBox::title { color: #DADABC; background-color: transparent; margin-top: 2px; }")
            .arg(5));

    hintTilesLayout = new QHBoxLayout;
    hintTilesLayout->setSpacing(0);
    for (int i = 0; i < categoryCount; ++i) {
        hintBrowsers[i] = createHintBrowser();
        hintPanes[i] = createHintPaneHolder(hintBrowsers[i]);
        applyMask(i, hintPanes[i]);
        hintTilesLayout->addWidget(hintPanes[i]);
    }
    hintTilesLayout->setContentsMargins(0, 0, 44, 0);
    hintTiles = new QWidget(window);
    hintTiles->setLayout(hintTilesLayout);
    hintTiles->hide();

    hintBox->setMinimumWidth(780);
    hintBox->setMaximumWidth(790);
    hintBox->setLayout(new QVBoxLayout);
    hintBox->show();
    return hintBox;
}

void THintPanes::requestPicture(const QUrl& url)
{
    // The hints document comes from the network: its pictures are fetched from web addresses only,
    // never from local files. A hint without a picture asks for nothing.
    if (url.isEmpty())
        return;
    if (!isWebUrl(url)) {
        qWarning() << "Hint picture not requested, not a web address:" << url;
        return;
    }
    downloadPool->Download(url, retries, timeout);
}

void THintPanes::setHints(const std::vector<shared::THint>& hints, QVBoxLayout* mainLayout, QSpacerItem* hintSpacer)
{
    if (!hintBox)
        return;
    hintBox->hide();
    if (hints.empty()) {
        hintTiles->hide();
        hintBox->show();
        return;
    }

    auto* boxLayout = qobject_cast<QVBoxLayout*>(hintBox->layout());
    if (boxLayout && boxLayout->indexOf(hintTiles) < 0)
        boxLayout->insertWidget(0, hintTiles);
    if (boxLayout)
        boxLayout->setContentsMargins(0, 0, 0, 0);
    hintTiles->show();

    std::array<bool, categoryCount> occurred {};
    for (const shared::THint& hint : hints) {
        const int category = categoryIndex(hint.category);
        if (category < 0)
            continue;
        occurred[category] = true;
        if (filled[category])
            continue;
        filled[category] = true;
        addHintTile(hint, category);
        applyMask(category, hintPanes[category]->parentWidget());
    }

    const bool allOccurred = std::all_of(occurred.begin(), occurred.end(), [](bool seen) { return seen; });
    if (allOccurred) {
        if (mainLayout && hintSpacer)
            mainLayout->removeItem(hintSpacer);
    } else {
        hintTiles->hide();
    }
    hintBox->show();
}

void THintPanes::addHintTile(const shared::THint& hint, int category)
{
    QWidget* holder = hintPanes[category];
    const QUrl pictureUrl(hint.imageUrl, QUrl::TolerantMode);

    // The label is the reaction's context, so a reaction never outlives the label it fills.
    auto* picture = new ClickableLabel(window);
    auto handle = std::make_shared<QMetaObject::Connection>();
    QPointer<shared::QTextBrowserWithNetwork> placeholder = hintBrowsers[category];
    *handle = connect(downloadPool.get(), &shared::TDownloadPool::success, picture,
        [picture, holder, pictureUrl, handle, placeholder](const QUrl& url, const QByteArray& data) {
            if (url != pictureUrl)
                return;
            QPixmap pixmap;
            pixmap.loadFromData(data);
            if (!pixmap.isNull()) {
                pixmap = coverPixmap(pixmap, tilePictureSize);
                picture->setMinimumSize(pixmap.size());
                picture->setGeometry(QRect(centredIn(holder->size(), pixmap.size()), pixmap.size()));
            }
            picture->setPixmap(pixmap);
            if (placeholder)
                placeholder->deleteLater();
            QObject::disconnect(*handle);
        });
    requestPicture(pictureUrl);
    preparePictureLabel(picture, holder, tilePictureSize, hint.url);

    auto* caption = new ClickableLabel(holder);
    caption->setText(hint.richText);
    caption->setStyleSheet(captionStyle(category == 0 ? 10 : 18, QStringLiteral("rgba(50, 50, 50, 0.7)")));
    caption->setAlignment(Qt::AlignVCenter);
    caption->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Ignored);
    caption->setToolTip(hint.url);
    caption->setCursor(Qt::PointingHandCursor);
    caption->setGeometry(0, 50, 280, 30);
    caption->show();

    const QString link = hint.url;
    connect(picture, &ClickableLabel::clicked, this, [link] { openHintUrl(link); });
    connect(caption, &ClickableLabel::clicked, this, [link] { openHintUrl(link); });

    auto* frame = new QWidget(window);
    frame->setFixedSize(framedTileSize);
    frame->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    frame->setStyleSheet(QStringLiteral("QWidget:hover { background-color: #8ED838; } "
                                        "QWidget { background-color: transparent; }"));
    auto* frameLayout = new QHBoxLayout(frame);
    frameLayout->setSpacing(0);
    frameLayout->setContentsMargins(0, 0, 0, 0);
    delete hintTilesLayout->replaceWidget(holder, frame, Qt::FindChildrenRecursively);
    frameLayout->addWidget(holder);
    hintTilesLayout->setAlignment(Qt::AlignCenter);
}

void THintPanes::setHint(const shared::THint& hint)
{
    if (!hintBox)
        return;
    QWidget* holder = hintPanes[0];
    const QUrl pictureUrl(hint.imageUrl, QUrl::TolerantMode);

    auto* picture = new ClickableLabel(window);
    auto handle = std::make_shared<QMetaObject::Connection>();
    *handle = connect(downloadPool.get(), &shared::TDownloadPool::success, picture,
        [picture, holder, pictureUrl, handle](const QUrl& url, const QByteArray& data) {
            if (url != pictureUrl)
                return;
            QPixmap pixmap;
            pixmap.loadFromData(data);
            if (!pixmap.isNull()) {
                pixmap = coverPixmap(pixmap, singleHintPictureSize);
                picture->setGeometry(QRect(centredIn(holder->size(), pixmap.size()), pixmap.size()));
            }
            picture->setPixmap(pixmap);
            QObject::disconnect(*handle);
        });
    requestPicture(pictureUrl);
    preparePictureLabel(picture, holder, singleHintPictureSize, hint.url);
    const QString link = hint.url;
    connect(picture, &QLabel::linkActivated, this, [link] { openHintUrl(link); });

    if (hintBrowsers[0])
        hintBrowsers[0]->deleteLater();

    auto* caption = new ClickableLabel(holder);
    caption->setText(hint.title.isEmpty() ? hint.richText : hint.title);
    caption->setStyleSheet(captionStyle(10, QStringLiteral("rgba(50, 50, 50, 0.5)")));
    caption->setAlignment(Qt::AlignVCenter);
    caption->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Ignored);
    caption->setToolTip(hint.url);
    caption->setCursor(Qt::PointingHandCursor);
    caption->setGeometry(0, 74, 280, 30);
    caption->show();

    connect(picture, &ClickableLabel::clicked, this, [link] { openHintUrl(link); });
    connect(caption, &ClickableLabel::clicked, this, [link] { openHintUrl(link); });

    hintBox->setVisible(!hint.richText.trimmed().isEmpty());
    hintBox->setTitle(hint.title.isEmpty() ? qtTrId("launcher.hints.title") : hint.title);
    window->adjustSize();
}

} // namespace korvane::launcher
