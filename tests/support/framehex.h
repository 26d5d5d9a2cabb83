// A command as the simulator's trace and the tests' captures write it: its
// sealed frame in hex.
#pragma once

#include <QString>

#include "protocol/frame.h"

namespace talvane {

inline QString hexOf(CommandFrame f)
{
    return QString::fromStdString(toHex(f.seal().bytes));
}

}  // namespace talvane
