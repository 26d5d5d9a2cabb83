// The Upgrade page on the manual clock with the switch played by the test:
// device information and identification text, loading an image, the blocks
// and their acknowledgements, every timeout and failure, the reboot, and the
// question before closing in the middle of a transfer.
#include <QtTest>

#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <sys/stat.h>

#include "app/controlids.h"
#include "dialogs/messagedlg.h"
#include "ops/limits.h"
#include "pages/upgradepage.h"
#include "protocol/replies.h"
#include "support/panelfixture.h"

using namespace talvane;
namespace up = talvane::upgrade;

namespace {

QString hex(CommandFrame f) { return QString::fromStdString(toHex(f.seal().bytes)); }

QByteArray randomImage(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (char& c : bytes)
        c = char(QRandomGenerator::global()->bounded(256));
    return bytes;
}

// The Upgrade page entered with the link open; the entry's read of the device
// information waits for its first answer, and what it sent is not kept.
struct Upgrade {
    PanelFixture p;
    QTemporaryDir dir;
    CFWDlg* page = nullptr;

    Upgrade()
    {
        p.window->pressAt(p.window->control(ctl::TabUpgrade)->geometry().center());
        page = qobject_cast<CFWDlg*>(p.window->pageWindow(Page::Upgrade));
        p.sent.clear();
    }

    void load(const QByteArray& bytes, const QString& name = QStringLiteral("fw.bin"))
    {
        const QString path = dir.filePath(name);
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(bytes);
        f.close();
        page->setFileChooser([path] { return path; });
        page->openClicked();
    }
    void click(int id)
    {
        page->controlAs<QAbstractButton>(id)->click();
        p.deliverPosted();
    }
    // Upgrade pressed and both preliminaries answered: block 0 is on its way.
    void startTransfer()
    {
        click(up::ctl::Upgrade);
        p.receive(reply::ack(cmd::UpgradeStart));
        p.receive(reply::ack(cmd::UpgradeTransferRequest));
    }
    // The last data frame written, or an empty one.
    std::vector<std::uint8_t> lastBlock() const
    {
        for (auto it = p.sent.rbegin(); it != p.sent.rend(); ++it)
            if (it->size() == kDataFrameSize)
                return *it;
        return {};
    }
    // Acknowledges the last block; position 2 repeats its flags unless given.
    void ack(std::uint8_t status, int flags = -1)
    {
        const std::vector<std::uint8_t> b = lastBlock();
        p.receive(reply::blockAck(std::uint8_t(flags < 0 ? b[dpos::Flags] : flags), b[dpos::Block], status));
    }
    QString log() const { return page->controlAs<QPlainTextEdit>(up::ctl::Log)->toPlainText(); }
    QString text(int id) const { return page->controlAs<QLabel>(id)->text(); }
    // What the progress bar shows once its repaint interval has passed.
    int progress()
    {
        p.clock.advance(up::kViewRefreshMs);
        p.deliverPosted();
        return page->controlAs<QProgressBar>(up::ctl::Progress)->value();
    }
    QColor logColour() const { return page->control(up::ctl::Log)->palette().color(QPalette::Text); }
};

QString lines(std::initializer_list<QString> l)
{
    QString out;
    for (const QString& s : l)
        out += s + QLatin1Char('\n');
    return out;
}

const QColor kRed(255, 0, 0);
const QColor kBlack(0, 0, 0);

}  // namespace

class TestUpgradePage : public QObject {
    Q_OBJECT
private slots:
    void deviceInformation_data();
    void deviceInformation();
    void identificationTextWrite_data();
    void identificationTextWrite();
    void blocksOfAnImage_data();
    void blocksOfAnImage();
    void resendAndFailureStatuses();
    void transferRequestResentThenFails();
    void startTimesOutWithoutResend();
    void rebootAnswer_data();
    void rebootAnswer();
    void silentBlockSentTwiceThenTimesOut();
    void refusedAttempts();
    void loadingRefusesFilesThatDoNotFit_data();
    void loadingRefusesFilesThatDoNotFit();
    void lateAnswersDuringATransferAreIgnored();
    void transferDetailShowsBlocksAndTimeLeft();
    void progressKeepsUpWithoutRepaintingEveryBlock();
    void closingDuringATransferAsksFirst();
};

