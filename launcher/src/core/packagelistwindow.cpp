#include "core/packagelistwindow.h"

#include "core/package.h"

#include <QListWidget>
#include <QVBoxLayout>

namespace korvane::launcher {

TPackageListWindow::TPackageListWindow(std::vector<std::shared_ptr<TPackage>> packages)
    : packages(std::move(packages))
{
    setWindowTitle(QStringLiteral("Korvane Vedudi"));
    auto* layout = new QVBoxLayout(this);
    packageList = new QListWidget(this);
    layout->addWidget(packageList);
    for (int row = 0; row < int(this->packages.size()); ++row) {
        packageList->addItem(QString());
        updateLine(row);
        connect(
            this->packages[row].get(), &TPackage::localPackageStatusChanged, this, [this, row] { updateLine(row); });
    }
    connect(packageList, &QListWidget::itemActivated, this, [this](QListWidgetItem* item) {
        const int row = packageList->row(item);
        if (row >= 0 && row < int(this->packages.size()))
            emit clientPackageButtonClicked(this->packages[row]);
    });
    resize(400, 200);
}

QString TPackageListWindow::statusText(const TPackage& package)
{
    switch (package.localStatus) {
    case ELocalPackageStatus::NotInstalled:
        return QStringLiteral("not installed");
    case ELocalPackageStatus::PartiallyInstalled:
        return QStringLiteral("partially installed");
    case ELocalPackageStatus::UpdateAvailable:
        return QStringLiteral("update available");
    case ELocalPackageStatus::UpToDate:
        return QStringLiteral("up to date");
    case ELocalPackageStatus::Unknown:
        break;
    }
    return QStringLiteral("unknown");
}

void TPackageListWindow::updateLine(int row)
{
    const TPackage& package = *packages[row];
    packageList->item(row)->setText(package.name + QStringLiteral(": ") + statusText(package));
}

} // namespace korvane::launcher
