// The web remote's page in a real browser: Debian's Chromium, headless, at
// a phone's 390 x 844, against the hub on the in-process simulated switch
// (its time on the manual clock). The test runs in a network namespace of
// its own where it can (as root), so that the browser reaches nothing but
// this test's loopback, and "beyond loopback" (0.0.0.0) is that loopback too.
// TALVANE_SCREENSHOTS=DIR also saves the page at phone and desktop width,
// light and dark.
#include <QtTest>

#include <QFile>

#include "ops/limits.h"
#include "ops/presets.h"
#include "protocol/commands.h"
#include "sim/console.h"
#include "support/httphub.h"
#include "support/netns.h"
#include "support/webdriver.h"

using namespace talvane;

namespace {

QString g_noNamespace;


const QByteArray kToken = "stage-left-token-0123456789";

}  // namespace

class TestHttpPage : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void tapOutputThenInput();
    void consoleRouteShowsWithoutReload();
    void recallPreset();
    void everyControlIsNamedAndBigEnough();
    void screenshots();
    void loginBeyondLoopback();
    void cleanupTestCase();

private:
    std::unique_ptr<HttpHub> hub_;
    std::unique_ptr<WebDriver> browser_;
    QString base_;
    bool showsRoute(const QString& output, int input)
    {
        return browser_->text(QStringLiteral("[data-output=\"%1\"] .route").arg(output)) == QStringLiteral("IN%1").arg(input);
    }
};

void TestHttpPage::initTestCase()
{
    hub_ = std::make_unique<HttpHub>();
    hub_->link.model().route = {1, 2, 3, 4, 5, 6, 7, 8};
    PresetStore presets(hub_->presetsPath);
    Preset show{QStringLiteral("Show"), {}};
    show.routing.inputs = {3, 3, 3, 3, 1, 1, 1, 1};
    for (auto& a : show.routing.arc)
        a = false;
    QVERIFY(presets.put(hub_->switchKey, show));
    QVERIFY(presets.save());
    QVERIFY(hub_->labels.setOutput(hub_->switchKey, 1, QStringLiteral("Projector")));
    QVERIFY(hub_->labels.setInput(hub_->switchKey, 4, QStringLiteral("Lectern")));
    QVERIFY(hub_->labels.save());
    QVERIFY(hub_->start());
    base_ = QStringLiteral("http://127.0.0.1:%1").arg(hub_->port());
    browser_ = std::make_unique<WebDriver>();
    QString why;
    if (!browser_->start(390, 844, &why))
        QSKIP(qPrintable(why));
    // A phone's screen, touch included (headless windows have a minimum width).
    browser_->devtools(QStringLiteral("Emulation.setDeviceMetricsOverride"),
                       {{"width", 390}, {"height", 844}, {"deviceScaleFactor", 1}, {"mobile", true}});
    browser_->devtools(QStringLiteral("Emulation.setTouchEmulationEnabled"), {{"enabled", true}});
    browser_->navigate(base_ + QStringLiteral("/"));
    QVERIFY(browser_->until([&] { return showsRoute(QStringLiteral("H"), 8); }));
    QCOMPARE(browser_->run(QStringLiteral("return window.innerWidth;")).toInt(), 390);
    QCOMPARE(browser_->text(QStringLiteral("#link")), QStringLiteral("Connected"));
}

void TestHttpPage::tapOutputThenInput()
{
    QVERIFY(browser_->click(QStringLiteral("[data-output=\"B\"]")));
    QCOMPARE(browser_->attribute(QStringLiteral("[data-output=\"B\"]"), QStringLiteral("aria-pressed")), QStringLiteral("true"));
    QCOMPARE(browser_->text(QStringLiteral("#chosen")), QStringLiteral("B"));
    const int before = hub_->sent(cmd::RouteSet);
    QVERIFY(browser_->click(QStringLiteral("[data-input=\"4\"]")));
    // The switch received the route; the page shows it once acknowledged.
    QVERIFY(browser_->until([&] { return hub_->sent(cmd::RouteSet) == before + 1 && showsRoute(QStringLiteral("B"), 4); }));
    QCOMPARE(hub_->link.model().route[1], 4);
    QCOMPARE(browser_->attribute(QStringLiteral("[data-input=\"4\"]"), QStringLiteral("aria-pressed")), QStringLiteral("true"));
}

