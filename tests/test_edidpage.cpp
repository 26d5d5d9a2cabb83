// The EDID page: its controls, the status sweep, the three settings with
// their replies and timeouts, EDID file choice, and the whole page against the
// simulated switch over a pseudo-terminal.
#include <QtTest>

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <sys/stat.h>

#include "pages/edidpage.h"
#include "protocol/edidfile.h"
#include "protocol/replies.h"
#include "support/simbench.h"
#include "test_sim_cases.h"

using namespace talvane;
using simtest::Bytes;
using simtest::edidFile;
using simtest::panelBlock;
namespace ectl = edid::ctl;

namespace {

const QString kDefaultEdid = QStringLiteral("Default EDID");
constexpr int kSettingMs = 7000;     // a setting, from its first command to its result
constexpr int kStatusRetryMs = 3000; // a status query's resend, and its time-out after that
constexpr int kBlockPauseMs = 100;   // between the block header and the block
constexpr int kNamesNothing = 23;    // an EDID code no line shows

QString hex(const Bytes& b) { return QString::fromStdString(toHex(b.data(), b.size())); }
QString hex(CommandFrame f) { return hex(simtest::sealed(f)); }
QString sealedHex(const char* twelve) { return hex(CommandFrame::fromBytes(simtest::hexBytes(twelve).data())); }

QString writeFile(QTemporaryDir& dir, const QString& name, const Bytes& bytes)
{
    QFile f(dir.filePath(name));
    f.open(QIODevice::WriteOnly);
    f.write(simtest::toQt(bytes));
    return f.fileName();
}

// A path that names no regular file: "fifo", "directory", "device" or "missing".
QString specialFile(QTemporaryDir& dir, const QString& kind)
{
    const QString path = dir.filePath(kind);
    if (kind == "fifo")
        ::mkfifo(QFile::encodeName(path).constData(), 0600);
    if (kind == "directory")
        QDir().mkdir(path);
    if (kind == "device")
        return QStringLiteral("/dev/null");
    return path;
}

CEDIDDlg* edidPage(CTalvaneDlg& w) { return qobject_cast<CEDIDDlg*>(w.pageWindow(Page::Edid)); }
void enterEdidPage(CTalvaneDlg& w) { w.pressAt(w.control(ctl::TabEdid)->geometry().center()); }

// Plays the switch: status queries answered with `codes` (-1: no answer),
// every setting step answered, the end `valid` or not.
struct PlayedSwitch {
    std::vector<int> codes = std::vector<int>(kPortCount, 2);
    bool valid = true;
    CommandFrame header;
    std::vector<CommandFrame> operator()(const Bytes& w)
    {
        if (w.size() == kRawEdidBlockSize)
            return {reply::edidResult(header, valid)};
        const CommandFrame f = CommandFrame::fromBytes(w.data());
        const CommandId id = commandIdOf(f);
        if (id == cmd::EdidQuery) {
            const int code = codes.at(std::size_t(f[pos::P1] - 1));
            return code < 0 ? std::vector<CommandFrame>{} : std::vector<CommandFrame>{reply::edidStatus(f[pos::P1], code)};
        }
        if (id == cmd::EdidUploadRequest)
            return {reply::edidUploadReady()};
        if (f[pos::P1] == kEdidBlockHeaderMark) {
            header = f;
            return {};
        }
        if (id == cmd::EdidUploadTarget || id == cmd::EdidUploadTargetAll)
            return {reply::edidAccept(id)};
        return {reply::edidResult(f, valid)};
    }
};

// The page on a panel whose switch the test plays, entered and ready.
struct EdidBench {
    PanelFixture p;
    CEDIDDlg* page = nullptr;
    std::function<std::vector<CommandFrame>(const Bytes&)> respond = PlayedSwitch();
    std::size_t answered = 0;
    std::vector<qint64> sentAt;  // clock time of each write
    QTemporaryDir dir;
    QString chosen;
    int chooserRuns = 0;