void TestUpgradePage::deviceInformation_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("info");
    QTest::newRow("Talvane") << 1 << "Device: Talvane 8x8     Version:1.3";
    QTest::newRow("Marbeck") << 2 << "Device: Marbeck 8x8     Version:1.3";
    QTest::newRow("any other") << 0 << "Device: Selwyth 8x8     Version:1.3";
}

void TestUpgradePage::deviceInformation()
{
    QFETCH(int, kind);
    QFETCH(QString, info);
    Upgrade u;
    QVERIFY(u.p.window->ready());  // the read runs in the background
    // Answers to nothing asked change nothing.
    u.p.receive(reply::devicePorts(4, 4));
    u.p.receive(reply::identText(0, reinterpret_cast<const std::uint8_t*>("XXXXXXXX")));
    QVERIFY(u.p.sent.empty());
    u.p.receive(reply::deviceKind(kind, 0));
    u.p.receive(reply::devicePorts(8, 8));
    u.p.receive(reply::deviceVersion(1, 3));
    QCOMPARE(u.text(up::ctl::DeviceInfo), info);
    const QByteArray ident("MATRIX-ROOM 12 / RACK B  SLOT 04");
    auto identPart = [&](int part) {
        return reply::identText(part, reinterpret_cast<const std::uint8_t*>(ident.constData()) + part * 8);
    };
    for (int part = 0; part < cmd::IdentParts; ++part) {
        u.p.receive(identPart(part));
        // Parts answered again and again while the next is awaited: the
        // text stays the 32 characters the switch holds.
        if (part == 1)
            for (int again = 0; again < 200; ++again)
                u.p.receive(identPart(again % 2 + 1));
    }
    QCOMPARE(u.text(up::ctl::IdentText), QString::fromLatin1(ident));
    QCOMPARE(u.page->controlAs<QLineEdit>(up::ctl::IdentFirstHalf)->text(), QString::fromLatin1(ident.left(16)));
    QCOMPARE(u.page->controlAs<QLineEdit>(up::ctl::IdentSecondHalf)->text(), QString::fromLatin1(ident.mid(16)));
    QCOMPARE(u.p.sentHex(), QStringList({hex(build::deviceInfoQuery2()),
                                         hex(build::deviceInfoQuery3()), hex(build::identRead(0)),
                                         hex(build::identRead(1)), hex(build::identRead(2)), hex(build::identRead(3))}));
    QVERIFY(u.p.window->ready());
    QCOMPARE(u.page->control(up::ctl::DeviceInfo)->accessibleName(), info);
}

void TestUpgradePage::identificationTextWrite_data()
{
    QTest::addColumn<int>("failingPart");  // -1: every part acknowledged
    QTest::newRow("written and read back") << -1;
    QTest::newRow("third part refused") << 2;
}

