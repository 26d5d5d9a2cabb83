// Frames, checksum, the frame assembler and the command builders.
#include <QtTest>

#include <vector>

#include "protocol/answers.h"
#include "protocol/assembler.h"
#include "protocol/commands.h"
#include "protocol/frame.h"
#include "protocol/netpackets.h"
#include "protocol/replies.h"

Q_DECLARE_METATYPE(talvane::CommandFrame)
Q_DECLARE_METATYPE(talvane::decode::EdidAnswer)
Q_DECLARE_METATYPE(std::vector<std::uint8_t>)

using namespace talvane;

namespace {

std::vector<std::uint8_t> hexBytes(const char* text)
{
    std::vector<std::uint8_t> out;
    for (const QString& t : QString::fromLatin1(text).split(QLatin1Char(' '), Qt::SkipEmptyParts))
        out.push_back(static_cast<std::uint8_t>(t.toUInt(nullptr, 16)));
    return out;
}

QString hexOf(const CommandFrame& f) { return QString::fromStdString(toHex(f.bytes)); }

struct Collected {
    std::vector<CommandFrame> frames;
    FrameAssembler assembler{[this](const CommandFrame& f) { frames.push_back(f); }};
    void feed(const std::vector<std::uint8_t>& bytes)
    {
        for (std::uint8_t b : bytes)
            assembler.feed(b);
    }
};

}  // namespace

class TestProtocol : public QObject {
    Q_OBJECT
private slots:
    void checksumWorkedExamples_data();
    void checksumWorkedExamples();
    void checksumOnlyForFrameLengths_data();
    void checksumOnlyForFrameLengths();
    void verifyRejectsAnyChangedByte();
    void dataFrameFillAndChecksum();
    void firmwareBlocks_data();
    void firmwareBlocks();

    void assembler_data();
    void assembler();
    void assemblerWrapMissesStraddlingHeader();
    void assemblerHeaderJustBeforeWrapIsFound();
    void assemblerLongJunkThenFrame();

    void builders_data();
    void builders();
    void replies_data();
    void replies();
    void readersTakeWhatBuildersWrote_data();
    void readersTakeWhatBuildersWrote();
    void edidAnswers_data();
    void edidAnswers();
    void answerRulesFromTheBytesSent_data();
    void answerRulesFromTheBytesSent();
    void assemblerReadsOfAStream_data();
    void assemblerReadsOfAStream();
    void assemblerKeepsOrderWhenAHandlerReceivesMore();
    void assemblerDropsAFrameBrokenBySilence_data();
    void assemblerDropsAFrameBrokenBySilence();
    void netConfigWorkedExample();
    void searchReplyDecode();
    void netConfigFromTexts_data();
    void netConfigFromTexts();
    void macAndOctetTexts_data();
    void macAndOctetTexts();
    void ipv4Parsing_data();
    void ipv4Parsing();
    void macParsing_data();
    void macParsing();
    void netDeviceTexts();
};

void TestProtocol::checksumWorkedExamples_data()
{
    QTest::addColumn<QString>("body");
    QTest::addColumn<int>("checksum");
    QTest::newRow("power state query") << "A5 5B 08 0C 00 00 00 00 00 00 00 00" << 0xEC;
    QTest::newRow("all zeros after header") << "A5 5B 00 00 00 00 00 00 00 00 00 00" << 0x00;
    QTest::newRow("route input 4 to output B") << "A5 5B 02 03 04 00 02 00 00 00 00 00" << 0xF5;
    QTest::newRow("all FF") << "FF FF FF FF FF FF FF FF FF FF FF FF" << 0x0C;
}

void TestProtocol::checksumWorkedExamples()
{
    QFETCH(QString, body);
    QFETCH(int, checksum);
    std::vector<std::uint8_t> frame = hexBytes(body.toLatin1().constData());
    frame.push_back(0x99);
    QVERIFY(computeChecksum(frame.data(), frame.size()));
    QCOMPARE(int(frame[12]), checksum);
    QVERIFY(verifyChecksum(frame.data()));
}

void TestProtocol::checksumOnlyForFrameLengths_data()
{
    QTest::addColumn<int>("length");
    QTest::addColumn<bool>("written");
    QTest::newRow("command frame") << 13 << true;
    QTest::newRow("data frame") << 1029 << true;
    QTest::newRow("raw EDID block") << 256 << false;
    QTest::newRow("one short of a frame") << 12 << false;
    QTest::newRow("one past a frame") << 14 << false;
    QTest::newRow("one short of a data frame") << 1028 << false;
}

void TestProtocol::checksumOnlyForFrameLengths()
{
    QFETCH(int, length);
    QFETCH(bool, written);
    std::vector<std::uint8_t> buf(static_cast<std::size_t>(length), 0x11);
    buf.back() = 0x77;
    QCOMPARE(computeChecksum(buf.data(), buf.size()), written);
    if (written) {
        unsigned sum = 0;
        for (std::uint8_t b : buf)
            sum += b;
        QCOMPARE(sum % 256, 0u);
    } else {
        QCOMPARE(int(buf.back()), 0x77);
    }
}

void TestProtocol::verifyRejectsAnyChangedByte()
{
    CommandFrame f = build::routeSet(4, 2);
    f.seal();
    QVERIFY(f.checksumValid());
    for (int i = 0; i < 13; ++i) {
        CommandFrame g = f;
        g[i] = static_cast<std::uint8_t>(g[i] + 1);
        QVERIFY2(!g.checksumValid(), qPrintable(QStringLiteral("byte %1").arg(i)));
    }
}

