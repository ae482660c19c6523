#pragma once
#include <string>
#include <vector>

namespace platform {

// Joins arguments into one command-line string that the Windows C runtime
// (and CommandLineToArgvW) splits back into exactly the same arguments.
std::wstring joinWindowsArguments(const std::vector<std::wstring> &arguments);

} // namespace platform
