#include "installation/packagedifference.h"

namespace korvane::launcher {

void registerInstallationMetaTypes()
{
    static const bool registered = [] {
        qRegisterMetaType<TFileSize>("TFileSize");
        qRegisterMetaType<EPackageDownloaderError>("korvane::launcher::EPackageDownloaderError");
        qRegisterMetaType<TPackageDifference>("korvane::launcher::TPackageDifference");
        return true;
    }();
    Q_UNUSED(registered);
}

} // namespace korvane::launcher
