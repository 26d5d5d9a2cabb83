// talvane-ctl serve: the switch answers Videohub control surfaces.
#pragma once

#include <QHostAddress>

#include <optional>
#include <utility>

#include "ctl.h"
#include "videohub/protocol.h"

namespace talvane {
namespace ctl {

// The serve command, for the command table.
Command serveCommand();

// "ADDR:PORT", "[IPv6]:PORT" or an address alone (`defaultPort`); nothing
// when it is neither.
std::optional<std::pair<QHostAddress, quint16>> parseListenAddress(const QString& text,
                                                                   quint16 defaultPort = videohub::kDefaultPort);

}  // namespace ctl
}  // namespace talvane