void TestUpgradePage::identificationTextWrite()
{
    QFETCH(int, failingPart);
    Upgrade u;
    u.page->controlAs<QLineEdit>(up::ctl::IdentFirstHalf)->setText(QStringLiteral("Hall A"));
    u.page->controlAs<QLineEdit>(up::ctl::IdentSecondHalf)->setText(QStringLiteral("0123456789abcdefXYZ"));
    u.click(up::ctl::IdentSet);
    QVERIFY(!u.p.window->ready());
    const QByteArray text = QByteArray("Hall A").leftJustified(16, ' ') + "0123456789abcdef";
    QStringList expected;
    for (int part = 0; part < cmd::IdentParts; ++part) {
        expected << hex(build::identWrite(part, reinterpret_cast<const std::uint8_t*>(text.constData()) + part * 8));
        QCOMPARE(u.p.sentHex(), expected);
        if (part == failingPart) {
            u.p.receive(reply::identWriteAck(part, 1));
            break;
        }
        u.p.receive(reply::identWriteAck(part, 0));
    }
    if (failingPart >= 0) {
        QCOMPARE(u.p.sentHex(), expected);  // nothing more goes out
        QVERIFY(u.p.messageTexts().isEmpty());
    } else {
        QCOMPARE(u.p.messageTexts(), QStringList{text::SetSuccessfully});
        QCOMPARE(u.p.lastSent(), hex(build::identRead(0)));
    }
    QVERIFY(u.p.window->ready());
}

void TestUpgradePage::blocksOfAnImage_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("flaglessAcks");  // last blocks the switch answers with position 2 = 0
    QTest::addColumn<QString>("blocks");    // flags:number of each block sent
    QTest::addColumn<bool>("completed");
    QTest::newRow("1024 bytes") << 1024 << 0 << "00:00 80:01" << true;
    QTest::newRow("2048 bytes") << 2048 << 0 << "00:00 80:01" << true;
    QTest::newRow("2049 bytes") << 2049 << 0 << "00:00 00:01 80:02" << true;
    QTest::newRow("2048 bytes, last ack without flags") << 2048 << 1 << "00:00 80:01 80:02" << true;
    // One further filler block at most: an image never grows past it.
    QTest::newRow("2048 bytes, two acks without flags") << 2048 << 2 << "00:00 80:01 80:02" << false;
}

void TestUpgradePage::blocksOfAnImage()
{
    QFETCH(int, size);
    QFETCH(int, flaglessAcks);
    QFETCH(QString, blocks);
    QFETCH(bool, completed);
    Upgrade u;
    const QByteArray image = randomImage(size);
    u.load(image);
    QCOMPARE(u.page->controlAs<QLineEdit>(up::ctl::Path)->text(), u.dir.filePath(QStringLiteral("fw.bin")));
    u.startTransfer();
    QCOMPARE(u.p.sentHex().mid(0, 2), QStringList({hex(build::upgradeStart()), hex(build::upgradeTransferRequest())}));
    QVERIFY(!u.p.window->ready());

    QStringList seen;
    while (u.page->state() == up::State::Transferring && seen.size() < 8) {
        const std::vector<std::uint8_t> b = u.lastBlock();
        QVERIFY(checksumOf(b.data(), b.size()) == 0);  // the checksum closes the frame
        seen << QStringLiteral("%1:%2").arg(int(b[dpos::Flags]), 2, 16, QLatin1Char('0')).arg(int(b[dpos::Block]), 2, 16, QLatin1Char('0'));
        const std::size_t offset = std::size_t(b[dpos::Block]) * kDataPayloadSize;
        for (std::size_t i = 0; i < kDataPayloadSize; ++i) {
            const int want = offset + i < std::size_t(size) ? std::uint8_t(image[int(offset + i)]) : 0xFF;
            QCOMPARE(int(b[dpos::Payload + i]), want);
        }
        const bool withoutFlags = b[dpos::Flags] && flaglessAcks > 0;
        flaglessAcks -= withoutFlags;
        u.ack(kBlockReceived, withoutFlags ? 0 : -1);
    }
    QCOMPARE(seen.join(' '), blocks);
    // Other commands wait until the switch is back from its reboot.
    QCOMPARE(u.p.window->ready(), !completed);
    if (!completed) {
        QCOMPARE(u.page->state(), up::State::Idle);
        QCOMPARE(u.log(), lines({up::line::Upgrading, up::line::Failed}));
        return;
    }
    QCOMPARE(u.page->state(), up::State::Rebooting);
    QCOMPARE(u.p.lastSent(), hex(build::upgradePageQuery(true)));
    QCOMPARE(u.log(), lines({up::line::Upgrading, up::line::Rebooting}));
    QCOMPARE(u.progress(), size);
    QCOMPARE(int(u.page->offset()), 0);
}