void TestProtocol::dataFrameFillAndChecksum()
{
    std::vector<std::uint8_t> image(2049);
    for (std::size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<std::uint8_t>(i * 7);
    DataFrame d;
    d.fill(image.data(), image.size(), 2048, kLastBlockFlag);
    QCOMPARE(int(d.flags()), 0x80);
    QCOMPARE(int(d.blockNumber()), 2);
    QCOMPARE(int(d.payload()[0]), int(image[2048]));
    for (std::size_t i = 1; i < kDataPayloadSize; ++i)
        QCOMPARE(int(d.payload()[i]), 0xFF);
    QVERIFY(computeChecksum(d.data(), d.size()));
    QVERIFY(d.checksumValid());
    QCOMPARE(int(d.bytes[0]), 0xFE);
    QCOMPARE(int(d.bytes[1]), 0xEF);

    // Block numbers keep only their low 8 bits.
    d.fill(image.data(), image.size(), 300 * 1024, 0);
    QCOMPARE(int(d.blockNumber()), 300 % 256);
}

void TestProtocol::firmwareBlocks_data()
{
    QTest::addColumn<int>("imageSize");
    QTest::addColumn<int>("blocks");  // the last one flagged, none before it
    QTest::newRow("1 byte") << 1 << 2;
    QTest::newRow("1024 bytes") << 1024 << 2;
    QTest::newRow("1025 bytes") << 1025 << 2;
    QTest::newRow("2048 bytes") << 2048 << 2;
    QTest::newRow("2049 bytes") << 2049 << 3;
    QTest::newRow("100,000 bytes") << 100000 << 98;
}

void TestProtocol::firmwareBlocks()
{
    QFETCH(int, imageSize);
    QFETCH(int, blocks);
    const std::size_t size = std::size_t(imageSize);
    QCOMPARE(int(firmwareBlockCount(size)), blocks);
    QCOMPARE(int(lastFirmwareBlockOffset(size)), (blocks - 1) * 1024);
    for (int n = 0; n < blocks; ++n)
        QCOMPARE(int(firmwareBlockFlags(size, std::size_t(n) * 1024)), n == blocks - 1 ? 0x80 : 0);
    // A block past the last is filler, flagged as well.
    QCOMPARE(int(firmwareBlockFlags(size, std::size_t(blocks) * 1024)), 0x80);

    std::vector<std::uint8_t> image(size, 0x5A);
    DataFrame d;
    build::firmwareBlock(d, image.data(), size, std::size_t(blocks - 1) * 1024);
    QCOMPARE(int(d.flags()), 0x80);
    QCOMPARE(int(d.blockNumber()), blocks - 1);
    const std::size_t inLast = size > std::size_t(blocks - 1) * 1024 ? size - std::size_t(blocks - 1) * 1024 : 0;
    for (std::size_t i = 0; i < kDataPayloadSize; ++i)
        QCOMPARE(int(d.payload()[i]), i < inLast ? 0x5A : 0xFF);
}

void TestProtocol::assembler_data()
{
    QTest::addColumn<QString>("stream");
    QTest::addColumn<QStringList>("frames");
    const QString route = "A5 5B 02 03 00 00 02 00 00 00 00 00 F9";
    QTest::newRow("one frame") << route << QStringList{route};
    QTest::newRow("leading junk skipped") << "12 " + route << QStringList{route};
    QTest::newRow("a lone A5 before the header")
        << "A5 " + route << QStringList{route};
    QTest::newRow("header bytes inside a frame are data")
        << "A5 5B 01 04 03 A5 5B 00 00 00 00 00 11 22"
        << QStringList{"A5 5B 01 04 03 A5 5B 00 00 00 00 00 11"};
    QTest::newRow("back to back")
        << route + " " + route << QStringList{route, route};
    QTest::newRow("block acknowledgement header")
        << "00 FE EF 80 02 00 00 00 00 00 00 00 00 91"
        << QStringList{"FE EF 80 02 00 00 00 00 00 00 00 00 91"};
    QTest::newRow("bad checksum still cut as a frame")
        << "A5 5B 08 0C 0F 00 00 00 00 00 00 00 00"
        << QStringList{"A5 5B 08 0C 0F 00 00 00 00 00 00 00 00"};
    QTest::newRow("incomplete frame yields nothing") << "A5 5B 02 03 00" << QStringList{};
    QTest::newRow("5B A5 order is not a header") << "5B A5 02 03 00 00 00 00 00 00 00 00 FB" << QStringList{};
}

void TestProtocol::assembler()
{
    QFETCH(QString, stream);
    QFETCH(QStringList, frames);
    Collected c;
    c.feed(hexBytes(stream.toLatin1().constData()));
    QStringList got;
    for (const CommandFrame& f : c.frames)
        got << hexOf(f);
    QCOMPARE(got, frames);
}

void TestProtocol::assemblerWrapMissesStraddlingHeader()
{
    // 253 junk bytes fill indexes 2..254; A5 lands at index 255, the window
    // wraps, and the 5B that follows is not joined to it.
    Collected c;
    c.feed(std::vector<std::uint8_t>(253, 0x00));
    c.assembler.feed(0xA5);
    QCOMPARE(c.assembler.windowFill(), FrameAssembler::kWindowStart);
    c.feed(hexBytes("5B 02 03 00 00 02 00 00 00 00 00 F4"));
    QVERIFY(c.frames.empty());
    QVERIFY(!c.assembler.inFrame());
    // The next complete header is found normally.
    c.feed(hexBytes("A5 5B 02 03 00 00 02 00 00 00 00 00 F9"));
    QCOMPARE(c.frames.size(), std::size_t(1));
}

void TestProtocol::assemblerHeaderJustBeforeWrapIsFound()
{
    // A5 at index 254 and 5B at index 255: both inside the window.
    Collected c;
    c.feed(std::vector<std::uint8_t>(252, 0x00));
    c.feed(hexBytes("A5 5B 02 03 00 00 02 00 00 00 00 00 F9"));
    QCOMPARE(c.frames.size(), std::size_t(1));
}

void TestProtocol::assemblerLongJunkThenFrame()
{
    Collected c;
    std::vector<std::uint8_t> junk(5000);
    for (std::size_t i = 0; i < junk.size(); ++i)
        junk[i] = static_cast<std::uint8_t>(i % 0x50);  // never A5 or FE
    c.feed(junk);
    QVERIFY(c.frames.empty());
    QVERIFY(c.assembler.windowFill() >= FrameAssembler::kWindowStart);
    QVERIFY(c.assembler.windowFill() < FrameAssembler::kWindowSize);
    c.feed(hexBytes("A5 5B 08 0C 0F 00 00 00 00 00 00 00 DD"));
    QCOMPARE(c.frames.size(), std::size_t(1));
    QVERIFY(c.frames[0].checksumValid());
}

void TestProtocol::builders_data()
{
    QTest::addColumn<CommandFrame>("frame");
    QTest::addColumn<QString>("wire");
    // Full frames as they go out, checksum included.
    QTest::newRow("RouteSet 4 -> B") << build::routeSet(4, 2) << "A5 5B 02 03 04 00 02 00 00 00 00 00 F5";
    QTest::newRow("PowerStateQuery") << build::powerStateQuery() << "A5 5B 08 0C 00 00 00 00 00 00 00 00 EC";
    QTest::newRow("UpgradePageQuery") << build::upgradePageQuery() << "A5 5B 01 01 00 00 00 00 00 00 CC 00 32";
    QTest::newRow("reboot query") << build::upgradePageQuery(true) << "A5 5B 01 01 00 00 00 00 00 00 CC CC 66";
    QTest::newRow("ArcSet on C") << build::arcSet(3, true) << "A5 5B 10 01 0F 00 03 00 00 00 0F 00 CE";
    QTest::newRow("ArcSet off C") << build::arcSet(3, false) << "A5 5B 10 01 F0 00 03 00 00 00 F0 00 0C";
    QTest::newRow("ArcQuery H") << build::arcQuery(8) << "A5 5B 10 02 00 00 08 00 00 00 00 00 E6";
    QTest::newRow("BeepSet on") << build::beepSet(true) << "A5 5B 06 01 0F 00 DD 00 00 00 00 00 0D";
    QTest::newRow("BeepSet off") << build::beepSet(false) << "A5 5B 06 01 F0 00 00 00 00 00 00 00 09";
    QTest::newRow("BeepSet factory marker") << build::beepSetFactoryMarker() << "A5 5B 06 01 0F 00 DD 00 00 00 88 00 85";
    QTest::newRow("PowerSet on") << build::powerSet(true) << "A5 5B 08 0B 0F 00 0F 00 00 00 00 00 CF";
    QTest::newRow("EDID preset 15 to IN3") << build::edidSetPreset(14, 3) << "A5 5B 03 02 0F F0 03 00 00 00 00 00 F9";
    QTest::newRow("EDID preset to all") << build::edidSetPreset(0, 0) << "A5 5B 03 01 01 F0 00 00 00 00 00 00 0B";
    QTest::newRow("factory EDID") << build::edidFactoryPreset() << "A5 5B 03 01 01 F0 05 00 00 00 00 00 06";
    QTest::newRow("EDID copy all") << build::edidCopy(2, 0) << "A5 5B 03 03 02 00 00 00 00 00 00 00 F8";
    QTest::newRow("EDID upload request") << build::edidUploadRequest() << "A5 5B 03 08 F0 00 00 00 00 00 BB 00 4A";
    QTest::newRow("EDID upload target all") << build::edidUploadTarget(0) << "A5 5B 03 06 FE F0 00 00 00 00 00 00 09";
    QTest::newRow("EDID block header all") << build::edidBlockHeader(true) << "A5 5B 03 06 56 00 00 01 00 00 00 00 A0";
    QTest::newRow("status input 3") << build::inputStatusQuery(3) << "A5 5B 01 04 03 00 00 00 00 00 00 00 F8";
}

void TestProtocol::builders()
{
    QFETCH(CommandFrame, frame);
    QFETCH(QString, wire);
    QCOMPARE(hexOf(frame.seal()), wire);
}

void TestProtocol::replies_data()
{
    QTest::addColumn<CommandFrame>("frame");
    QTest::addColumn<QString>("body");  // positions 0..11
    QTest::newRow("route ack B") << reply::routeSetAck(2) << "A5 5B 02 03 00 00 02 00 00 00 00 00";
    QTest::newRow("route query") << reply::routeQuery(5, 7) << "A5 5B 02 01 05 00 07 00 00 00 00 00";
    QTest::newRow("arc ack on") << reply::arcSetAck(4, true) << "A5 5B 10 01 00 00 04 00 00 00 0F 00";
    QTest::newRow("arc query off") << reply::arcQuery(6, false) << "A5 5B 10 02 F0 00 06 00 00 00 00 00";
    QTest::newRow("input 3 disconnected") << reply::portStatus(cmd::InputStatusQuery, 3, false) << "A5 5B 01 04 03 00 01 00 00 00 00 00";
    QTest::newRow("EDID done") << reply::edidResult(build::edidBlockHeader(false), true) << "A5 5B 03 07 00 00 00 01 00 00 00 00";
    QTest::newRow("EDID invalid") << reply::edidResult(build::edidSetPreset(2, 5), false) << "A5 5B 03 02 0F 00 05 00 00 00 00 00";
    QTest::newRow("last block ack") << reply::blockAck(0x80, 2, 0) << "FE EF 80 02 00 00 00 00 00 00 00 00";
}

void TestProtocol::replies()
{
    QFETCH(CommandFrame, frame);
    QFETCH(QString, body);
    QCOMPARE(QString::fromStdString(toHex(frame.data(), 12)), body);
}

void TestProtocol::readersTakeWhatBuildersWrote_data()
{
    // Each row reads a reply built by the simulator's builder (or given as
    // raw bytes) and prints the fields a handler would see.
    QTest::addColumn<QString>("read");
    QTest::addColumn<QString>("expected");
    auto row = [](const char* name, const QString& read, const char* expected) {
        QTest::newRow(name) << read << QString::fromLatin1(expected);
    };
    using namespace decode;
    {
        const auto s = portStatus(reply::portStatus(cmd::OutputStatusQuery, 7, false));
        row("port status", QStringLiteral("%1 %2").arg(s.port).arg(s.connected), "7 0");
    }
    {
        const auto r = routeAnswer(reply::routeQuery(2, 4));
        row("route answer", QStringLiteral("out %1 in %2").arg(r.output).arg(r.input), "out 2 in 4");
    }
    {
        // What a sender reads back from the command buffer.
        const auto c = routeSetCommand(build::routeSet(4, 2));
        row("route command", QStringLiteral("in %1 out %2").arg(c.input).arg(c.output), "in 4 out 2");
        row("route query command", QString::number(routeQueryOutput(build::routeQuery(7))), "7");
    }
    {
        const auto a = routeSetAck(reply::routeSetAck(8));
        row("route ack", QStringLiteral("%1 out %2").arg(a.status).arg(a.output), "0 out 8");
    }
    {
        const auto a = arcSetAck(reply::arcSetAck(3, false));
        row("arc ack", QStringLiteral("%1 out %2 %3").arg(a.status).arg(a.output).arg(a.state, 0, 16), "0 out 3 f0");
    }
    {
        const auto a = arcAnswer(reply::arcQuery(6, true));
        row("arc answer", QStringLiteral("out %1 %2").arg(a.output).arg(a.state, 0, 16), "out 6 f");
    }
    {
        const auto b = beepSetAck(reply::beepSetAck(true, true));
        row("beep ack", QStringLiteral("%1 %2 %3").arg(b.status).arg(b.on).arg(b.marker, 0, 16), "0 1 88");
    }
    {
        const auto b = beepState(reply::beepState(false));
        row("beep state", QStringLiteral("%1 %2").arg(b.status).arg(b.enabled), "0 0");
    }
    {
        const auto p = powerSetAck(reply::powerSetAck(true));
        row("power ack", QStringLiteral("%1 %2").arg(p.status).arg(p.state, 0, 16), "0 f");
    }
    {
        const auto e = edidStatus(reply::edidStatus(5, 22));
        row("EDID status", QStringLiteral("IN%1 code %2").arg(e.input).arg(e.code), "IN5 code 22");
    }
    {
        const auto e = edidResult(reply::edidResult(build::edidBlockHeader(true), false));
        row("EDID result", QStringLiteral("%1 %2 %3 %4").arg(e.status, 0, 16).arg(e.flag).arg(e.target).arg(e.extra),
            "f 0 0 1");
    }
    {
        const auto k = deviceKind(reply::deviceKind(2, kInfoMarker));
        row("kind after reboot", QStringLiteral("%1 %2 %3").arg(k.kind).arg(k.marked).arg(k.afterReboot), "2 1 1");
        const auto p = devicePorts(reply::devicePorts(8, 4));
        row("ports", QStringLiteral("%1x%2 %3").arg(p.inputs).arg(p.outputs).arg(p.marked), "8x4 1");
        const auto v = deviceVersion(reply::deviceVersion(1, 3));
        row("version", QStringLiteral("%1.%2 %3").arg(v.major).arg(v.minor).arg(v.marked), "1.3 1");
    }
    {
        const std::uint8_t text[] = {'T', 'A', 'L', 'V', 'A', 'N', 'E', 0xCC};
        const auto t = identText(reply::identText(3, text));
        row("ident part", QStringLiteral("%1 %2").arg(t.part).arg(QString::fromLatin1(reinterpret_cast<const char*>(t.text.data()), 7)),
            "3 TALVANE");
        row("ident part's last byte", QString::number(t.text[7], 16), "cc");
        const auto w = identWriteAck(reply::identWriteAck(2, 1));
        row("ident write ack", QStringLiteral("%1 %2").arg(w.part).arg(w.status), "2 1");
        row("not an ident read", QString::number(identText(reply::identWriteAck(0, 0)).part), "-1");
    }
    {
        const CommandFrame f = reply::blockAck(0x80, 97, kBlockResend);
        const auto b = blockAck(f);
        row("block ack", QStringLiteral("%1 %2 %3 %4").arg(isBlockAck(f)).arg(b.flags, 0, 16).arg(b.block).arg(b.status), "1 80 97 1");
        row("command is no block ack", QString::number(isBlockAck(reply::routeSetAck(1))), "0");
    }
}

void TestProtocol::readersTakeWhatBuildersWrote()
{
    QFETCH(QString, read);
    QFETCH(QString, expected);
    QCOMPARE(read, expected);
}

// How the EDID page reads a reply to the command it sent last. Position 5
// (the flag) must be 0 in every answer but the upload's ready reply: a switch
// that echoes the command is not answering it.
void TestProtocol::edidAnswers_data()
{
    using decode::EdidAnswer;
    QTest::addColumn<CommandFrame>("command");
    QTest::addColumn<CommandFrame>("reply");
    QTest::addColumn<EdidAnswer>("answer");
    const CommandFrame preset = build::edidSetPreset(14, 3), target = build::edidUploadTarget(2);
    auto flagged = [](CommandFrame f, std::uint8_t flag) {
        f[pos::P2] = flag;
        return f;
    };
    QTest::newRow("ready") << build::edidUploadRequest() << reply::edidUploadReady() << EdidAnswer::UploadReady;
    QTest::newRow("ready, flag set") << build::edidUploadRequest() << flagged(reply::edidUploadReady(), 0xF0)
                                     << EdidAnswer::UploadReady;
    QTest::newRow("accepted") << target << reply::edidAccept(cmd::EdidUploadTarget) << EdidAnswer::Accepted;
    QTest::newRow("accepted, flag set") << target << flagged(reply::edidAccept(cmd::EdidUploadTarget), 0xF0)
                                        << EdidAnswer::None;
    QTest::newRow("done") << preset << reply::edidResult(preset, true) << EdidAnswer::Done;
    QTest::newRow("done, flag set") << preset << flagged(reply::edidResult(preset, true), 0x01) << EdidAnswer::None;
    QTest::newRow("no valid data") << preset << reply::edidResult(preset, false) << EdidAnswer::NoValidData;
    QTest::newRow("no valid data, flag set") << preset << flagged(reply::edidResult(preset, false), 0xF0)
                                             << EdidAnswer::None;
    QTest::newRow("the command echoed") << preset << preset << EdidAnswer::None;
    QTest::newRow("another command's code") << preset << reply::edidResult(build::edidCopy(2, 3), true) << EdidAnswer::None;
}

void TestProtocol::edidAnswers()
{
    QFETCH(CommandFrame, command);
    QFETCH(CommandFrame, reply);
    QFETCH(decode::EdidAnswer, answer);
    QCOMPARE(int(decode::edidAnswer(reply, command)), int(answer));
}

// What a hub asks of the rules for the bytes it forwards: whether a reply is
// the answer, and whether the bytes are a command of the index at all.
void TestProtocol::answerRulesFromTheBytesSent_data()
{
    QTest::addColumn<std::vector<std::uint8_t>>("sent");
    QTest::addColumn<bool>("withHeader");  // the raw block follows the block header for input 2
    QTest::addColumn<CommandFrame>("reply");
    QTest::addColumn<bool>("known");
    QTest::addColumn<bool>("answers");
    auto bytes = [](const CommandFrame& f) { return std::vector<std::uint8_t>(f.bytes.begin(), f.bytes.end()); };
    auto withStatus = [](CommandFrame f, std::uint8_t status) {
        f[pos::P1] = status;
        return f;
    };
    const auto route = bytes(build::routeSet(4, 2));
    QTest::newRow("route: its output") << route << false << reply::routeSetAck(2) << true << true;
    QTest::newRow("route: a late one for C") << route << false << reply::routeSetAck(3) << true << false;
    QTest::newRow("route: refused") << route << false << withStatus(reply::routeSetAck(2), 1) << true << false;
    const auto on = bytes(build::powerSet(true));
    QTest::newRow("power on: on") << on << false << reply::powerSetAck(true) << true << true;
    QTest::newRow("power on: off") << on << false << reply::powerSetAck(false) << true << false;
    const auto edid3 = bytes(build::edidQuery(3));
    QTest::newRow("EDID of input 3: 3") << edid3 << false << reply::edidStatus(3, 7) << true << true;
    QTest::newRow("EDID of input 3: 4") << edid3 << false << reply::edidStatus(4, 7) << true << false;
    const auto poll = bytes(build::upgradePageQuery(/*rebootQuery=*/true));
    QTest::newRow("reboot poll: the plain answer") << poll << false << reply::deviceKind(1, 0) << true << false;
    QTest::newRow("reboot poll: its own") << poll << false << reply::deviceKind(1, kInfoMarker) << true << true;
    QTest::newRow("ident part 2: part 2") << bytes(build::identRead(2)) << false << reply::identText(2, route.data())
                                          << true << true;
    QTest::newRow("ident part 2: part 1") << bytes(build::identRead(2)) << false << reply::identText(1, route.data())
                                          << true << false;

    std::vector<std::uint8_t> image(3000, 0x5A);
    DataFrame block;
    build::firmwareBlock(block, image.data(), image.size(), kDataPayloadSize);
    const std::vector<std::uint8_t> block1(block.bytes.begin(), block.bytes.end());
    QTest::newRow("block 1: again") << block1 << false << reply::blockAck(0, 1, kBlockResend) << true << true;
    QTest::newRow("block 1: block 0") << block1 << false << reply::blockAck(0, 0, kBlockReceived) << true << false;
    QTest::newRow("block 1: as the last") << block1 << false << reply::blockAck(kLastBlockFlag, 1, kBlockReceived)
                                          << true << false;
    build::firmwareBlock(block, image.data(), image.size(), 2 * kDataPayloadSize);
    const std::vector<std::uint8_t> last(block.bytes.begin(), block.bytes.end());
    QTest::newRow("last block: as the last") << last << false << reply::blockAck(kLastBlockFlag, 2, kBlockReceived)
                                             << true << true;

    const CommandFrame header = build::edidBlockHeader(false);
    const std::vector<std::uint8_t> raw(kRawEdidBlockSize, 0x11);
    QTest::newRow("raw block: set") << raw << true << reply::edidResult(header, true) << true << true;
    QTest::newRow("raw block: no valid data") << raw << true << reply::edidResult(header, false) << true << true;
    QTest::newRow("raw block: without its header") << raw << false << reply::edidResult(header, true) << false << false;
    QTest::newRow("block header: answered by nothing") << bytes(header) << false << reply::edidResult(header, true)
                                                       << true << false;

    CommandFrame unknown = build::command({0x09, 0x01});
    QTest::newRow("not of the index") << bytes(unknown) << false << reply::ack({0x09, 0x01}) << false << false;
    QTest::newRow("power, no state") << bytes(build::command(cmd::PowerSet)) << false << reply::ack(cmd::PowerSet)
                                     << false << false;
    QTest::newRow("a piece of a frame") << std::vector<std::uint8_t>(route.begin(), route.begin() + 12) << false
                                        << reply::routeSetAck(2) << false << false;
}

void TestProtocol::answerRulesFromTheBytesSent()
{
    QFETCH(std::vector<std::uint8_t>, sent);
    QFETCH(bool, withHeader);
    QFETCH(CommandFrame, reply);
    QFETCH(bool, known);
    QFETCH(bool, answers);
    const CommandFrame header = build::edidBlockHeader(false);
    const AnswerRule rule = AnswerRule::of(sent.data(), sent.size(), withHeader ? &header : nullptr);
    QCOMPARE(rule.known(), known);
    QCOMPARE(rule.answers(reply), answers);
    QCOMPARE(talvane::answers(sent.data(), sent.size(), reply, withHeader ? &header : nullptr), answers);
}

// The reads of a TCP connection, each given to receive() whole.
void TestProtocol::assemblerReadsOfAStream_data()
{
    QTest::addColumn<QStringList>("reads");
    QTest::addColumn<QStringList>("frames");
    const QString power = "A5 5B 08 0C 0F 00 00 00 00 00 00 00 DD";
    const QString beep = "A5 5B 01 0B 00 00 00 00 00 00 00 00 F4";
    QTest::newRow("split 6 + 7") << QStringList{"A5 5B 08 0C 0F 00", "00 00 00 00 00 00 DD"} << QStringList{power};
    QTest::newRow("header split across reads") << QStringList{"00 A5", "5B 08 0C 0F 00 00 00 00 00 00 00 DD"}
                                               << QStringList{power};
    QTest::newRow("two replies in one read") << QStringList{power + " " + beep} << QStringList{power, beep};
    QTest::newRow("junk, then a reply and half of the next")
        << QStringList{"01 02 03 " + power + " A5 5B 01", "0B 00 00 00 00 00 00 00 00 F4"} << QStringList{power, beep};
    QTest::newRow("block acknowledgement") << QStringList{"FE EF 00 03 00 00 00 00 00 00 00 00 10"}
                                           << QStringList{"FE EF 00 03 00 00 00 00 00 00 00 00 10"};
}

void TestProtocol::assemblerReadsOfAStream()
{
    QFETCH(QStringList, reads);
    QFETCH(QStringList, frames);
    Collected c;
    for (const QString& r : reads) {
        const std::vector<std::uint8_t> b = hexBytes(r.toLatin1().constData());
        c.assembler.receive(b.data(), b.size());
    }
    QStringList got;
    for (const CommandFrame& f : c.frames)
        got << hexOf(f);
    QCOMPARE(got, frames);
}

void TestProtocol::assemblerKeepsOrderWhenAHandlerReceivesMore()
{
    // The first frame's handler runs a nested loop in which the next read
    // arrives; the rest of the first read still comes first.
    const std::vector<std::uint8_t> first = hexBytes("A5 5B 01 01 00 00 00 00 00 00 00 00 00 A5 5B 01 02");
    const std::vector<std::uint8_t> second =
        hexBytes("00 00 00 00 00 00 00 00 00 A5 5B 01 03 00 00 00 00 00 00 00 00 00");
    std::vector<int> codes;
    FrameAssembler a;
    a.setHandler([&](const CommandFrame& f) {
        codes.push_back(f[pos::Code]);
        if (codes.size() == 1)
            a.receive(second.data(), second.size());
    });
    a.receive(first.data(), first.size());
    QCOMPARE(codes, std::vector<int>({1, 2, 3}));
}

// Reads with the times they came: half a frame followed by silence must not
// swallow the start of the next reply.
void TestProtocol::assemblerDropsAFrameBrokenBySilence_data()
{
    QTest::addColumn<QList<qint64>>("times");
    QTest::addColumn<QStringList>("reads");
    QTest::addColumn<QStringList>("frames");
    QTest::addColumn<int>("dropped");
    const QString power = "A5 5B 08 0C 0F 00 00 00 00 00 00 00 DD";
    const QString beep = "A5 5B 01 0B 00 00 00 00 00 00 00 00 F4";
    const qint64 limit = FrameAssembler::kSilenceLimitMs;
    using T = QList<qint64>;
    QTest::newRow("half a frame, silence, a whole reply")
        << T{0, limit + 1} << QStringList{"A5 5B 08 0C 0F 00", power} << QStringList{power} << 1;
    QTest::newRow("a reply split by a short gap") << T{0, 5} << QStringList{"A5 5B 08 0C 0F 00", "00 00 00 00 00 00 DD"}
                                                 << QStringList{power} << 0;
    QTest::newRow("a gap of the limit itself keeps the frame")
        << T{0, limit} << QStringList{"A5 5B 08 0C 0F 00", "00 00 00 00 00 00 DD"} << QStringList{power} << 0;
    QTest::newRow("a header byte, silence, the rest: no frame")
        << T{0, 2 * limit} << QStringList{"A5", "5B 08 0C 0F 00 00 00 00 00 00 00 DD"} << QStringList{} << 0;
    QTest::newRow("whole replies far apart") << T{0, 10 * limit} << QStringList{power, beep} << QStringList{power, beep} << 0;
    QTest::newRow("silence measured from the last byte")
        << T{0, limit, 2 * limit, 3 * limit + 1}
        << QStringList{"A5 5B", "08 0C", "0F 00 00 00", "00 00 00 00 DD " + beep} << QStringList{beep} << 1;
    QTest::newRow("two broken frames") << T{0, 2 * limit, 4 * limit}
                                       << QStringList{"A5 5B 01", "FE EF 00 03", power} << QStringList{power} << 2;
}

void TestProtocol::assemblerDropsAFrameBrokenBySilence()
{
    QFETCH(QList<qint64>, times);
    QFETCH(QStringList, reads);
    QFETCH(QStringList, frames);
    QFETCH(int, dropped);
    Collected c;
    for (int i = 0; i < reads.size(); ++i) {
        const std::vector<std::uint8_t> b = hexBytes(reads[i].toLatin1().constData());
        c.assembler.receive(b.data(), b.size(), times[i]);
    }
    QStringList got;
    for (const CommandFrame& f : c.frames)
        got << hexOf(f);
    QCOMPARE(got, frames);
    QCOMPARE(int(c.assembler.droppedPartials()), dropped);

    // Byte by byte, each with the time of its read, the same.
    Collected single;
    for (int i = 0; i < reads.size(); ++i)
        for (std::uint8_t b : hexBytes(reads[i].toLatin1().constData()))
            single.assembler.feed(b, times[i]);
    QCOMPARE(single.frames.size(), c.frames.size());
    QCOMPARE(int(single.assembler.droppedPartials()), dropped);
}

void TestProtocol::netConfigWorkedExample()
{
    NetConfigPacket p;
    p.target = {0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};
    p.staticIp = true;
    p.ip = {192, 168, 1, 50};
    p.newMac = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
    const std::vector<std::uint8_t> b = p.encode();
    QCOMPARE(b.size(), std::size_t(76));
    QCOMPARE(QString::fromStdString(toHex(b.data(), 26)),
             QStringLiteral("AA BB CC DD EE FF C0 A8 01 32 C0 A8 01 01 FF FF FF 00 00 00 11 22 33 44 55 17"));
    for (std::size_t i = 26; i < 74; ++i)
        QCOMPARE(int(b[i]), 0);
    QCOMPARE(int(b[74]), 0xFF);
    QCOMPARE(int(b[75]), 0x12);
    const auto back = NetConfigPacket::decode(b.data(), b.size());
    QVERIFY(back.has_value());
    QVERIFY(back->staticIp);
    QVERIFY(back->newMac == p.newMac);

    p.staticIp = false;
    const std::vector<std::uint8_t> a = p.encode();
    for (std::size_t i = 6; i < 18; ++i)
        QCOMPARE(int(a[i]), 0);
    QCOMPARE(int(a[18]), 1);
    QCOMPARE(int(a[25]), 0x16);

    std::vector<std::uint8_t> bad = b;
    bad[30] ^= 1;
    QVERIFY(!NetConfigPacket::decode(bad.data(), bad.size()).has_value());
}

void TestProtocol::searchReplyDecode()
{
    SearchReply r;
    r.mac = {1, 2, 3, 4, 5, 6};
    r.ip = {10, 0, 0, 7};
    std::vector<std::uint8_t> d = r.encode();
    QCOMPARE(d.size(), std::size_t(50));
    auto got = SearchReply::decode(d.data(), d.size());
    QVERIFY(got && got->marked && got->ip == r.ip && got->mac == r.mac);
    QVERIFY(!SearchReply::decode(d.data(), 49).has_value());
    d[19] = 0;
    got = SearchReply::decode(d.data(), d.size());
    QVERIFY(got && !got->marked);
}

// The packet as the dialog's texts and the current device give it.
void TestProtocol::netConfigFromTexts_data()
{
    QTest::addColumn<bool>("staticIp");
    QTest::addColumn<QStringList>("ip");
    QTest::addColumn<QString>("head");  // bytes 0..25
    QTest::addColumn<int>("sum");
    QTest::newRow("static 192.168.1.50")
        << true << QStringList{"192", "168", "1", "50"}
        << "AA BB CC DD EE FF C0 A8 01 32 C0 A8 01 01 FF FF FF 00 00 00 11 22 33 44 55 17" << 0x12;
    // Whatever the IP boxes hold.
    QTest::newRow("auto") << false << QStringList{"10", "1", "300", "x"}
                          << "AA BB CC DD EE FF 00 00 00 00 00 00 00 00 00 00 00 00 01 00 11 22 33 44 55 16" << -1;
    QTest::newRow("static, an octet of 300 sends 44")
        << true << QStringList{"10", "0", "300", ""}
        << "AA BB CC DD EE FF 0A 00 2C 00 0A 00 2C 01 FF FF FF 00 00 00 11 22 33 44 55 17" << -1;
}

void TestProtocol::netConfigFromTexts()
{
    QFETCH(bool, staticIp);
    QFETCH(QStringList, ip);
    QFETCH(QString, head);
    QFETCH(int, sum);
    NetDevice current;
    current.mac = {"AA", "BB", "CC", "DD", "EE", "FF"};
    NetSettings s;
    s.staticIp = staticIp;
    for (int i = 0; i < 4; ++i)
        s.ip[std::size_t(i)] = ip[i].toStdString();
    s.mac = {"00", "11", "22", "33", "44", "55"};
    const std::vector<std::uint8_t> b = netConfigFor(current, s).encode();
    QCOMPARE(b.size(), NetConfigPacket::kSize);
    QCOMPARE(QString::fromStdString(toHex(b.data(), 26)), head);
    QCOMPARE(int(b[74]), 0xFF);
    QCOMPARE(int(b[75]), int(plainSum(b.data(), 75)));
    if (sum >= 0)
        QCOMPARE(int(b[75]), sum);
    QVERIFY(!isNetConfigConfirmation(b.data(), b.size()));
    const std::vector<std::uint8_t> ok = netConfigFor(current, s).encodeConfirmation();
    QVERIFY(isNetConfigConfirmation(ok.data(), ok.size()));
    QVERIFY(!isNetConfigConfirmation(ok.data(), ok.size() - 1));
}

void TestProtocol::macAndOctetTexts_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("mac");
    QTest::addColumn<int>("octet");
    QTest::newRow("1G") << "1G" << 0 << 1;
    QTest::newRow("a5") << "a5" << 0xA5 << 0;
    QTest::newRow("1A2B: the last pair") << "1A2B" << 0x2B << 1;
    QTest::newRow("1A2: the last complete pair") << "1A2" << 0x1A << 1;
    QTest::newRow("1AG5: up to the bad pair") << "1AG5" << 0x1A << 1;
    QTest::newRow("empty") << "" << 0 << 0;
    QTest::newRow("300") << "300" << 0x30 << 44;
    QTest::newRow("255") << "255" << 0x25 << 255;
    QTest::newRow("12 digits") << "999999999999" << 0x99 << int(999999999999LL % 256);
}

