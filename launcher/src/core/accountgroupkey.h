#pragma once

#include <QString>

namespace korvane::launcher {

class TLauncherFilesystemHelper;

// The "Key" of the account-group file in the application data location; empty, with a warning, when
// the file gives none.
QString readAccountGroupKey(TLauncherFilesystemHelper& filesystemHelper);

} // namespace korvane::launcher