    EdidBench()
    {
        enterEdidPage(*p.window);
        page = edidPage(*p.window);
        page->setFileChooser([this] {
            ++chooserRuns;
            return chosen;
        });
        // The entry sweep, answered with codes that name nothing: every line
        // still shows "Default EDID".
        PlayedSwitch entry;
        entry.codes.assign(kPortCount, kNamesNothing);
        respond = entry;
        run();
        respond = PlayedSwitch();
        p.sent.clear();
        sentAt.clear();
        answered = 0;
    }
    template <class W>
    W* control(int id) { return page->controlAs<W>(id); }
    QString line(int input) { return control<QLabel>(ectl::Line[input - 1])->text(); }
    void click(int id) { control<QPushButton>(id)->click(); }
    void choose(const QString& name, const Bytes& bytes)
    {
        chosen = writeFile(dir, name, bytes);
        click(ectl::FileChoose);
    }
    // Answers every write so far, then runs the clock in 10 ms steps for `ms`.
    void run(int ms = 0)
    {
        for (int t = 0;; t += 10) {
            p.deliverPosted();
            while (answered < p.sent.size()) {
                sentAt.push_back(p.clock.nowMs());
                for (const CommandFrame& r : respond(p.sent[answered++]))
                    p.receive(r);
            }
            if (t >= ms)
                return;
            p.clock.advance(10);
        }
    }
};

}  // namespace

class TestEdidPage : public QObject {
    Q_OBJECT
private slots:
    void controlsAndNames();
    void entrySweepFillsTheLines();
    void statusQueryRetriedOnce_data();
    void statusQueryRetriedOnce();
    void settings_data();
    void settings();
    void unmatchedRepliesEndByTimeout_data();
    void unmatchedRepliesEndByTimeout();
    void fileChoice_data();
    void fileChoice();
    void uploadWithoutAFileSendsNothing();
    void fileDialogKeepsItsKeys();
    void againstTheSimulator();
};

void TestEdidPage::controlsAndNames()
{
    EdidBench b;
    auto* target = b.control<QComboBox>(ectl::FileTarget);
    QCOMPARE(target->count(), kPortCount + 1);
    QCOMPARE(target->itemText(edid::kAllInputsIndex), QStringLiteral("All Input"));
    auto* presets = b.control<QComboBox>(ectl::PresetList);
    QCOMPARE(presets->count(), kEdidPresetCount);
    QCOMPARE(presets->itemText(9), QStringLiteral("4K2K30,Stereo Audio 2.0"));
    QCOMPARE(presets->itemText(14), QStringLiteral("4K2K60,HD Audio 7.1"));
    auto* outputs = b.control<QComboBox>(ectl::CopySource);
    QStringList outputNames;
    for (int i = 0; i < outputs->count(); ++i)
        outputNames << outputs->itemText(i);
    QCOMPARE(outputNames, QStringList({"HDMI OUTA", "HDMI OUTB", "HDMI OUTC", "HDMI OUTD", "HDMI OUTE", "HDMI OUTF",
                                       "HDMI OUTG", "HDMI OUTH"}));
    for (int id : {ectl::PresetList, ectl::PresetTarget, ectl::CopySource, ectl::CopyTarget, ectl::FileTarget})
        QCOMPARE(b.control<QComboBox>(id)->currentIndex(), 0);
    // Screen readers: captions, and a line read with its input.
    QCOMPARE(b.page->control(ectl::CopySet)->accessibleName(), QStringLiteral("Set"));
    QCOMPARE(b.page->control(ectl::Line[2])->accessibleName(), QStringLiteral("IN3: Default EDID"));
}

void TestEdidPage::entrySweepFillsTheLines()
{
    // Entering the page reads IN1 to IN8. Code 23 names nothing: IN8's line
    // keeps its text.
    PanelFixture p;
    enterEdidPage(*p.window);
    CEDIDDlg* page = edidPage(*p.window);
    QVERIFY(!p.window->ready());
    PlayedSwitch sw;
    sw.codes = {0, 1, 14, 15, 22, 3, 4, 23};
    for (std::size_t answered = 0; answered < p.sent.size(); ++answered)
        for (const CommandFrame& r : sw(p.sent[answered]))
            p.receive(r);
    QStringList queries;
    for (int n = 1; n <= kPortCount; ++n)
        queries << hex(build::edidQuery(n));
    QCOMPARE(p.sentHex(), queries);
    auto line = [&](int n) { return page->controlAs<QLabel>(ectl::Line[n - 1])->text(); };
    const QStringList lines{"1080p,Stereo Audio 2.0", "1080p,Dolby/DTS 5.1", "4K2K60,HD Audio 7.1", "COPY TX A",
                            "COPY TX H", "1080i,Stereo Audio 2.0", "1080i,Dolby/DTS 5.1", kDefaultEdid};
    for (int n = 1; n <= 8; ++n)
        QCOMPARE(line(n), lines.at(n - 1));
    QCOMPARE(page->control(ectl::Line[3])->accessibleName(), QStringLiteral("IN4: COPY TX A"));
    QVERIFY(p.window->ready());
    p.clock.advance(20000);  // nothing left to time out
    QVERIFY(p.messageTexts().isEmpty());
}

