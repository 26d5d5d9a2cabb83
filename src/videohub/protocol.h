// The text protocol of Videohub control surfaces: blocks of lines, each a
// header ending in a colon, its lines, and an empty line. Every header text
// and line layout is here; the server only decides what to answer.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <array>
#include <optional>
#include <vector>

namespace talvane {
namespace videohub {

constexpr quint16 kDefaultPort = 9990;
constexpr int kPorts = 8;  // inputs and outputs, zero-based on the wire

namespace header {
inline constexpr char Preamble[] = "PROTOCOL PREAMBLE:";
inline constexpr char Device[] = "VIDEOHUB DEVICE:";
inline constexpr char InputLabels[] = "INPUT LABELS:";
inline constexpr char OutputLabels[] = "OUTPUT LABELS:";
inline constexpr char OutputLocks[] = "VIDEO OUTPUT LOCKS:";
inline constexpr char OutputRouting[] = "VIDEO OUTPUT ROUTING:";
inline constexpr char Configuration[] = "CONFIGURATION:";
inline constexpr char EndPrelude[] = "END PRELUDE:";
inline constexpr char Ping[] = "PING:";
}  // namespace header

// The protocol version this server speaks.
inline constexpr char kProtocolVersion[] = "2.8";

struct Block {
    QByteArray header;  // with its colon
    QList<QByteArray> lines;
    bool operator==(const Block& o) const { return header == o.header && lines == o.lines; }
};

// Cuts a client's bytes into blocks. Bounded: a line longer than
// limits::MaxLineBytes or a block of more than limits::MaxBlockLines lines
// is dropped as it comes (nothing more of it is kept) and reported
// malformed when its empty line arrives; so is a block whose header does
// not end in a colon. Empty lines between blocks are skipped. A carriage
// return before a line feed is dropped.
class BlockReader {
public:
    struct Item {
        bool malformed = false;
        Block block;  // empty when malformed
    };

    // Appends every block the bytes complete to `out`.
    void feed(const char* data, qsizetype size, std::vector<Item>& out);
    // Bytes held for the line and block in progress.
    qsizetype heldBytes() const;

private:
    void endLine(std::vector<Item>& out);

    QByteArray line_;
    bool lineTooLong_ = false;
    bool inBlock_ = false;
    bool malformed_ = false;
    Block block_;
};

// A block as it goes out, ended by its empty line.
QByteArray print(const Block& block);
// "ACK" / "NAK" and the empty line.
QByteArray ack();
QByteArray nak();

// What the device block says.
struct DeviceIdentity {
    QString modelName;
    QString friendlyName;
    QString uniqueId;  // 12 hex digits
};

enum class LockState { Unlocked, Owned, Locked };  // U, O (this client's), L (another's)

Block preambleBlock();
Block deviceBlock(const DeviceIdentity& identity);
// Labels as sent: an empty name is sent as "Input 1" / "Output 1".
Block inputLabelsBlock(const std::array<QString, kPorts>& names, const std::vector<int>& indexes = {});
Block outputLabelsBlock(const std::array<QString, kPorts>& names, const std::vector<int>& indexes = {});
Block locksBlock(const std::array<LockState, kPorts>& locks, const std::vector<int>& indexes = {});
// `routes[o]`: the zero-based input feeding output o.
Block routingBlock(const std::array<int, kPorts>& routes, const std::vector<int>& indexes = {});
Block configurationBlock();
Block endPreludeBlock();

// The name an unlabelled port is sent with.
QString defaultInputLabel(int index);
QString defaultOutputLabel(int index);

// Lines of a change, each read whole or not at all.
struct RouteLine {
    int output;  // zero-based
    int input;
};
struct LabelLine {
    int index;
    QString text;  // as sent, decoded from UTF-8
};
enum class LockRequest { Take, Release, Force };  // O, U, F
struct LockLine {
    int output;
    LockRequest request;
};
std::optional<RouteLine> parseRouteLine(const QByteArray& line);
std::optional<LabelLine> parseLabelLine(const QByteArray& line);  // fails on text that is not UTF-8
std::optional<LockLine> parseLockLine(const QByteArray& line);

}  // namespace videohub
}  // namespace talvane
