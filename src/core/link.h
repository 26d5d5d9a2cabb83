// A road to the switch: the serial port or the TCP control connection. The
// request engine writes every frame to the link of the current link mode;
// tests put a link of their own in its place to capture what is written.
//
// What a link receives and its loss reach the owner window as window messages:
// the serial port sends msg::BytesReceived (handed on as one msg::ByteReceived
// per byte) and posts msg::LinkLost; the TCP link posts msg::TcpSocket with the
// read event and the bytes, the connect event and the close event.
#pragma once

#include <cstddef>
#include <cstdint>

namespace talvane {

class Link {
public:
    virtual ~Link() = default;

    // The serial port is open, or the TCP connection is up.
    virtual bool isOpen() const = 0;
    // Hands one whole frame (a 13-byte command, a 1029-byte data frame or the
    // 256-byte raw block) to the link in one piece; never waits for it to go
    // out. False when the link is closed or refuses the frame.
    virtual bool writeFrame(const std::uint8_t* bytes, std::size_t length) = 0;
    // Closes the link from this side without waiting; no loss is reported for it.
    virtual void closeLink() = 0;
};

}  // namespace talvane