void TestEdidPage::statusQueryRetriedOnce_data()
{
    QTest::addColumn<int>("lostInput");
    QTest::addColumn<int>("losses");
    QTest::addColumn<int>("filled");  // lines filled at the end
    QTest::newRow("IN3's first query lost") << 3 << 1 << 8;
    QTest::newRow("IN5 never answered") << 5 << 2 << 4;
}

void TestEdidPage::statusQueryRetriedOnce()
{
    QFETCH(int, lostInput);
    QFETCH(int, losses);
    QFETCH(int, filled);
    EdidBench b;
    b.respond = [&, sw = PlayedSwitch()](const Bytes& w) mutable {
        return w[pos::P1] == lostInput && losses-- > 0 ? std::vector<CommandFrame>{} : sw(w);
    };
    b.click(ectl::Status);
    b.run(3 * kStatusRetryMs);
    QCOMPARE(b.p.sentHex().at(lostInput), hex(build::edidQuery(lostInput)));  // sent once more,
    QCOMPARE(b.sentAt.at(std::size_t(lostInput)), qint64(kStatusRetryMs));  // 3 s later
    for (int n = 1; n <= 8; ++n)
        QCOMPARE(b.line(n), n <= filled ? QStringLiteral("1080p,HD Audio 7.1") : kDefaultEdid);
    QCOMPARE(b.p.sent.size(), std::size_t(filled == 8 ? 9 : lostInput + 1));
    QCOMPARE(b.p.messageTexts(), filled == 8 ? QStringList() : QStringList{text::TimeOut});
    QVERIFY(b.p.window->ready());
}

void TestEdidPage::settings_data()
{
    QTest::addColumn<int>("button");
    QTest::addColumn<QList<int>>("selections");  // list id, index, ...
    QTest::addColumn<int>("fileSize");           // an accepted file of this size; 0: none
    QTest::addColumn<bool>("valid");
    QTest::addColumn<QStringList>("commands");
    using L = QList<int>;
    const QString request = sealedHex("A5 5B 03 08 F0 00 00 00 00 00 BB 00");
    QTest::newRow("preset 14 to IN3") << ectl::PresetSet << L{ectl::PresetList, 14, ectl::PresetTarget, 2} << 0
                                      << true << QStringList{sealedHex("A5 5B 03 02 0F F0 03 00 00 00 00 00")};
    QTest::newRow("preset to All Input") << ectl::PresetSet << L{ectl::PresetList, 3, ectl::PresetTarget, 8} << 0
                                         << true << QStringList{sealedHex("A5 5B 03 01 04 F0 00 00 00 00 00 00")};
    QTest::newRow("copy B to IN5") << ectl::CopySet << L{ectl::CopySource, 1, ectl::CopyTarget, 4} << 0 << true
                                   << QStringList{sealedHex("A5 5B 03 04 02 00 05 00 00 00 00 00")};
    QTest::newRow("copy H to All Input, no valid data")
        << ectl::CopySet << L{ectl::CopySource, 7, ectl::CopyTarget, 8} << 0 << false
        << QStringList{sealedHex("A5 5B 03 03 08 00 00 00 00 00 00 00")};
    QTest::newRow("256-byte file to IN4") << ectl::FileSet << L{ectl::FileTarget, 3} << 256 << true
                                          << QStringList{request, sealedHex("A5 5B 03 07 04 F0 00 00 00 00 00 00"),
                                                         sealedHex("A5 5B 03 07 56 00 00 01 00 00 00 00")};
    QTest::newRow("128-byte file to All Input") << ectl::FileSet << L{ectl::FileTarget, 8} << 128 << true
                                                << QStringList{request, sealedHex("A5 5B 03 06 FE F0 00 00 00 00 00 00"),
                                                               sealedHex("A5 5B 03 06 56 00 00 01 00 00 00 00")};
}

