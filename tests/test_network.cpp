// The network side of the General page on the manual clock: the link mode
// radios, the TCP connection and its loss, the TCP receive path, the device
// search and its list, and the network settings dialog with its packet,
// success and watchdog. Searches and settings stay on loopback; the switch's
// notifications are played by the test or by a peer socket on loopback.
#include <QtTest>

#include <QAccessible>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QNetworkDatagram>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTcpServer>
#include <QTcpSocket>

#include "app/controlids.h"
#include "ops/limits.h"
#include "app/generalpage.h"
#include "app/logview.h"
#include "app/networkpanel.h"
#include "dialogs/configipdlg.h"
#include "dialogs/statusdlg.h"
#include "link/datagramsocket.h"
#include "link/tcplink.h"
#include "protocol/commands.h"
#include "protocol/replies.h"
#include "support/panelfixture.h"
#include "support/tcppeer.h"

using namespace talvane;

namespace {

constexpr int kDeadlineMs = 5000;
const QString kLoopback = QStringLiteral("127.0.0.1");

QString hex(CommandFrame f) { return QString::fromStdString(toHex(f.seal().bytes)); }
QByteArray bytes(CommandFrame f)
{
    f.seal();
    return QByteArray(reinterpret_cast<const char*>(f.bytes.data()), qsizetype(f.bytes.size()));
}
QComboBox* devices(PanelFixture& p) { return p.window->controlAs<QComboBox>(ctl::DeviceList); }
QString captionOf(PanelFixture& p, int id) { return p.window->control(id)->property("text").toString(); }
void click(PanelFixture& p, int id) { p.window->controlAs<QAbstractButton>(id)->click(); }
QString receiveLog(PanelFixture& p) { return p.logText(ctl::ReceiveLog); }

QByteArray searchReply(const MacAddress& mac, const Ipv4Octets& ip, bool marked = true)
{
    SearchReply r;
    r.mac = mac;
    r.ip = ip;
    std::vector<std::uint8_t> d = r.encode();
    if (!marked)
        d[SearchReply::kMark2At] = 0;
    return QByteArray(reinterpret_cast<const char*>(d.data()), qsizetype(d.size()));
}

// A datagram or read as the sockets report it.
void datagram(PanelFixture& p, const QByteArray& d) { emit p.window->datagramSocket().datagramReceived(d); }
void searchAnswer(PanelFixture& p, const QByteArray& d) { datagram(p, d); }
// A read on the current link (the fixture's, which stands in for the connection).
void tcpRead(PanelFixture& p, const QString& hexBytes) { emit p.capture.received(QByteArray::fromHex(hexBytes.toLatin1())); }

QString current(PanelFixture& p)
{
    const NetDevice& d = p.window->networkPanel().currentDevice();
    return QString::fromStdString(d.addressText() + " " + d.macText());
}

// TCP mode, connected to `peer` through the real control connection.
bool connectTo(PanelFixture& p, TcpPeer& peer)
{
    NetEndpoints e = p.window->networkPanel().endpoints();
    e.tcpPort = peer.server.serverPort();
    p.window->networkPanel().setEndpoints(e);
    p.window->controlAs<QRadioButton>(ctl::TcpMode)->click();
    devices(p)->setEditText(kLoopback);
    click(p, ctl::TcpConnect);
    return QTest::qWaitFor([&] { return p.window->tcpLink().isOpen() && peer.socket; }, kDeadlineMs);
}

// The configuration socket's far end: a switch bound to the same port.
struct SwitchSocket : QUdpSocket {
    QList<QByteArray> got;
    explicit SwitchSocket(quint16 port)
    {
        bind(QHostAddress::AnyIPv4, port, ShareAddress | ReuseAddressHint);
        connect(this, &QUdpSocket::readyRead, [this] {
            while (hasPendingDatagrams())
                got << receiveDatagram().data();
        });
    }
};

}  // namespace

