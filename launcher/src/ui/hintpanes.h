#pragma once

#include "shared/milliseconds.h"
#include "shared/qtextbrowserwithnetwork.h"
#include "shared/randomhints.h"

#include <QObject>
#include <QPixmap>
#include <QPointer>
#include <QSize>
#include <QString>
#include <QUrl>

#include <array>
#include <memory>
#include <vector>

class QGroupBox;
class QHBoxLayout;
class QSpacerItem;
class QVBoxLayout;
class QWidget;

namespace shared {
class TDownloadPool;
} // namespace shared

namespace korvane::launcher {

// The news area of the main window: the framed hint box and its row of three slanted tiles, one per
// category "cat1", "cat2" and "cat3", each with a picture fetched through the application pool and a
// caption; a click on either opens the hint's link. A child of the window, which owns every widget here.
class THintPanes : public QObject
{
    Q_OBJECT

public:
    static constexpr int categoryCount = 3;

    THintPanes(QWidget* window, std::shared_ptr<shared::TDownloadPool> downloadPool, int retries,
        shared::TMilliseconds timeout);

    // Builds the area once and returns the hint box, without parent, for the window's main layout; its
    // vertical layout is empty and the window fills it.
    QGroupBox* createHintBox();

    // Fills the tiles. When all three categories have a hint, the tile row is shown and hintSpacer leaves
    // mainLayout (the spacer itself stays alive, owned by the caller).
    void setHints(const std::vector<shared::THint>& hints, QVBoxLayout* mainLayout, QSpacerItem* hintSpacer);
    // Shows one hint in the left pane.
    void setHint(const shared::THint& hint);

    static void setHintMaskCat1(QWidget* widget);
    static void setHintMaskCat2(QWidget* widget);
    static void setHintMaskCat3(QWidget* widget);

    // Opens a hint's link in the user's browser; only http and https are opened, since the hints document
    // comes from the network.
    static void openHintUrl(const QString& url);
    static bool isWebUrl(const QUrl& url);
    // The picture scaled to cover box, keeping its aspect ratio. A picture of extreme proportions is cut
    // to the box's proportions first, so that covering never needs a huge pixmap; what the tile shows is
    // the same.
    static QPixmap coverPixmap(const QPixmap& picture, const QSize& box);

    QGroupBox* getHintBox() const { return hintBox; }
    QWidget* getHintTiles() const { return hintTiles; }
    QHBoxLayout* getHintTilesLayout() const { return hintTilesLayout; }
    QWidget* getHintPane(int category) const { return hintPanes.at(category); }
    shared::QTextBrowserWithNetwork* getHintBrowser(int category) const { return hintBrowsers.at(category).data(); }

private:
    shared::QTextBrowserWithNetwork* createHintBrowser();
    QWidget* createHintPaneHolder(shared::QTextBrowserWithNetwork* browser);
    void addHintTile(const shared::THint& hint, int category);
    void requestPicture(const QUrl& url);

    QWidget* window = nullptr;
    std::shared_ptr<shared::TDownloadPool> downloadPool;
    int retries = 0;
    shared::TMilliseconds timeout = 0;
    QGroupBox* hintBox = nullptr;
    QWidget* hintTiles = nullptr;
    QHBoxLayout* hintTilesLayout = nullptr;
    // Placeholders until their tile's picture arrives; then deleted.
    std::array<QPointer<shared::QTextBrowserWithNetwork>, categoryCount> hintBrowsers {};
    std::array<QWidget*, categoryCount> hintPanes {};
    // A category shows its first hint; a later one of the same category would take its tile away.
    std::array<bool, categoryCount> filled {};
};

} // namespace korvane::launcher