void TestEdidPage::settings()
{
    QFETCH(int, button);
    QFETCH(QList<int>, selections);
    QFETCH(int, fileSize);
    QFETCH(bool, valid);
    QFETCH(QStringList, commands);
    EdidBench b;
    const Bytes file = fileSize ? edidFile(std::size_t(fileSize), 1) : Bytes();
    if (fileSize)
        b.choose(QStringLiteral("display.bin"), file);
    for (int i = 0; i + 1 < selections.size(); i += 2)
        b.control<QComboBox>(selections[i])->setCurrentIndex(selections[i + 1]);
    PlayedSwitch sw;
    sw.valid = valid;
    b.respond = sw;
    QString result;
    bool closedAfterShowing = false;
    b.p.modal->queue([&](QDialog&) {
        auto isResult = [] {
            const QString t = Popups::instance().busyText();
            return t == text::SetSuccessfully || t == text::NoValidData;
        };
        for (int t = 0; t < kSettingMs && (b.run(), !isResult()); t += 10)
            b.p.clock.advance(10);
        result = Popups::instance().busyText();
        // The result stays 900 ms, then the popup closes.
        b.p.clock.advance(edid::kResultShownMs - 1);
        const bool shown = Popups::instance().busyShown();
        b.p.clock.advance(1);
        closedAfterShowing = shown && !Popups::instance().busyShown();
    });
    b.click(button);
    QCOMPARE(b.p.modal->records().first().textAtOpen, text::Setting);
    QCOMPARE(result, valid ? text::SetSuccessfully : text::NoValidData);
    QVERIFY(closedAfterShowing);
    QVERIFY(!b.p.modal->records().first().forced);  // the result closed the popup
    if (fileSize) {
        // 0x00 and the file's first 255 bytes, 100 ms after the block header.
        commands << hex(panelBlock(file));
        QCOMPARE(b.sentAt.back() - b.sentAt.at(2), qint64(kBlockPauseMs));
    }
    QCOMPARE(b.p.sentHex(), commands);
    QVERIFY(b.p.messageTexts().isEmpty());
    QVERIFY(b.p.window->ready());
}

void TestEdidPage::unmatchedRepliesEndByTimeout_data()
{
    QTest::addColumn<int>("position");
    QTest::addColumn<int>("value");
    QTest::newRow("position 6 differs") << int(pos::P3) << 4;
    QTest::newRow("position 7 differs") << int(pos::P4) << 1;
    QTest::newRow("another command's code") << int(pos::Code) << 0x04;
    QTest::newRow("flag byte (position 5) set") << int(pos::P2) << 0xF0;
    // Preset 15 is sent as 0x0F, which is also the no-valid-data status.
    QTest::newRow("the command echoed") << -1 << 0;
}

void TestEdidPage::unmatchedRepliesEndByTimeout()
{
    QFETCH(int, position);
    QFETCH(int, value);
    EdidBench b;
    b.control<QComboBox>(ectl::PresetTarget)->setCurrentIndex(2);
    b.control<QComboBox>(ectl::PresetList)->setCurrentIndex(kEdidPresetCount - 1);
    b.respond = [&](const Bytes& w) {
        const CommandFrame command = CommandFrame::fromBytes(w.data());
        if (position < 0)
            return std::vector<CommandFrame>{command};
        CommandFrame r = reply::edidResult(command, true);
        r[position] = std::uint8_t(value);
        return std::vector<CommandFrame>{r};
    };
    bool openAtTheLastMoment = false;
    b.p.modal->queue([&](QDialog&) {
        b.run(kSettingMs - 10);
        openAtTheLastMoment = Popups::instance().busyShown() && Popups::instance().busyText() == text::Setting;
        b.run(10);
    });
    b.click(ectl::PresetSet);
    QVERIFY(openAtTheLastMoment);
    QCOMPARE(b.p.messageTexts(), QStringList{text::TimeOut});
    QVERIFY(!Popups::instance().busyShown());
    QCOMPARE(b.p.sent.size(), std::size_t(1));  // a setting is not resent
    QVERIFY(b.p.window->ready());
}

