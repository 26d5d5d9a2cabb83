// Every bound and time limit of the MQTT front end, in one place.
#pragma once

namespace talvane {
namespace mqtt {
namespace limits {

// The broker's port unless one is given: plain, and with TLS (--mqtt-cafile).
constexpr int DefaultPort = 1883;
constexpr int DefaultTlsPort = 8883;

// The keepalive the hub asks of the broker, and how often the client looks
// whether a ping is due (or overdue: a broker gone without closing the
// connection is found within two keepalives).
constexpr int KeepaliveSeconds = 30;
constexpr int KeepaliveCheckMs = 5000;

// A broker that cannot be reached, or that went away, is tried again after
// a pause that doubles from the first to the last and stays there.
constexpr int RetryFirstMs = 1000;
constexpr int RetryLastMs = 30000;
// How long a connection attempt may take, from the name lookup to the
// broker's answer, before it counts as failed.
constexpr int ConnectLimitMs = 10000;

// A command payload longer than this is not one (the longest valid payload
// is a preset's or an input's name).
constexpr int MaxCommandBytes = 256;

}  // namespace limits
}  // namespace mqtt
}  // namespace talvane