class TestNetwork : public QObject {
    Q_OBJECT
private slots:
    void modeRadiosEnableTheirGroups();
    void connectionUpLostAndClosedByComMode();
    void receivePathCutsEveryRead();
    void badAddressIsReported_data();
    void badAddressIsReported();
    void searchListsEveryAnswer();
    void searchReplyEdgeCases();
    void datagramEchoStaysBounded_data();
    void datagramEchoStaysBounded();
    void configTargetsTheSwitchTheDialogShows_data();
    void configTargetsTheSwitchTheDialogShows();
    void configSendsThePacketAndReportsSuccess();
    void configWatchdogTimesOut_data();
    void configWatchdogTimesOut();
    void dialogKeepsStaticChoiceAndChecksInput();
    void dialogNamesAndPainting();
};

void TestNetwork::modeRadiosEnableTheirGroups()
{
    PanelFixture p;  // the serial link counts as open
    const QList<int> tcp = {ctl::TcpConnect, ctl::TcpGroup, ctl::SwitcherIpLabel, ctl::Search, ctl::Config, ctl::DeviceList};
    const QList<int> com = {ctl::ComGroup, ctl::PortLabel, ctl::Connect, ctl::PortList};
    auto enabled = [&](const QList<int>& ids, bool on) {
        return std::all_of(ids.begin(), ids.end(), [&](int id) { return p.window->control(id)->isEnabled() == on; });
    };
    QVERIFY(p.window->controlAs<QRadioButton>(ctl::ComMode)->isChecked());
    QVERIFY(p.window->control(ctl::TcpMode)->isEnabled());
    QVERIFY(enabled(tcp, false) && enabled(com, true));

    // TCP mode stops the serial link, and the port list's watch while the
    // list is disabled.
    PortWatcher& watcher = p.window->generalPage().portWatcher();
    p.window->controlAs<QRadioButton>(ctl::TcpMode)->click();
    QCOMPARE(p.window->linkMode(), LinkMode::Tcp);
    QVERIFY(enabled(tcp, true) && enabled(com, false));
    QVERIFY(!p.capture.isOpen());
    QCOMPARE(p.window->linkStatus(), QStringLiteral("Not connected"));
    QVERIFY(p.window->generalPage().isStale(ctl::PowerOn));
    QVERIFY(!watcher.isActive());
    QCOMPARE(p.clock.runningCount(), 0);
    QVERIFY(!p.window->presenter().acquire());
    QCOMPARE(p.messageTexts(), QStringList{text::ConnectFailed});

    p.window->controlAs<QRadioButton>(ctl::ComMode)->click();
    QCOMPARE(p.window->linkMode(), LinkMode::Com);
    QVERIFY(enabled(tcp, false) && enabled(com, true));
    QVERIFY(watcher.isActive());
}

void TestNetwork::connectionUpLostAndClosedByComMode()
{
    PanelFixture p(false);
    p.window->setLink(LinkMode::Tcp, &p.window->tcpLink());
    TcpPeer peer;
    QVERIFY(connectTo(p, peer));
    QCOMPARE(captionOf(p, ctl::TcpConnect), QStringLiteral("Disconnect"));
    // Something accepted, but no switch has answered.
    QCOMPARE(p.window->linkStatus(), QStringLiteral("Port open: 127.0.0.1, no answer yet"));
    // The greeting goes out without taking the ready flag.
    QTRY_COMPARE_WITH_TIMEOUT(peer.received, bytes(build::powerStateQuery()), kDeadlineMs);
    QCOMPARE(p.window->linkStatus(), QStringLiteral("Port open: 127.0.0.1, no answer yet"));
    QVERIFY(p.window->ready());

    // The switch closes: the button no longer claims a connection.
    peer.socket->disconnectFromHost();
    QTRY_VERIFY_WITH_TIMEOUT(!p.window->tcpLink().isOpen(), kDeadlineMs);
    QCOMPARE(captionOf(p, ctl::TcpConnect), QStringLiteral("Connect"));
    QVERIFY(p.window->linkStatus().startsWith(QStringLiteral("Link lost: 127.0.0.1 at ")));
    QVERIFY(p.window->generalPage().isStale(ctl::EnableBeep));
    QVERIFY(!p.window->presenter().acquire());
    QCOMPARE(p.messageTexts(), QStringList{text::ConnectFailed});

    // Connect starts a new connection; COM mode closes it.
    peer.socket = nullptr;
    click(p, ctl::TcpConnect);
    QTRY_VERIFY_WITH_TIMEOUT(p.window->tcpLink().isOpen() && peer.socket, kDeadlineMs);
    p.window->controlAs<QRadioButton>(ctl::ComMode)->click();
    QVERIFY(!p.window->tcpLink().isOpen());
    QCOMPARE(captionOf(p, ctl::TcpConnect), QStringLiteral("Connect"));
    QCOMPARE(p.window->linkStatus(), QStringLiteral("Not connected"));
    QTRY_COMPARE_WITH_TIMEOUT(peer.socket->state(), QAbstractSocket::UnconnectedState, kDeadlineMs);
}