void TestEdidPage::fileChoice_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<Bytes>("file");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<QString>("refusal");  // the box for a path that is no regular file
    QTest::addColumn<QString>("why");      // what the summary line says of a bad file
    QTest::newRow("128 bytes announcing an extension") << "a.bin" << edidFile(128, 1) << true << QString() << QString();
    QTest::newRow("256 bytes") << "b.BIN" << edidFile(256, 1) << true << QString() << QString();
    QTest::newRow("256 bytes, no extension: the rest unchecked")
        << "b2.bin" << edidFile(256, 0, true, false) << true << QString() << QString();
    QTest::newRow("bad base checksum") << "b3.bin" << edidFile(128, 0, false) << false << QString()
                                       << "checksum of the base block wrong";
    Bytes longFile = edidFile(256, 1);
    longFile.push_back(0);
    QTest::newRow("257 bytes") << "c.bin" << longFile << false << QString() << "more than 256 bytes";
    Bytes shortFile = edidFile(256, 0);
    shortFile.pop_back();
    QTest::newRow("255 bytes") << "d.bin" << shortFile << false << QString() << "255 bytes, not 128 or 256";
    Bytes header = edidFile(128, 0);
    header[7] = 0x01;
    header[127] = checksumOf(header.data(), 127);
    QTest::newRow("bad header") << "e.bin" << header << false << QString() << "no EDID header at the start";
    QTest::newRow("two extensions") << "f.bin" << edidFile(256, 2) << false << QString()
                                    << "2 extension blocks announced, at most 1";
    QTest::newRow("bad extension checksum") << "g.bin" << edidFile(256, 1, true, false) << false << QString()
                                            << "checksum of the extension block wrong";
    // Refused before anything is read; a FIFO would block the page in open().
    QTest::newRow("a FIFO") << "fifo" << Bytes() << false << text::NotRegularFile << QString();
    QTest::newRow("a directory") << "directory" << Bytes() << false << text::NotRegularFile << QString();
    QTest::newRow("a device") << "device" << Bytes() << false << text::NotRegularFile << QString();
    QTest::newRow("gone before it was read") << "missing" << Bytes() << false << text::FileNotFound << QString();
}

void TestEdidPage::fileChoice()
{
    // A file chosen after an accepted one: a rejected file leaves the accepted
    // one in the path box and the buffer a later upload sends; the summary
    // line says why the file was bad, and what is still loaded.
    QFETCH(QString, name);
    QFETCH(Bytes, file);
    QFETCH(bool, accepted);
    QFETCH(QString, refusal);
    QFETCH(QString, why);
    EdidBench b;
    Bytes earlier = edidFile(256, 0);
    earlier[100] ^= 0x5A;
    earlier[127] = checksumOf(earlier.data(), 127);
    b.choose(QStringLiteral("earlier.bin"), earlier);
    const QString earlierSummary = b.control<QLabel>(ectl::FileSummary)->text();
    QVERIFY(!earlierSummary.isEmpty());
    if (!refusal.isEmpty()) {
        b.chosen = specialFile(b.dir, name);
        b.click(ectl::FileChoose);
    } else {
        b.choose(name, file);
    }

    const Bytes kept = accepted ? file : earlier;
    QCOMPARE(b.control<QLineEdit>(ectl::FilePath)->text(), b.dir.filePath(accepted ? name : "earlier.bin"));
    const QString summary = QString::fromStdString(edidfile::describe(kept.data(), kept.size()));
    QCOMPARE(b.control<QLabel>(ectl::FileSummary)->text(),
             why.isEmpty() ? summary
                           : QStringLiteral("Bad EDID file \u201C%1\u201D: %2\nStill loaded: %3").arg(name, why, summary));
    const QString box = refusal.isEmpty() ? text::BadEdidFile : refusal;
    QCOMPARE(b.p.messageTexts(), accepted ? QStringList() : QStringList{box});
    Bytes buffer(b.page->edidBuffer().begin(), b.page->edidBuffer().end());
    Bytes expected(CEDIDDlg::kEdidBufferSize, 0);
    std::copy(kept.begin(), kept.end(), expected.begin() + 1);
    QCOMPARE(hex(buffer), hex(expected));
    QVERIFY(b.p.sent.empty());
}

