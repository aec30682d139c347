#pragma once

#include <QWidget>

#include <memory>
#include <vector>

class QListWidget;
class QListWidgetItem;

namespace korvane::launcher {

class TPackage;

// A plain window with one line per package: its name and local status. Activating a line asks for the
// package's main action (play when up to date, install or update otherwise).
class TPackageListWindow : public QWidget
{
    Q_OBJECT

public:
    explicit TPackageListWindow(std::vector<std::shared_ptr<TPackage>> packages);

    static QString statusText(const TPackage& package);
    QListWidget* list() const { return packageList; }

signals:
    void clientPackageButtonClicked(const std::shared_ptr<TPackage>& pPackage);
    void clientPackageVerifyButtonClicked(const std::shared_ptr<TPackage>& pPackage);
    void clientPackageUninstallButtonClicked(const std::shared_ptr<TPackage>& pPackage);

private:
    void updateLine(int row);

    std::vector<std::shared_ptr<TPackage>> packages;
    QListWidget* packageList = nullptr;
};

} // namespace korvane::launcher