void TestNetwork::receivePathCutsEveryRead()
{
    PanelFixture p(false);
    TcpPeer peer;
    QVERIFY(connectTo(p, peer));
    p.sent.clear();
    // A reply split 6 + 7 across reads is joined.
    tcpRead(p, "A55B080C0F00");
    QVERIFY(!p.window->controlAs<QCheckBox>(ctl::PowerOn)->isChecked());
    tcpRead(p, "000000000000DD");
    QVERIFY(p.window->controlAs<QCheckBox>(ctl::PowerOn)->isChecked());
    QCOMPARE(p.sentHex(), QStringList{hex(build::beepStateQuery())});
    // Junk, then two replies in one read: both are cut out and logged; the
    // beeper's answers its query, the other answers nothing and changes nothing.
    tcpRead(p, "1234" + hex(reply::beepState(true)).remove(' ') + hex(reply::portStatus(cmd::InputStatusQuery, 1, true)).remove(' '));
    QVERIFY(p.window->controlAs<QCheckBox>(ctl::EnableBeep)->isChecked());
    QVERIFY(p.window->controlAs<QLabel>(ctl::StatusInput1)->text().isEmpty());
    QCOMPARE(int(p.window->session().counters().unsolicited), 1);
    QCOMPARE(receiveLog(p).count('\n'), 3);
}

void TestNetwork::badAddressIsReported_data()
{
    QTest::addColumn<QString>("typed");
    QTest::newRow("octet of 300") << "300.1.1.1";
    QTest::newRow("host name") << "switch";
    QTest::newRow("empty list") << "";
}

void TestNetwork::badAddressIsReported()
{
    QFETCH(QString, typed);
    PanelFixture p(false);
    p.window->controlAs<QRadioButton>(ctl::TcpMode)->click();
    devices(p)->setEditText(typed);
    click(p, ctl::TcpConnect);
    QCOMPARE(p.messageTexts(), QStringList{text::BadIpAddress});
    QVERIFY(!p.window->tcpLink().connecting() && !p.window->tcpLink().isOpen());
    QCOMPARE(captionOf(p, ctl::TcpConnect), QStringLiteral("Connect"));
}

void TestNetwork::searchListsEveryAnswer()
{
    PanelFixture p(false);
    p.window->controlAs<QRadioButton>(ctl::TcpMode)->click();
    click(p, ctl::Search);
    QVERIFY(p.window->datagramSocket().isOpen());
    const MacAddress macA{0x02, 0, 0, 0, 0, 0xA1};
    const MacAddress macB{0x02, 0, 0, 0, 0, 0xB2};
    searchAnswer(p, searchReply(macA, {192, 168, 1, 9}));
    searchAnswer(p, searchReply(macB, {10, 0, 0, 20}));
    QCOMPARE(devices(p)->count(), 2);
    QCOMPARE(devices(p)->itemText(0), QStringLiteral("10.0.0.20"));  // text order
    QCOMPARE(devices(p)->itemText(1), QStringLiteral("192.168.1.9"));
    QCOMPARE(devices(p)->currentIndex(), 0);
    // The current device is the one shown.
    QCOMPARE(current(p), QStringLiteral("10.0.0.20 0200000000B2"));
    emit devices(p)->activated(1);
    QCOMPARE(current(p), QStringLiteral("192.168.1.9 0200000000A1"));
    emit devices(p)->activated(0);
    QCOMPARE(current(p), QStringLiteral("10.0.0.20 0200000000B2"));
    // Each datagram is echoed, 13 bytes a line.
    QCOMPARE(receiveLog(p).count('\n'), 6);
    QVERIFY(receiveLog(p).startsWith(QStringLiteral("02 00 00 00 00 A1 C0 A8 01 09 00 00 00 \n")));

    // A plain search shows no popup and leaves nothing to run out.
    p.clock.advance(20000);
    QVERIFY(p.modal->records().isEmpty());
    QCOMPARE(p.clock.runningCount(), 0);  // the port list is not watched in TCP mode

    // A second search empties the list before any answer.
    click(p, ctl::Search);
    QCOMPARE(devices(p)->count(), 0);
    searchAnswer(p, searchReply(macA, {192, 168, 1, 9}));
    QCOMPARE(devices(p)->count(), 1);
    QCOMPARE(p.window->networkPanel().macOf(0), QStringLiteral("0200000000A1"));
}

