#include "platform/windows_cmdline.h"

namespace platform {

namespace {

void appendQuoted(std::wstring &out, const std::wstring &arg)
{
    if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        out += arg;
        return;
    }
    out += L'"';
    std::size_t backslashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        if (c == L'"') {
            // Backslashes before a quote are escapes: double them, then escape the quote.
            out.append(backslashes * 2 + 1, L'\\');
        } else {
            out.append(backslashes, L'\\');
        }
        backslashes = 0;
        out += c;
    }
    // Trailing backslashes precede the closing quote, so they are doubled too.
    out.append(backslashes * 2, L'\\');
    out += L'"';
}

} // namespace

std::wstring joinWindowsArguments(const std::vector<std::wstring> &arguments)
{
    std::wstring out;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        if (i > 0)
            out += L' ';
        appendQuoted(out, arguments[i]);
    }
    return out;
}

} // namespace platform
