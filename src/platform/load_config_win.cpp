// The load configuration Windows reads before any import is resolved: the
// libraries this program imports come from the System directory only, never
// from beside it, where a planted version.dll would run elevated. Constant,
// as nothing of ours has run when the loader reads it. (Debian's MinGW
// headers still call DependentLoadFlags Reserved1.)
#include <windows.h>

namespace {
constexpr IMAGE_LOAD_CONFIG_DIRECTORY64 loadConfig()
{
    IMAGE_LOAD_CONFIG_DIRECTORY64 config{};
    config.Size = sizeof(config);
    config.Reserved1 = LOAD_LIBRARY_SEARCH_SYSTEM32;
    return config;
}
} // namespace

extern "C" const IMAGE_LOAD_CONFIG_DIRECTORY64 _load_config_used = loadConfig();