void TestNetwork::searchReplyEdgeCases()
{
    PanelFixture p(false);
    p.window->controlAs<QRadioButton>(ctl::TcpMode)->click();
    click(p, ctl::Search);
    searchAnswer(p, searchReply({1, 2, 3, 4, 5, 6}, {10, 0, 0, 1}));
    const QString first = current(p);

    // 49 bytes: echoed, nothing else.
    searchAnswer(p, searchReply({9, 9, 9, 9, 9, 9}, {10, 0, 0, 9}).left(49));
    QCOMPARE(receiveLog(p).count(QStringLiteral("09 ")), 7);  // the MAC and the last octet
    QCOMPARE(current(p), first);
    QCOMPARE(devices(p)->count(), 1);
    // 50 bytes without the marks: not a switch's answer, so neither an entry
    // nor the current device (the one "Config..." would configure).
    searchAnswer(p, searchReply({7, 7, 7, 7, 7, 7}, {10, 0, 0, 7}, false));
    QCOMPARE(current(p), first);
    QCOMPARE(devices(p)->count(), 1);
    // The same switch again: still one entry.
    searchAnswer(p, searchReply({1, 2, 3, 4, 5, 6}, {10, 0, 0, 1}));
    QCOMPARE(devices(p)->count(), 1);
    // A confirmation of settings with none under way is not taken: no new search.
    NetConfigPacket forged;
    forged.target = {1, 2, 3, 4, 5, 6};
    const std::vector<std::uint8_t> confirmation = forged.encodeConfirmation();
    datagram(p, QByteArray(reinterpret_cast<const char*>(confirmation.data()), qsizetype(confirmation.size())));
    QCOMPARE(devices(p)->count(), 1);
}

void TestNetwork::datagramEchoStaysBounded_data()
{
    QTest::addColumn<int>("size");   // bytes a datagram
    QTest::addColumn<int>("count");  // datagrams in the flood
    QTest::newRow("20,000 search answers") << int(SearchReply::kMinSize) << 20000;
    QTest::newRow("largest datagrams") << 65507 << 200;
}

void TestNetwork::datagramEchoStaysBounded()
{
    QFETCH(int, size);
    QFETCH(int, count);
    PanelFixture p(false);
    p.window->controlAs<QRadioButton>(ctl::TcpMode)->click();
    click(p, ctl::Search);
    const QByteArray answer = searchReply({2, 0, 0, 0, 0, 1}, {10, 0, 0, 1}).leftJustified(size, '\x5A', true);
    int longest = 0;
    for (int i = 0; i < count; ++i) {
        searchAnswer(p, answer);
        if (i % 97 == 0)
            longest = std::max(longest, int(receiveLog(p).size()));
    }
    const int perDatagram = size * 3 + size / LogView::kLogLineBytes;
    // Never more than the log's limits let it hold, and the flood is still echoed.
    QVERIFY2(longest <= std::min(LogView::kLogMaxChars, LogView::kLogEmptyEvery * perDatagram),
             qPrintable(QString::number(longest)));
    QVERIFY(!receiveLog(p).isEmpty());  // 20 past the last emptying
    QCOMPARE(devices(p)->count(), 1);
}

