#include "core/launchermain.h"

int main(int argc, char** argv)
{
    return korvane::launcher::launcherMain(argc, argv);
}