void TestUpgradePage::resendAndFailureStatuses()
{
    Upgrade u;
    u.load(randomImage(8 * 1024 + 1));
    u.startTransfer();
    for (int n = 0; n < 5; ++n)
        u.ack(kBlockReceived);
    QCOMPARE(u.progress(), 5 * 1024);
    const std::vector<std::uint8_t> block5 = u.lastBlock();
    const std::size_t writes = u.p.sent.size();
    u.ack(kBlockResend);
    QCOMPARE(u.p.sent.size(), writes + 1);
    QVERIFY(u.lastBlock() == block5);
    QCOMPARE(u.progress(), 5 * 1024);

    u.ack(kBlockFailed);
    QCOMPARE(u.p.sent.size(), writes + 1);
    QCOMPARE(u.log(), lines({up::line::Upgrading, up::line::Failed}));
    QCOMPARE(u.logColour(), kBlack);
    QCOMPARE(u.progress(), 0);
    QCOMPARE(int(u.page->offset()), 0);
    QCOMPARE(u.page->state(), up::State::Idle);
    QVERIFY(u.p.window->ready());
    QVERIFY(u.p.messageTexts().isEmpty());
}

void TestUpgradePage::transferRequestResentThenFails()
{
    Upgrade u;
    u.load(randomImage(3000));
    u.click(up::ctl::Upgrade);
    u.p.receive(reply::ack(cmd::UpgradeStart));
    QList<qint64> sentAt;
    const qint64 start = u.p.clock.nowMs();
    for (std::size_t seen = 0; u.p.clock.nowMs() - start < 12000; u.p.clock.advance(50)) {
        for (; seen < u.p.sent.size(); ++seen) {
            QCOMPARE(u.p.sentHex()[int(seen)], seen == 0 ? hex(build::upgradeStart()) : hex(build::upgradeTransferRequest()));
            if (seen > 0)
                sentAt << u.p.clock.nowMs() - start;
        }
    }
    QList<qint64> expected{0};
    for (qint64 t = 3000; t < 10000; t += 300)
        expected << t;
    QCOMPARE(sentAt, expected);
    QCOMPARE(u.log(), lines({up::line::Upgrading, up::line::Failed}));
    QVERIFY(u.page->redText());
    QCOMPARE(u.logColour(), kRed);
    QVERIFY(u.p.window->ready());
    QVERIFY(u.p.messageTexts().isEmpty());
}

void TestUpgradePage::startTimesOutWithoutResend()
{
    Upgrade u;
    u.load(randomImage(3000));
    u.click(up::ctl::Upgrade);
    u.p.clock.advance(limits::UpgradeStart.firstMs - 1);
    QVERIFY(u.p.messageTexts().isEmpty());
    QString logWhileBoxOpen;
    u.p.modal->queue([&](QDialog& box) {
        logWhileBoxOpen = u.log();
        QVERIFY(!u.p.window->ready());
        box.done(Popups::Ok);
    });
    u.p.clock.advance(1);
    QCOMPARE(u.p.messageTexts(), QStringList{text::TimeOut});
    QCOMPARE(logWhileBoxOpen, lines({up::line::Upgrading}));
    QCOMPARE(u.log(), lines({up::line::Upgrading, up::line::Failed}));
    QCOMPARE(u.logColour(), kBlack);
    QCOMPARE(u.p.sentHex(), QStringList{hex(build::upgradeStart())});
    QVERIFY(u.p.window->ready());
    // A late answer changes nothing.
    u.p.receive(reply::ack(cmd::UpgradeStart));
    QCOMPARE(u.p.sent.size(), std::size_t(1));
}