void TestNetwork::configTargetsTheSwitchTheDialogShows_data()
{
    QTest::addColumn<bool>("marked");  // the other switch's answer carries the marks
    QTest::newRow("an unmarked answer meanwhile") << false;
    QTest::newRow("another switch's answer meanwhile") << true;
}

void TestNetwork::configTargetsTheSwitchTheDialogShows()
{
    QFETCH(bool, marked);
    PanelFixture p(false);
    p.window->controlAs<QRadioButton>(ctl::TcpMode)->click();
    SwitchSocket sw(p.window->networkPanel().endpoints().configPort);
    click(p, ctl::Search);
    const MacAddress macA{0x02, 0, 0, 0, 0, 0x01};
    const MacAddress macB{0x02, 0, 0, 0, 0, 0x02};
    searchAnswer(p, searchReply(macA, {192, 168, 1, 20}));
    p.modal->queue([&](QDialog& d) {
        // While the dialog shows switch A, switch B answers (the list shows
        // it first: its address sorts first).
        searchAnswer(p, searchReply(macB, {192, 168, 1, 10}, marked));
        ScriptedModal::click(CConfigIPDlg::kOkId)(d);
    });
    p.modal->queue([&](QDialog&) {
        QVERIFY(QTest::qWaitFor([&] { return !sw.got.isEmpty(); }, kDeadlineMs));
        Popups::instance().closeBusy();
    });
    click(p, ctl::Config);
    QCOMPARE(devices(p)->count(), marked ? 2 : 1);
    const std::optional<NetConfigPacket> sent =
        NetConfigPacket::decode(reinterpret_cast<const std::uint8_t*>(sw.got.value(0).constData()), std::size_t(sw.got.value(0).size()));
    QVERIFY(sent);
    QCOMPARE(sent->target, macA);
    QCOMPARE(sent->newMac, macA);  // the MAC boxes held A's
}

void TestNetwork::configSendsThePacketAndReportsSuccess()
{
    PanelFixture p(false);
    p.window->controlAs<QRadioButton>(ctl::TcpMode)->click();
    const NetEndpoints e = p.window->networkPanel().endpoints();
    SwitchSocket sw(e.configPort);
    click(p, ctl::Search);
    searchAnswer(p, searchReply({0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF}, {192, 168, 1, 77}));

    QStringList seen;
    p.modal->queue([&](QDialog& d) {
        auto& dlg = static_cast<CConfigIPDlg&>(d);
        seen << dlg.ipBox(3)->text() << dlg.macBox(0)->text() << QString::number(dlg.ipBox(0)->isEnabled());
        ScriptedModal::click(CConfigIPDlg::kStaticIpId)(d);
        const char* ip[] = {"192", "168", "1", "50"};
        for (int i = 0; i < 4; ++i)
            dlg.ipBox(i)->setText(QString::fromLatin1(ip[i]));
        for (int i = 0; i < 6; ++i)
            dlg.macBox(i)->setText(QStringLiteral("%1%1").arg(i));
        ScriptedModal::click(CConfigIPDlg::kOkId)(d);
    });
    p.modal->queue([&](QDialog&) {
        seen << Popups::instance().busyText();
        QVERIFY(QTest::qWaitFor([&] { return !sw.got.isEmpty(); }, kDeadlineMs));
        const NetConfigPacket sent = *NetConfigPacket::decode(reinterpret_cast<const std::uint8_t*>(sw.got[0].constData()),
                                                              std::size_t(sw.got[0].size()));
        // Search answers before the confirmation are not taken for it.
        searchAnswer(p, searchReply(sent.newMac, sent.ip));
        QCOMPARE(devices(p)->count(), 1);
        const std::vector<std::uint8_t> ok = sent.encodeConfirmation();
        datagram(p, QByteArray(reinterpret_cast<const char*>(ok.data()), qsizetype(ok.size())));
        // The confirmation starts a new search. Only the configured switch,
        // with its new MAC and address, ends the wait; others are listed.
        QCOMPARE(devices(p)->count(), 0);
        searchAnswer(p, searchReply({0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF}, {192, 168, 1, 77}));
        searchAnswer(p, searchReply(sent.newMac, {192, 168, 1, 51}));
        p.clock.advance(5000);
        QCOMPARE(Popups::instance().busyText(), text::Configuring);
        QCOMPARE(devices(p)->count(), 2);
        searchAnswer(p, searchReply(sent.newMac, sent.ip));
        p.clock.advance(kConfiguredResultMs);
        seen << Popups::instance().openBusyPopup()->shownText();
        p.clock.advance(kConfiguredCloseMs);
    });
    click(p, ctl::Config);
    QCOMPARE(seen, QStringList({"77", "AA", "0", text::Configuring, text::ConfigureSuccessfully}));
    QCOMPARE(QString::fromLatin1(sw.got.value(0).toHex(' ').toUpper()),
             QStringLiteral("AA BB CC DD EE FF C0 A8 01 32 C0 A8 01 01 FF FF FF 00 00 00 11 22 33 44 55 17 ")
                 + QStringLiteral("00 ").repeated(48) + QStringLiteral("FF 12"));
    QVERIFY(!Popups::instance().busyShown());
    QCOMPARE(devices(p)->itemText(0), QStringLiteral("192.168.1.50"));
    p.clock.advance(20000);
    QVERIFY(p.messageTexts().isEmpty());
}