void TestProtocol::macAndOctetTexts()
{
    QFETCH(QString, text);
    QFETCH(int, mac);
    QFETCH(int, octet);
    QCOMPARE(int(macByteFromText(text.toStdString())), mac);
    QCOMPARE(int(ipOctetFromText(text.toStdString())), octet);
}

void TestProtocol::ipv4Parsing_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("parsed");  // empty: not an address
    QTest::newRow("plain") << "192.168.1.50" << "192.168.1.50";
    QTest::newRow("zeros") << "0.0.0.0" << "0.0.0.0";
    QTest::newRow("top") << "255.255.255.255" << "255.255.255.255";
    QTest::newRow("octet of 256") << "10.0.0.256" << "";
    QTest::newRow("three parts") << "10.0.1" << "";
    QTest::newRow("five parts") << "10.0.0.1.5" << "";
    QTest::newRow("trailing dot") << "10.0.0.1." << "";
    QTest::newRow("empty part") << "10..0.1" << "";
    QTest::newRow("leading zero") << "10.0.0.01" << "";
    QTest::newRow("letters") << "10.0.0.a" << "";
    QTest::newRow("host name") << "switch.local" << "";
    QTest::newRow("empty") << "" << "";
    QTest::newRow("space inside") << "10.0. 0.1" << "";
}