void TestUpgradePage::rebootAnswer_data()
{
    QTest::addColumn<bool>("marked");  // position 11 = 0xCC: the answer to the reboot query
    QTest::newRow("answer to the reboot query") << true;
    QTest::newRow("answer without the mark") << false;
}

void TestUpgradePage::rebootAnswer()
{
    QFETCH(bool, marked);
    Upgrade u;
    u.load(randomImage(2048));
    u.startTransfer();
    u.ack(kBlockReceived);
    u.ack(kBlockReceived);
    QCOMPARE(u.page->state(), up::State::Rebooting);
    QVERIFY(!u.p.window->ready());  // other commands wait until the switch is back
    const std::size_t before = u.p.sent.size();
    const int pollMs = limits::RebootPoll.firstMs;
    u.p.clock.advance(pollMs);
    QCOMPARE(u.p.sent.size(), before + 1);
    QCOMPARE(u.p.lastSent(), hex(build::upgradePageQuery(true)));

    u.p.receive(reply::deviceKind(2, marked ? kInfoMarker : 0));
    if (marked) {
        // The information is read again, from the second query on.
        QCOMPARE(u.p.lastSent(), hex(build::deviceInfoQuery2()));
        QCOMPARE(u.log(), lines({up::line::Upgrading, up::line::Rebooting, up::line::RebootOk, up::line::Complete,
                                 up::line::Success}));
        QCOMPARE(u.page->state(), up::State::Idle);
        QVERIFY(u.p.window->ready());
        u.p.clock.advance(6 * pollMs);  // no poll follows
        QCOMPARE(u.p.sentHex().count(hex(build::upgradePageQuery(true))), 2);
        return;
    }
    // An answer without the mark is not the switch back from its reboot: the
    // polls go on, six in all, then "Time out!" and the red failure line.
    QCOMPARE(u.p.lastSent(), hex(build::upgradePageQuery(true)));
    u.p.clock.advance(4 * pollMs);
    QCOMPARE(u.p.sentHex().count(hex(build::upgradePageQuery(true))), 6);
    QVERIFY(u.p.messageTexts().isEmpty());
    u.p.clock.advance(pollMs);
    QCOMPARE(u.p.messageTexts(), QStringList{text::TimeOut});
    QCOMPARE(u.log(), lines({up::line::Upgrading, up::line::Rebooting, up::line::Failed}));
    QCOMPARE(u.logColour(), kRed);
    QCOMPARE(u.page->state(), up::State::Idle);
    QVERIFY(u.p.window->ready());
}

void TestUpgradePage::silentBlockSentTwiceThenTimesOut()
{
    Upgrade u;
    u.load(randomImage(5000));
    u.startTransfer();
    // Each acknowledgement gives the next block a fresh guard.
    const int guardMs = limits::FirmwareBlock.firstMs;
    u.p.clock.advance(guardMs - 1000);
    u.ack(kBlockReceived);
    const std::vector<std::uint8_t> block1 = u.lastBlock();
    const std::size_t writes = u.p.sent.size();
    u.p.clock.advance(guardMs - 1);
    QCOMPARE(u.p.sent.size(), writes);
    u.p.clock.advance(1);
    QCOMPARE(u.p.sent.size(), writes + 1);
    QVERIFY(u.lastBlock() == block1);
    u.p.clock.advance(guardMs - 1);
    QVERIFY(u.p.messageTexts().isEmpty());
    u.p.clock.advance(1);
    QCOMPARE(u.p.messageTexts(), QStringList{text::TimeOut});
    QCOMPARE(u.p.sent.size(), writes + 1);
    QCOMPARE(u.log(), lines({up::line::Upgrading, up::line::Failed}));
    QCOMPARE(u.logColour(), kRed);
    QCOMPARE(int(u.page->offset()), 0);
    QCOMPARE(u.progress(), 0);
    QVERIFY(u.p.window->ready());
    u.ack(kBlockReceived);  // too late
    QCOMPARE(u.p.sent.size(), writes + 1);
}