void TestEdidPage::uploadWithoutAFileSendsNothing()
{
    EdidBench b;
    b.click(ectl::FileSet);
    QVERIFY(b.p.sent.empty());
    QVERIFY(b.p.window->ready());
    QVERIFY(b.p.modal->records().isEmpty());
    // A file is chosen only between exchanges.
    const Hold held = b.p.window->runner().hold();
    QVERIFY(held);
    b.click(ectl::FileChoose);
    QCOMPARE(b.chooserRuns, 0);
}

void TestEdidPage::fileDialogKeepsItsKeys()
{
    // The open-file dialog opens over the page, whose key filter must not
    // take Enter, Escape and Space from it.
    EdidBench b;
    QDialog dialog(b.page);
    auto* button = new QPushButton(QStringLiteral("probe"), &dialog);
    QSignalSpy clicked(button, &QPushButton::clicked);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    button->setFocus();
    QTest::keyClick(button, Qt::Key_Space);
    QCOMPARE(clicked.count(), 1);
}

void TestEdidPage::againstTheSimulator()
{
    SimBench s;
    s.model().edidCode = {0, 1, 14, 15, 22, 3, 4, 5};
    QVERIFY(s.connect());
    QVERIFY(waitFor([&] { return s.window().ready() && s.received().size() >= 2; }));

    // Entering the page reads every input's EDID.
    enterEdidPage(s.window());
    CEDIDDlg* page = edidPage(s.window());
    auto line = [&](int n) { return page->controlAs<QLabel>(ectl::Line[n - 1])->text(); };
    auto list = [&](int id) { return page->controlAs<QComboBox>(id); };
    auto click = [&](int id) { page->controlAs<QPushButton>(id)->click(); };
    QVERIFY(waitFor([&] { return s.window().ready(); }));
    QCOMPARE(QStringList({line(3), line(4), line(5), line(8)}),
             QStringList({"4K2K60,HD Audio 7.1", "COPY TX A", "COPY TX H", "1080i,HD Audio 7.1"}));
    s.panel->clock.advance(kSettingMs);
    QVERIFY(s.panel->messageTexts().isEmpty());

    // The busy popup waits for the switch; the pause after the block header
    // runs on the clock once the switch has the header.
    QString result;
    const ScriptedModal::Answer finish = [&](QDialog&) {
        bool paused = false;
        QVERIFY(waitFor([&] {
            const QString t = Popups::instance().busyText();
            if (!paused && s.received().filter(QRegularExpression("^A5 5B 03 0[67] 56 ")).size() == 1) {
                paused = true;
                s.panel->clock.advance(kBlockPauseMs);
            }
            return t == text::SetSuccessfully || t == text::NoValidData;
        }));
        result = Popups::instance().busyText();
        s.panel->clock.advance(edid::kResultShownMs);
    };
    list(ectl::PresetList)->setCurrentIndex(14);
    list(ectl::PresetTarget)->setCurrentIndex(edid::kAllInputsIndex);
    s.panel->modal->queue(finish);
    click(ectl::PresetSet);
    QCOMPARE(result, text::SetSuccessfully);
    QCOMPARE(s.model().edidCode, (std::array<int, kPortCount>{14, 14, 14, 14, 14, 14, 14, 14}));

    // A 256-byte file to IN2 reaches the switch as 0x00 and its first 255 bytes.
    QTemporaryDir dir;
    const Bytes file = edidFile(256, 1);
    page->setFileChooser([&] { return writeFile(dir, QStringLiteral("display.bin"), file); });
    click(ectl::FileChoose);
    QVERIFY(!page->controlAs<QLabel>(ectl::FileSummary)->text().isEmpty());
    list(ectl::FileTarget)->setCurrentIndex(1);
    result.clear();
    s.panel->modal->queue(finish);
    click(ectl::FileSet);
    QCOMPARE(result, text::SetSuccessfully);
    QCOMPARE(hex(s.model().edidBlock), hex(panelBlock(file)));
    QCOMPARE(s.model().edidBlockTarget, 2);

    // A file with a bad extension checksum goes nowhere.
    page->setFileChooser([&] { return writeFile(dir, QStringLiteral("bad.bin"), edidFile(256, 1, true, false)); });
    const int frames = int(s.received().size());
    click(ectl::FileChoose);
    QCOMPARE(s.panel->messageTexts().last(), text::BadEdidFile);
    QCOMPARE(int(s.received().size()), frames);
}

QTEST_MAIN(TestEdidPage)
#include "test_edidpage.moc"