void TestHttpPage::consoleRouteShowsWithoutReload()
{
    const QString page = browser_->run(QStringLiteral("return String(performance.timeOrigin);")).toString();
    sim::Console console(hub_->link.device);
    QVERIFY(console.execute(QStringLiteral("route 6 3")).ok);
    // The hub learns it at its next idle read of the switch...
    const qint64 from = hub_->clock.nowMs();
    while (hub_->hub->state().now().routes[2] != 6 && hub_->clock.nowMs() - from <= limits::HubFollowsWithinMs)
        hub_->advance(100);
    QCOMPARE(hub_->hub->state().now().routes[2], 6);
    // ...and the page shows it from the event stream, not from a reload.
    QElapsedTimer shown;
    shown.start();
    QVERIFY(browser_->until([&] { return showsRoute(QStringLiteral("C"), 6); }));
    qInfo("the hub learnt it %lld ms (switch time) after the console; the page showed it %lld ms (real) later",
          hub_->clock.nowMs() - from, shown.elapsed());
    QCOMPARE(browser_->run(QStringLiteral("return String(performance.timeOrigin);")).toString(), page);
}

void TestHttpPage::recallPreset()
{
    const QString button = QStringLiteral("[data-recall=\"Show\"]");
    QVERIFY(browser_->until([&] { return !browser_->find(button).isEmpty(); }));
    QCOMPARE(browser_->attribute(button, QStringLiteral("aria-label")), QStringLiteral("Recall preset Show"));
    QVERIFY(browser_->click(button));
    QVERIFY(browser_->until([&] {
        return browser_->attribute(QStringLiteral(".presets li"), QStringLiteral("aria-current")) == QStringLiteral("true");
    }));
    QCOMPARE(hub_->link.model().route, (std::array<int, kPortCount>{3, 3, 3, 3, 1, 1, 1, 1}));
    QVERIFY(showsRoute(QStringLiteral("A"), 3) && showsRoute(QStringLiteral("H"), 1));
}