void TestUpgradePage::refusedAttempts()
{
    Upgrade u;
    u.click(up::ctl::Upgrade);  // no file
    QCOMPARE(u.p.messageTexts(), QStringList{text::NoFirmwareFile});
    QVERIFY(u.p.sent.empty());
    QVERIFY(u.p.window->ready());

    u.load(randomImage(100));
    u.click(up::ctl::Upgrade);
    u.click(up::ctl::Upgrade);  // refused while the first is outstanding
    QCOMPARE(u.p.sentHex(), QStringList{hex(build::upgradeStart())});
    // Neither a new file nor the text write go out while a transfer runs.
    u.page->setFileChooser([] { return QStringLiteral("/nonexistent"); });
    u.page->openClicked();
    u.click(up::ctl::IdentSet);
    QCOMPARE(u.p.sent.size(), std::size_t(1));
    QCOMPARE(int(u.page->imageSize()), 100);
}

void TestUpgradePage::loadingRefusesFilesThatDoNotFit_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<QString>("special");  // a path that names no regular file
    QTest::addColumn<QString>("message");  // empty: accepted
    QTest::newRow("100,001 bytes") << 100001 << QString() << text::FileTooLarge;
    QTest::newRow("empty") << 0 << QString() << text::EmptyFile;
    QTest::newRow("100,000 bytes") << 100000 << QString() << QString();
    // Refused before anything is read; a FIFO would block the page in open().
    QTest::newRow("a FIFO") << 0 << "fifo" << text::NotRegularFile;
    QTest::newRow("a directory") << 0 << "directory" << text::NotRegularFile;
    QTest::newRow("an endless device") << 0 << "/dev/zero" << text::NotRegularFile;
    QTest::newRow("gone before it was read") << 0 << "missing" << text::FileNotFound;
}

void TestUpgradePage::loadingRefusesFilesThatDoNotFit()
{
    QFETCH(int, size);
    QFETCH(QString, special);
    QFETCH(QString, message);
    Upgrade u;
    const QByteArray first = randomImage(2048);
    u.load(first, QStringLiteral("first.bin"));
    const QString firstPath = u.page->controlAs<QLineEdit>(up::ctl::Path)->text();
    const QByteArray second = randomImage(size);
    if (special.isEmpty()) {
        u.load(second, QStringLiteral("second.BIN"));
    } else {
        const QString path = special.startsWith('/') ? special : u.dir.filePath(special);
        if (special == "fifo")
            QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        if (special == "directory")
            QVERIFY(QDir().mkdir(path));
        u.page->setFileChooser([path] { return path; });
        u.page->openClicked();
    }
    const bool accepted = message.isEmpty();
    QCOMPARE(u.p.messageTexts(), accepted ? QStringList() : QStringList{message});
    const QByteArray& kept = accepted ? second : first;
    QCOMPARE(int(u.page->imageSize()), kept.size());
    QCOMPARE(QByteArray(reinterpret_cast<const char*>(u.page->image()), kept.size()), kept);
    if (kept.size() < int(up::kImageBufferSize))
        QCOMPARE(int(u.page->image()[kept.size()]), 0xFF);
    QCOMPARE(u.page->controlAs<QProgressBar>(up::ctl::Progress)->maximum(), kept.size());
    QCOMPARE(u.page->controlAs<QLineEdit>(up::ctl::Path)->text(),
             accepted ? u.dir.filePath(QStringLiteral("second.BIN")) : firstPath);
}

void TestUpgradePage::lateAnswersDuringATransferAreIgnored()
{
    Upgrade u;
    u.load(randomImage(4096));
    u.startTransfer();
    const std::size_t writes = u.p.sent.size();
    u.p.receive(reply::ack(cmd::UpgradeTransferRequest));  // answer to a resent request
    u.p.receive(reply::ack(cmd::UpgradeStart));
    u.p.receive(reply::deviceVersion(1, 3));
    u.p.receive(reply::blockAck(0, 5, kBlockReceived));  // not the block in flight
    QCOMPARE(u.p.sent.size(), writes);
    QVERIFY(!u.p.window->ready());
    u.ack(kBlockReceived);
    QCOMPARE(int(u.lastBlock()[dpos::Block]), 1);
}

