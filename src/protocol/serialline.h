// The serial line the switch speaks on: its fixed settings, and what they
// make of a byte's time on the wire.
#pragma once

namespace talvane {
namespace serial {

constexpr int kBaudRate = 115200;
constexpr char kParity = 'N';
constexpr int kDataBits = 8;
constexpr int kStopBits = 2;
// A byte on the line: a start bit, the data bits and the stop bits (no parity bit).
constexpr int kBitsPerByte = 1 + kDataBits + kStopBits;
constexpr int kBytesPerSecond = kBaudRate / kBitsPerByte;

}  // namespace serial
}  // namespace talvane