void TestNetwork::configWatchdogTimesOut_data()
{
    QTest::addColumn<QString>("answers");
    QTest::newRow("nothing answers") << "";
    QTest::newRow("a forged confirmation: short") << "short";
    QTest::newRow("confirmed, but another switch answers the search") << "other";
}

void TestNetwork::configWatchdogTimesOut()
{
    QFETCH(QString, answers);
    PanelFixture p(false);
    p.window->controlAs<QRadioButton>(ctl::TcpMode)->click();
    qint64 closedAt = -1;
    p.modal->queue([](QDialog& d) { d.accept(); });  // the dialog: OK as it stands
    p.modal->queue([&](QDialog&) {
        NetConfigPacket confirmed;
        std::vector<std::uint8_t> c = confirmed.encodeConfirmation();
        if (answers == "short")
            c.resize(NetConfigPacket::kSize - 1);
        if (!answers.isEmpty())
            datagram(p, QByteArray(reinterpret_cast<const char*>(c.data()), qsizetype(c.size())));
        if (answers == "other")
            searchAnswer(p, searchReply({2, 2, 2, 2, 2, 2}, {10, 0, 0, 2}));
        p.clock.advance(limits::NetworkSettingsMs - 1);
        QVERIFY(Popups::instance().busyShown());
        p.clock.advance(1);
        closedAt = p.clock.nowMs();
    });
    click(p, ctl::Config);
    QVERIFY(!Popups::instance().busyShown());
    QCOMPARE(closedAt, qint64(limits::NetworkSettingsMs));
    QCOMPARE(p.messageTexts(), QStringList{text::TimeOut});
    QVERIFY(p.window->ready());
}