void TestUpgradePage::transferDetailShowsBlocksAndTimeLeft()
{
    Upgrade u;
    u.load(randomImage(100000));
    u.startTransfer();
    QCOMPARE(u.text(up::ctl::TransferDetail), QStringLiteral("Block 1 of 98"));
    for (int n = 0; n < 36; ++n) {
        u.p.clock.advance(100);
        u.ack(kBlockReceived);
    }
    u.p.clock.advance(up::kViewRefreshMs);  // the next repaint
    u.p.deliverPosted();
    QCOMPARE(u.text(up::ctl::TransferDetail), QStringLiteral("Block 37 of 98, about 6 s left"));
    QCOMPARE(u.progress(), 36 * 1024);
    u.ack(kBlockFailed);
    QCOMPARE(u.text(up::ctl::TransferDetail), QString());
}

void TestUpgradePage::progressKeepsUpWithoutRepaintingEveryBlock()
{
    // Blocks acknowledged faster than the bar repaints: it catches up within
    // one repaint interval, and the end of the transfer shows at once.
    Upgrade u;
    u.load(randomImage(8 * 1024));
    u.startTransfer();
    auto* bar = u.page->controlAs<QProgressBar>(up::ctl::Progress);
    for (int n = 0; n < 6; ++n)
        u.ack(kBlockReceived);
    QVERIFY(bar->value() < 6 * 1024);
    u.p.clock.advance(up::kViewRefreshMs);
    u.p.deliverPosted();
    QCOMPARE(bar->value(), 6 * 1024);
    u.ack(kBlockReceived);
    u.ack(kBlockReceived);  // the last block
    u.ack(kBlockReceived);
    QCOMPARE(u.page->state(), up::State::Rebooting);
    QCOMPARE(bar->value(), 8 * 1024);
}

void TestUpgradePage::closingDuringATransferAsksFirst()
{
    Upgrade u;
    QVERIFY(u.p.window->mayClose());  // nothing running: no question
    QVERIFY(u.p.modal->records().isEmpty());

    u.load(randomImage(4096));
    u.startTransfer();
    bool remindShown = true;
    u.p.modal->queue([&](QDialog& box) {
        remindShown = ScriptedModal::control(box, CMessageDlg::kNoLongerRemindId)->isVisibleTo(&box);
        ScriptedModal::click(CMessageDlg::kCancelId)(box);
    });
    QVERIFY(!u.p.window->mayClose());
    QVERIFY(!remindShown);
    QCOMPARE(u.page->state(), up::State::Transferring);
    const std::size_t writes = u.p.sent.size();
    u.p.clock.advance(limits::FirmwareBlock.firstMs);
    QCOMPARE(u.p.sent.size(), writes + 1);  // still guarded: the block went once more

    u.p.modal->queue(ScriptedModal::click(CMessageDlg::kOkId));
    QVERIFY(u.p.window->mayClose());
    QCOMPARE(u.p.messageTexts(), QStringList({text::AskStopUpgrade, text::AskStopUpgrade}));
    QCOMPARE(u.page->state(), up::State::Idle);
    u.p.clock.advance(20000);  // stopped: nothing more goes out, nothing times out
    QCOMPARE(u.p.sent.size(), writes + 1);
    QCOMPARE(u.p.messageTexts().size(), 2);
    QCOMPARE(u.log(), lines({up::line::Upgrading, up::line::Failed}));
    QVERIFY(u.page->redText());
    QVERIFY(u.p.window->ready());
}

QTEST_MAIN(TestUpgradePage)
#include "test_upgradepage.moc"
