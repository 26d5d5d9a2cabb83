#include "switchmodel.h"

#include <algorithm>

namespace talvane {
namespace sim {

namespace {
constexpr std::array<std::uint8_t, 8> kEdidHeader{0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};
constexpr std::size_t kEdidBaseSize = 128;
constexpr std::size_t kEdidExtensionCountAt = 126;
constexpr std::size_t kEdidAddressByteSize = 1;

bool sumsToZero(const std::uint8_t* p, std::size_t n)
{
    unsigned sum = 0;
    for (std::size_t i = 0; i < n; ++i)
        sum += p[i];
    return (sum & 0xFFu) == 0;
}

bool hasHeader(const std::uint8_t* p) { return std::equal(kEdidHeader.begin(), kEdidHeader.end(), p); }

// `available` bytes of EDID starting at `edid`; the extension block is checked
// only when all of it is there.
bool edidValidAt(const std::uint8_t* edid, std::size_t available)
{
    if (available < kEdidBaseSize || !hasHeader(edid) || !sumsToZero(edid, kEdidBaseSize))
        return false;
    const std::uint8_t extensions = edid[kEdidExtensionCountAt];
    if (extensions == 0)
        return true;
    if (extensions != 1)
        return false;
    if (available < 2 * kEdidBaseSize)
        return true;
    return sumsToZero(edid + kEdidBaseSize, kEdidBaseSize);
}
}  // namespace

const char* upgradeStateName(UpgradeState s)
{
    switch (s) {
    case UpgradeState::Idle: return "idle";
    case UpgradeState::Started: return "started";
    case UpgradeState::Receiving: return "receiving";
    case UpgradeState::Rebooting: return "rebooting";
    case UpgradeState::Complete: return "complete";
    case UpgradeState::Failed: return "failed";
    }
    return "?";
}

IdentText identFromText(const std::string& text)
{
    IdentText out;
    out.fill(kIdentPadding);
    std::copy_n(text.begin(), std::min(text.size(), out.size()), out.begin());
    return out;
}

std::string identToText(const IdentText& ident) { return std::string(ident.begin(), ident.end()); }

SwitchModel::SwitchModel()
{
    source.fill(true);
    display.fill(true);
    restoreFactorySettings();
}

void SwitchModel::restoreFactorySettings()
{
    for (int o = 1; o <= kPortCount; ++o)
        route[o - 1] = o;
    arc.fill(false);
    edidCode.fill(0);
    power = true;
    beep = true;
}

bool edidBlockValid(const std::uint8_t* block, std::size_t size)
{
    if (size < kEdidBaseSize)
        return false;
    if (hasHeader(block))
        return edidValidAt(block, size);
    return block[0] == 0x00 && edidValidAt(block + kEdidAddressByteSize, size - kEdidAddressByteSize);
}

}  // namespace sim
}  // namespace talvane
