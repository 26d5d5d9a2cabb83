// The Upgrade page against the simulated switch over a pseudo-terminal: the
// device information on entry, a 100,000-byte image uploaded and followed
// through the reboot and compared byte for byte with what the switch holds,
// and a switch that stops taking blocks.
#include <QtTest>

#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRandomGenerator>

#include "ops/limits.h"
#include "pages/upgradepage.h"
#include "support/simbench.h"

using namespace talvane;
namespace up = talvane::upgrade;

namespace {

const char kIdent[] = "MARBECK 8X8 / STUDIO 2 / RACK 14";  // 32 characters

struct UpgradeBench {
    SimBench b;
    CFWDlg* page = nullptr;

    // Connects, enters the Upgrade page and waits for its information.
    bool enter()
    {
        b.model().kind = 2;
        b.model().versionMajor = 1;
        b.model().versionMinor = 3;
        b.model().ident = sim::identFromText(kIdent);
        if (!b.connect() || !waitFor([&] { return b.window().ready() && b.received().size() >= 2; }))
            return false;
        b.window().pressAt(b.window().control(ctl::TabUpgrade)->geometry().center());
        page = qobject_cast<CFWDlg*>(b.window().pageWindow(Page::Upgrade));
        return page && waitFor([&] { return text(up::ctl::IdentText) == QLatin1String(kIdent); });
    }
    QString text(int id) const { return page->controlAs<QLabel>(id)->text(); }
    QString log() const { return page->controlAs<QPlainTextEdit>(up::ctl::Log)->toPlainText(); }
    int dataFramesReceived() { return int(b.received().filter(QRegularExpression(QStringLiteral("^FE EF"))).size()); }

    QByteArray loadRandomImage(int size)
    {
        QByteArray image(size, Qt::Uninitialized);
        for (char& c : image)
            c = char(QRandomGenerator::global()->bounded(256));
        const QString path = b.registry.filePath(QStringLiteral("image.bin"));
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly) || f.write(image) != size)
            return {};
        f.close();
        page->setFileChooser([path] { return path; });
        page->openClicked();
        return image;
    }
    void pressUpgrade() { page->controlAs<QPushButton>(up::ctl::Upgrade)->click(); }
};

}  // namespace

class TestE2EUpgrade : public QObject {
    Q_OBJECT
private slots:
    void imageUploadedThroughTheReboot();
    void switchThatStopsTakingBlocks();
};

void TestE2EUpgrade::imageUploadedThroughTheReboot()
{
    UpgradeBench u;
    QVERIFY(u.enter());
    QCOMPARE(u.text(up::ctl::DeviceInfo), QStringLiteral("Device: Marbeck 8x8     Version:1.3"));

    const QByteArray image = u.loadRandomImage(100000);
    QCOMPARE(image.size(), 100000);
    u.pressUpgrade();
    QVERIFY(waitFor([&] { return u.log().contains(up::line::Rebooting); }, 60000));
    QVERIFY(waitFor([&] { return u.page->controlAs<QProgressBar>(up::ctl::Progress)->value() == image.size(); }));
    QCOMPARE(u.dataFramesReceived(), 98);

    // The switch is silent while it reboots; the page's first poll finds it back.
    u.b.panel->clock.advance(limits::RebootPoll.firstMs);
    QVERIFY(waitFor([&] { return u.log().contains(up::line::Success) && u.b.window().ready(); }));
    QCOMPARE(u.log(), up::line::Upgrading + '\n' + up::line::Rebooting + '\n' + up::line::RebootOk + '\n'
                          + up::line::Complete + '\n' + up::line::Success + '\n');
    QVERIFY(!u.page->redText());
    QCOMPARE(u.page->state(), up::State::Idle);

    const std::vector<std::uint8_t>& held = u.b.model().firmware;
    QCOMPARE(int(held.size()), 98 * 1024);
    QCOMPARE(QByteArray(reinterpret_cast<const char*>(held.data()), image.size()), image);
    QVERIFY(std::all_of(held.begin() + image.size(), held.end(), [](std::uint8_t b) { return b == 0xFF; }));
    QCOMPARE(int(u.b.model().upgrade), int(sim::UpgradeState::Complete));
    // The information is read again after the reboot.
    QVERIFY(waitFor([&] { return u.text(up::ctl::IdentText) == QLatin1String(kIdent); }));
}

void TestE2EUpgrade::switchThatStopsTakingBlocks()
{
    UpgradeBench u;
    QVERIFY(u.enter());
    u.b.sim->device().faults().silentOther.insert(sim::Silence::DataBlocks);
    QVERIFY(!u.loadRandomImage(3000).isEmpty());
    u.pressUpgrade();
    QVERIFY(waitFor([&] { return u.dataFramesReceived() == 1; }));
    u.b.panel->clock.advance(limits::FirmwareBlock.firstMs);
    QVERIFY(waitFor([&] { return u.dataFramesReceived() == 2; }));
    u.b.panel->clock.advance(limits::FirmwareBlock.firstMs);
    QCOMPARE(u.b.panel->messageTexts(), QStringList{text::TimeOut});
    QCOMPARE(u.log(), up::line::Upgrading + '\n' + up::line::Failed + '\n');
    QVERIFY(u.page->redText());
    QVERIFY(u.b.window().ready());
    QCOMPARE(u.dataFramesReceived(), 2);
    const QStringList frames = u.b.received().filter(QRegularExpression(QStringLiteral("^FE EF")));
    QCOMPARE(frames[0], frames[1]);  // the same block twice
}

QTEST_MAIN(TestE2EUpgrade)
#include "test_e2e_upgrade.moc"
