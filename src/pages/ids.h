// Numbers the main window and its pages share: the page numbers and the link modes.
#pragma once

#include <cstdint>

namespace talvane {

enum class Page : std::uint8_t { General = 1, Edid = 2, Matrix = 4, Upgrade = 5 };
enum class LinkMode : std::uint8_t { Com = 2, Tcp = 3 };

}  // namespace talvane
