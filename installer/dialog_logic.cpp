#include "dialog_logic.h"

#include <cstdint>
#include <limits>

namespace zendrik {

bool IsAboutCommand(std::uint32_t command) {
    return (command & 0xFFF0u) == kAboutCommandId;
}

bool ShouldAddAboutEntry(bool hasSystemMenu, const wchar_t* aboutText) {
    return hasSystemMenu && aboutText != nullptr && aboutText[0] != L'\0';
}

namespace {

// Wide arithmetic, so that no pair of sizes can overflow.
int CentredStart(int outer, int inner) {
    const std::int64_t start = (static_cast<std::int64_t>(outer) - inner + 1) / 2;
    if (start > std::numeric_limits<int>::max()) {
        return std::numeric_limits<int>::max();
    }
    if (start < std::numeric_limits<int>::min()) {
        return std::numeric_limits<int>::min();
    }
    return static_cast<int>(start);
}

}  // namespace

IconOrigin MinimisedIconOrigin(int clientWidth, int clientHeight, int iconWidth, int iconHeight) {
    return {CentredStart(clientWidth, iconWidth), CentredStart(clientHeight, iconHeight)};
}

}  // namespace zendrik