void TestProtocol::ipv4Parsing()
{
    QFETCH(QString, text);
    QFETCH(QString, parsed);
    const std::optional<Ipv4Octets> ip = parseIpv4(text.toStdString());
    QCOMPARE(ip ? QString::fromStdString(ipToText(*ip)) : QString(), parsed);
}

void TestProtocol::macParsing_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("parsed");  // empty: not a MAC
    QTest::newRow("colons") << "02:54:4C:56:53:09" << "02544C565309";
    QTest::newRow("dashes, lower case") << "0a-bb-0c-dd-0e-ff" << "0ABB0CDD0EFF";
    QTest::newRow("no separators") << "02544c565309" << "02544C565309";
    QTest::newRow("a pair of one digit") << "02:54:4C:56:53:9" << "";
    QTest::newRow("thirteen digits") << "02544C5653090" << "";
    QTest::newRow("dots") << "02.54.4C.56.53.09" << "";
    QTest::newRow("a separator off its place") << "025:4:4C:56:53:09" << "";
    QTest::newRow("not hexadecimal") << "02:54:4G:56:53:09" << "";
    QTest::newRow("seven pairs") << "02:54:4C:56:53:09:11" << "";
    QTest::newRow("empty") << "" << "";
}

void TestProtocol::macParsing()
{
    QFETCH(QString, text);
    QFETCH(QString, parsed);
    const std::optional<MacAddress> mac = parseMac(text.toStdString());
    QCOMPARE(mac ? QString::fromStdString(macToText(*mac)) : QString(), parsed);
}

