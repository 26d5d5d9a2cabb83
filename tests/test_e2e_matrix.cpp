// The Matrix page against the simulated switch over a real serial line (a
// pseudo-terminal): entering the page reads the switch's routing and ARC, and
// routing through the page changes the switch. Buttons are worked through
// their accessibility actions, as a screen reader would.
#include <QtTest>

#include <QAccessible>

#include "ops/limits.h"
#include "pages/matrixpage.h"
#include "protocol/commands.h"
#include "support/framehex.h"
#include "support/matrixview.h"
#include "support/simbench.h"

using namespace talvane;
namespace ids = talvane::matrix::ctl;

namespace {

// What the page should show for output o of the simulated switch.
QString expected(SimBench& b, int o)
{
    const int input = b.model().route[std::size_t(o - 1)];
    return QStringLiteral("IN%1 Input %1 %2").arg(input).arg(b.model().arc[std::size_t(o - 1)] ? "ON" : "OFF");
}

}  // namespace

class TestE2EMatrix : public QObject {
    Q_OBJECT
private slots:
    void enterAndRoute();
};

void TestE2EMatrix::enterAndRoute()
{
    SimBench b;
    b.model().route = {3, 5, 1, 8, 2, 7, 4, 8};
    b.model().arc = {false, true, false, false, true, false, false, false};
    QVERIFY(b.connect());
    QVERIFY(waitFor([&] { return b.window().ready() && b.received().size() >= 2; }));

    b.window().pressAt(b.window().control(ctl::TabMatrix)->geometry().center());
    auto& m = *qobject_cast<CMatrixDlg*>(b.window().pageWindow(Page::Matrix));
    QVERIFY(waitFor([&] { return b.received().contains(hexOf(build::arcQuery(8))) && shownOnMatrix(m, 8) == expected(b, 8); }));
    for (int o = 1; o <= matrix::kOutputs; ++o)
        QCOMPARE(shownOnMatrix(m, o), expected(b, o));
    QVERIFY(b.window().ready());
    b.panel->clock.advance(limits::ChainQuery.firstMs);
    QVERIFY(b.panel->messageTexts().isEmpty());

    // IN4 of output B, by its Toggle action.
    act(m.control(ids::Input[1][3]), QAccessibleActionInterface::toggleAction());
    QVERIFY(waitFor([&] { return shownOnMatrix(m, 2) == QStringLiteral("IN4 Input 4 ON"); }));
    QCOMPARE(b.model().route[1], 4);
    // Output D is at input 8: its next-input button, by its Press action, routes input 1.
    act(m.control(ids::Next[3]), QAccessibleActionInterface::pressAction());
    QVERIFY(waitFor([&] { return shownOnMatrix(m, 4) == QStringLiteral("IN1 Input 1 OFF"); }));
    QCOMPARE(b.model().route[3], 1);
    QVERIFY(b.received().contains(hexOf(build::routeSet(1, 4))));
}

QTEST_MAIN(TestE2EMatrix)
#include "test_e2e_matrix.moc"