void TestNetwork::dialogKeepsStaticChoiceAndChecksInput()
{
    PanelFixture p(false);
    p.window->controlAs<QRadioButton>(ctl::TcpMode)->click();
    click(p, ctl::Search);
    searchAnswer(p, searchReply({0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF}, {192, 168, 1, 77}));
    QStringList seen;
    p.modal->queue([&](QDialog& d) {
        auto& dlg = static_cast<CConfigIPDlg&>(d);
        QWidget* ok = dlg.control(CConfigIPDlg::kOkId);
        QVERIFY(dlg.controlAs<QRadioButton>(CConfigIPDlg::kAutoIpId)->isChecked());
        QVERIFY(ok->isEnabled());
        // Auto IP: the IP boxes do not matter.
        dlg.ipBox(1)->clear();
        QVERIFY(ok->isEnabled());
        ScriptedModal::click(CConfigIPDlg::kStaticIpId)(d);
        QVERIFY(dlg.ipBox(1)->isEnabled());
        QVERIFY(!ok->isEnabled());  // an empty octet
        // Only 0..255 and two hexadecimal digits can be typed.
        QTest::keyClicks(dlg.ipBox(1), QStringLiteral("300"));
        seen << dlg.ipBox(1)->text();
        dlg.ipBox(2)->clear();
        QTest::keyClicks(dlg.ipBox(2), QStringLiteral("256"));
        seen << dlg.ipBox(2)->text();
        dlg.macBox(0)->clear();
        QTest::keyClicks(dlg.macBox(0), QStringLiteral("1G"));
        seen << dlg.macBox(0)->text();
        QVERIFY(!ok->isEnabled());
        QTest::keyClicks(dlg.macBox(0), QStringLiteral("e"));  // 1E: an even first byte, no multicast MAC
        QVERIFY(ok->isEnabled());
        ScriptedModal::click(CConfigIPDlg::kCancelId)(d);
    });
    p.modal->queue([&](QDialog& d) {
        auto& dlg = static_cast<CConfigIPDlg&>(d);
        seen << QString::number(dlg.controlAs<QRadioButton>(CConfigIPDlg::kStaticIpId)->isChecked());
        seen << dlg.ipBox(1)->text() << dlg.macBox(0)->text();  // filled from the device again
        ScriptedModal::click(CConfigIPDlg::kCloseId)(d);
    });
    click(p, ctl::Config);
    click(p, ctl::Config);
    QCOMPARE(seen, QStringList({"30", "25", "1", "1", "168", "AA"}));
    QVERIFY(p.window->networkPanel().settings().staticIp);
    QCOMPARE(p.modal->count(ScriptedModal::Kind::Busy), 0);  // nothing was sent
}

void TestNetwork::dialogNamesAndPainting()
{
    PanelFixture p(false);
    p.window->controlAs<QRadioButton>(ctl::TcpMode)->click();
    p.modal->queue([&](QDialog& d) {
        auto& dlg = static_cast<CConfigIPDlg&>(d);
        QStringList names;
        auto name = [](QWidget* w) { return QAccessible::queryAccessibleInterface(w)->text(QAccessible::Name); };
        for (int i = 0; i < 4; ++i)
            names << name(dlg.ipBox(i));
        names << name(dlg.macBox(5));
        for (int id : {CConfigIPDlg::kStaticIpId, CConfigIPDlg::kOkId, CConfigIPDlg::kCloseId})
            names << name(dlg.control(id));
        QCOMPARE(names.join('|'), QStringLiteral("IP octet 1|IP octet 2|IP octet 3|IP octet 4|MAC byte 6|Static IP|OK|Close"));
        // Enter and Escape do not end it.
        QTest::keyClick(dlg.macBox(0), Qt::Key_Escape);
        QTest::keyClick(dlg.control(CConfigIPDlg::kCancelId), Qt::Key_Return);
        QVERIFY(dlg.isVisible());

        const QImage img = dlg.grab().toImage();
        QCOMPARE(img.pixelColor(dlg.width() / 2, 5), QColor(30, 144, 225));  // title band
        QCOMPARE(img.pixelColor(dlg.width() / 2, 0), QColor(30, 120, 255));  // its outline
        QCOMPARE(img.pixelColor(3, dlg.height() - 3), QApplication::palette().color(QPalette::Button));
        QCOMPARE(dlg.control(CConfigIPDlg::kCloseId)->geometry(), QRect(dlg.width() - 26, 1, 25, 25));
        int light = 0;  // "TCP Config", white on the band
        for (int y = 2; y < 25; ++y)
            for (int x = 2; x < 90; ++x)
                light += img.pixelColor(x, y).red() > 200 ? 1 : 0;
        QVERIFY(light > 20);
        ScriptedModal::click(CConfigIPDlg::kCancelId)(d);
    });
    click(p, ctl::Config);
    QCOMPARE(p.modal->records().first().result, int(Popups::Cancel));
}

QTEST_MAIN(TestNetwork)
#include "test_network.moc"
