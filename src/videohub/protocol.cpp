#include "protocol.h"

#include <QStringDecoder>

#include "videohub/limits.h"

namespace talvane {
namespace videohub {

namespace {

constexpr char kLineEnd = '\n';
constexpr char kCarriageReturn = '\r';
constexpr char kHeaderEnd = ':';
constexpr char kSeparator = ' ';

inline constexpr char kAck[] = "ACK";
inline constexpr char kNak[] = "NAK";
inline constexpr char kVersionKey[] = "Version: ";
inline constexpr char kTrue[] = "true";
inline constexpr char kFalse[] = "false";
inline constexpr char kTakeModeKey[] = "Take Mode: ";

// A zero-based port index: decimal digits only, below kPorts.
std::optional<int> parseIndex(const QByteArray& text)
{
    if (text.isEmpty() || text.size() > 2)
        return std::nullopt;
    int n = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        n = n * 10 + (c - '0');
    }
    if (n >= kPorts)
        return std::nullopt;
    return n;
}

// "<index> <rest>": the index and the rest, or nothing.
std::optional<std::pair<int, QByteArray>> split(const QByteArray& line)
{
    const qsizetype space = line.indexOf(kSeparator);
    if (space < 0)
        return std::nullopt;
    const std::optional<int> index = parseIndex(line.left(space));
    if (!index)
        return std::nullopt;
    return std::make_pair(*index, line.mid(space + 1));
}

QByteArray indexed(int index, const QByteArray& value)
{
    return QByteArray::number(index) + kSeparator + value;
}

// A value that must stay on its line: control characters become spaces.
QByteArray oneLine(const QString& text)
{
    QString out = text;
    for (QChar& c : out)
        if (c.category() == QChar::Other_Control || c == QChar::LineSeparator || c == QChar::ParagraphSeparator)
            c = u' ';
    return out.toUtf8();
}

std::vector<int> allOr(const std::vector<int>& indexes)
{
    if (!indexes.empty())
        return indexes;
    std::vector<int> all;
    for (int n = 0; n < kPorts; ++n)
        all.push_back(n);
    return all;
}

Block labelsBlock(const char* head, const std::array<QString, kPorts>& names, const std::vector<int>& indexes,
                  QString (*fallback)(int))
{
    Block b{head, {}};
    for (int n : allOr(indexes)) {
        const QString& name = names[std::size_t(n)];
        b.lines << indexed(n, oneLine(name.isEmpty() ? fallback(n) : name));
    }
    return b;
}

}  // namespace

void BlockReader::feed(const char* data, qsizetype size, std::vector<Item>& out)
{
    for (qsizetype i = 0; i < size; ++i) {
        const char c = data[i];
        if (c == kLineEnd) {
            endLine(out);
            continue;
        }
        if (lineTooLong_)
            continue;
        if (line_.size() >= limits::MaxLineBytes) {
            lineTooLong_ = true;
            line_.clear();
            continue;
        }
        line_.append(c);
    }
}

qsizetype BlockReader::heldBytes() const
{
    qsizetype n = line_.size() + block_.header.size();
    for (const QByteArray& l : block_.lines)
        n += l.size();
    return n;
}

void BlockReader::endLine(std::vector<Item>& out)
{
    if (line_.endsWith(kCarriageReturn))
        line_.chop(1);
    const bool tooLong = lineTooLong_;
    lineTooLong_ = false;
    QByteArray line;
    line.swap(line_);

    if (line.isEmpty() && !tooLong) {
        if (!inBlock_)
            return;  // an empty line between blocks
        Item item;
        item.malformed = malformed_;
        if (!malformed_)
            item.block = std::move(block_);
        out.push_back(std::move(item));
        block_ = Block{};
        inBlock_ = false;
        malformed_ = false;
        return;
    }
    if (!inBlock_) {
        inBlock_ = true;
        malformed_ = tooLong || !line.endsWith(kHeaderEnd);
        if (!malformed_)
            block_.header = line;
        return;
    }
    if (malformed_)
        return;
    if (tooLong || block_.lines.size() >= limits::MaxBlockLines) {
        malformed_ = true;
        block_ = Block{};
        return;
    }
    block_.lines << line;
}

QByteArray print(const Block& block)
{
    QByteArray out = block.header;
    out += kLineEnd;
    for (const QByteArray& line : block.lines) {
        out += line;
        out += kLineEnd;
    }
    out += kLineEnd;
    return out;
}

QByteArray ack() { return QByteArray(kAck) + kLineEnd + kLineEnd; }
QByteArray nak() { return QByteArray(kNak) + kLineEnd + kLineEnd; }

Block preambleBlock() { return Block{header::Preamble, {QByteArray(kVersionKey) + kProtocolVersion}}; }

Block deviceBlock(const DeviceIdentity& identity)
{
    const QByteArray inputs = QByteArray::number(kPorts);
    return Block{header::Device,
                 {QByteArray("Device present: ") + kTrue,
                  "Model name: " + oneLine(identity.modelName),
                  "Friendly name: " + oneLine(identity.friendlyName),
                  "Unique ID: " + oneLine(identity.uniqueId),
                  "Video inputs: " + inputs,
                  "Video processing units: 0",
                  "Video outputs: " + inputs,
                  "Video monitoring outputs: 0",
                  "Serial ports: 0"}};
}

QString defaultInputLabel(int index) { return QStringLiteral("Input %1").arg(index + 1); }
QString defaultOutputLabel(int index) { return QStringLiteral("Output %1").arg(index + 1); }

Block inputLabelsBlock(const std::array<QString, kPorts>& names, const std::vector<int>& indexes)
{
    return labelsBlock(header::InputLabels, names, indexes, &defaultInputLabel);
}

Block outputLabelsBlock(const std::array<QString, kPorts>& names, const std::vector<int>& indexes)
{
    return labelsBlock(header::OutputLabels, names, indexes, &defaultOutputLabel);
}

Block locksBlock(const std::array<LockState, kPorts>& locks, const std::vector<int>& indexes)
{
    Block b{header::OutputLocks, {}};
    for (int n : allOr(indexes)) {
        const LockState s = locks[std::size_t(n)];
        b.lines << indexed(n, s == LockState::Owned ? "O" : s == LockState::Locked ? "L" : "U");
    }
    return b;
}

Block routingBlock(const std::array<int, kPorts>& routes, const std::vector<int>& indexes)
{
    Block b{header::OutputRouting, {}};
    for (int n : allOr(indexes))
        b.lines << indexed(n, QByteArray::number(routes[std::size_t(n)]));
    return b;
}

Block configurationBlock() { return Block{header::Configuration, {QByteArray(kTakeModeKey) + kFalse}}; }

Block endPreludeBlock() { return Block{header::EndPrelude, {}}; }

std::optional<RouteLine> parseRouteLine(const QByteArray& line)
{
    const auto parts = split(line);
    if (!parts)
        return std::nullopt;
    const std::optional<int> input = parseIndex(parts->second);
    if (!input)
        return std::nullopt;
    return RouteLine{parts->first, *input};
}

std::optional<LabelLine> parseLabelLine(const QByteArray& line)
{
    const auto parts = split(line);
    if (!parts)
        return std::nullopt;
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decoder.decode(parts->second);
    if (decoder.hasError())
        return std::nullopt;
    return LabelLine{parts->first, text};
}

std::optional<LockLine> parseLockLine(const QByteArray& line)
{
    const auto parts = split(line);
    if (!parts)
        return std::nullopt;
    const QByteArray& s = parts->second;
    if (s == "O")
        return LockLine{parts->first, LockRequest::Take};
    if (s == "U")
        return LockLine{parts->first, LockRequest::Release};
    if (s == "F")
        return LockLine{parts->first, LockRequest::Force};
    return std::nullopt;
}

}  // namespace videohub
}  // namespace talvane