void TestHttpPage::everyControlIsNamedAndBigEnough()
{
    // Every button shown has a name and is at least 44 x 44 px; the output
    // and input buttons say their state.
    const QJsonArray faults = browser_->run(QStringLiteral(R"(
        const bad = [];
        for (const b of document.querySelectorAll('button')) {
          const r = b.getBoundingClientRect();
          if (r.width === 0 && r.height === 0) continue;  // not shown at this width
          const name = b.getAttribute('aria-label') || b.textContent.trim();
          if (!name) bad.push('a button without a name');
          if (r.width < 44 || r.height < 44) bad.push(`${name}: ${r.width}x${r.height}`);
          if ((b.dataset.output || b.dataset.input || b.dataset.arc) && !b.hasAttribute('aria-pressed')) bad.push(`${name}: no state`);
        }
        if (document.documentElement.scrollWidth > window.innerWidth) bad.push('wider than the screen');
        return bad;)")).toArray();
    QVERIFY2(faults.isEmpty(), QJsonDocument(faults).toJson(QJsonDocument::Compact).constData());
    QCOMPARE(browser_->attribute(QStringLiteral("[data-output=\"A\"]"), QStringLiteral("aria-label")),
             QStringLiteral("Output A Projector, shows input 3"));
    QCOMPARE(browser_->attribute(QStringLiteral("#link"), QStringLiteral("role")), QStringLiteral("status"));
}

void TestHttpPage::screenshots()
{
    const QString dir = qEnvironmentVariable("TALVANE_SCREENSHOTS");
    if (dir.isEmpty())
        QSKIP("TALVANE_SCREENSHOTS=DIR saves the page's screenshots");
    struct Shot {
        const char* name;
        int width, height;
        bool dark;
    } const shots[] = {{"phone-light", 390, 844, false}, {"phone-dark", 390, 844, true},
                       {"desktop-light", 1280, 800, false}, {"desktop-dark", 1280, 800, true}};
    for (const Shot& s : shots) {
        browser_->devtools(QStringLiteral("Emulation.setDeviceMetricsOverride"),
                           {{"width", s.width}, {"height", s.height}, {"deviceScaleFactor", 1}, {"mobile", s.width < 600}});
        browser_->devtools(QStringLiteral("Emulation.setEmulatedMedia"),
                           {{"features", QJsonArray{QJsonObject{{"name", "prefers-color-scheme"}, {"value", s.dark ? "dark" : "light"}}}}});
        browser_->run(QStringLiteral("return 0;"));
        QFile f(dir + QStringLiteral("/web-%1.png").arg(QLatin1String(s.name)));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(browser_->screenshot());
    }
    browser_->devtools(QStringLiteral("Emulation.setDeviceMetricsOverride"),
                       {{"width", 390}, {"height", 844}, {"deviceScaleFactor", 1}, {"mobile", true}});
}

void TestHttpPage::loginBeyondLoopback()
{
    if (!g_noNamespace.isEmpty())
        QSKIP(qPrintable(QStringLiteral("no network namespace of its own: %1").arg(g_noNamespace)));
    // A second hub on the same switch kind, listening on every address of
    // this test's namespace, with a token.
    HttpHub remote;
    QVERIFY(remote.start(QHostAddress::AnyIPv4, kToken));
    const QString base = QStringLiteral("http://127.0.0.1:%1").arg(remote.port());
    browser_->navigate(base + QStringLiteral("/"));
    QVERIFY(browser_->until([&] { return browser_->url().endsWith(QStringLiteral("/login")); }));
    QCOMPARE(browser_->attribute(QStringLiteral("#token"), QStringLiteral("type")), QStringLiteral("password"));
    browser_->type(QStringLiteral("#token"), QStringLiteral("not-the-token-at-all"));
    QVERIFY(browser_->click(QStringLiteral("#sign-in")));
    QVERIFY(browser_->until([&] { return !browser_->text(QStringLiteral("#message")).isEmpty(); }));
    QCOMPARE(browser_->text(QStringLiteral("#message")), QStringLiteral("that is not the token"));
    browser_->run(QStringLiteral("document.getElementById('token').value = ''; return 0;"));
    browser_->type(QStringLiteral("#token"), QString::fromLatin1(kToken));
    QVERIFY(browser_->click(QStringLiteral("#sign-in")));
    // Signed in: the page, its stream, and a route by a tap.
    QVERIFY(browser_->until([&] { return browser_->text(QStringLiteral("#link")) == QStringLiteral("Connected"); }));
    QVERIFY(browser_->run(QStringLiteral("return document.cookie;")).toString().isEmpty());  // HttpOnly
    QVERIFY(browser_->click(QStringLiteral("[data-output=\"D\"]")));
    QVERIFY(browser_->click(QStringLiteral("[data-input=\"7\"]")));
    QVERIFY(browser_->until([&] { return showsRoute(QStringLiteral("D"), 7); }));
    QCOMPARE(remote.link.model().route[3], 7);
    browser_->navigate(base_ + QStringLiteral("/"));
}

void TestHttpPage::cleanupTestCase()
{
    browser_.reset();
    hub_.reset();
}

int main(int argc, char** argv)
{
    g_noNamespace = netns::enterOwn();
    QCoreApplication app(argc, argv);
    TestHttpPage test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_http_page.moc"
