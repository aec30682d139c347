#pragma once

namespace korvane::launcher {

// The whole run of the launcher process; returns its exit code.
int launcherMain(int argc, char** argv);

} // namespace korvane::launcher
