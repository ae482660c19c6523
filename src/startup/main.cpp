#include "platform/platform.h"
#include "startup/startup.h"

int main(int argc, char **argv)
{
    platform::restrictLibrarySearch();
    return runUpdater(argc, argv);
}