void TestProtocol::netDeviceTexts()
{
    SearchReply r;
    r.mac = {0x0A, 0xBB, 0x00, 0x01, 0xFE, 0x7F};
    r.ip = {10, 0, 0, 7};
    const NetDevice d = NetDevice::fromReply(r);
    QCOMPARE(QString::fromStdString(d.macText()), QStringLiteral("0ABB0001FE7F"));
    QCOMPARE(QString::fromStdString(d.addressText()), QStringLiteral("10.0.0.7"));
    QCOMPARE(QString::fromStdString(d.ip[1]), QStringLiteral("0"));
    const NetDevice back = NetDevice::fromEntry(d.addressText(), d.macText());
    QVERIFY(back.ip == d.ip && back.mac == d.mac);
    // A short or odd entry leaves the missing texts empty and reads no further.
    const NetDevice partial = NetDevice::fromEntry("10.1", "ABC");
    QCOMPARE(QString::fromStdString(partial.ip[1]), QStringLiteral("1"));
    QVERIFY(partial.ip[2].empty() && partial.ip[3].empty());
    QCOMPARE(QString::fromStdString(partial.mac[1]), QStringLiteral("C"));
    QVERIFY(partial.mac[2].empty());
}

QTEST_APPLESS_MAIN(TestProtocol)
#include "test_protocol.moc"
