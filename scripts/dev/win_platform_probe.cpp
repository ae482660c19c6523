// Links the Windows platform layer with the MinGW-w64 cross compiler so that
// it keeps building although our machines never run it.
#include "platform/platform.h"

#include <cstdio>

int main()
{
    const bool admin = platform::isAdministrator();
    std::printf("admin=%d data=%s tar=%s\n", admin ? 1 : 0, platform::dataRoot().c_str(),
                platform::toolProgram(platform::Tool::Tar).c_str());
    if (!admin && !platform::relaunchElevated({"-i", "C:\\a b\\", "-m", "manual"}))
        platform::terminateNow(1);
    return 0;
}
