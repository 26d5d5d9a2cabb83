// What a first-time operator runs into: the keyboard reaches the page tabs,
// the off-screen logs stay out of the keyboard's and the screen reader's way,
// and on the Matrix page the checked input stands out while the focus does
// not pass for a selection.
#include <QtTest>

#include <QAccessible>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>

#include "app/controlids.h"
#include "pages/matrixpage.h"
#include "protocol/commands.h"
#include "protocol/replies.h"
#include "support/panelfixture.h"

using namespace talvane;

namespace {

// Every object reachable from `iface` through the accessibility tree.
void collect(QAccessibleInterface* iface, QSet<QObject*>& out, int depth = 0)
{
    if (!iface || depth > 12)
        return;
    if (iface->object())
        out.insert(iface->object());
    for (int i = 0; i < iface->childCount(); ++i)
        collect(iface->child(i), out, depth + 1);
}

// WCAG relative luminance and contrast ratio.
double luminance(const QColor& c)
{
    auto channel = [](double v) { return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
    return 0.2126 * channel(c.redF()) + 0.7152 * channel(c.greenF()) + 0.0722 * channel(c.blueF());
}
double contrast(const QColor& a, const QColor& b)
{
    const double la = luminance(a), lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

// The colour most of a button's face shows (its text and frame are a small part).
QColor faceOf(QWidget* button)
{
    const QImage img = button->grab().toImage();
    QMap<QRgb, int> count;
    for (int y = 2; y < img.height() - 2; ++y)
        for (int x = 2; x < img.width() - 2; ++x)
            ++count[img.pixel(x, y)];
    QRgb best = 0;
    int most = -1;
    for (auto it = count.begin(); it != count.end(); ++it)
        if (it.value() > most) {
            most = it.value();
            best = it.key();
        }
    return QColor(best);
}

}  // namespace

class TestFirstUse : public QObject {
    Q_OBJECT
private slots:
    void keysChangePage_data();
    void keysChangePage();
    void keysWaitForTheSwitch();
    void offscreenLogsNeitherFocusedNorAnnounced();
    void checkedInputStandsOut();
};

void TestFirstUse::keysChangePage_data()
{
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("modifiers");
    QTest::addColumn<int>("from");  // a page whose entry leaves the switch free
    QTest::addColumn<int>("to");    // -1: the page stays
    const int ctrl = int(Qt::ControlModifier);
    const int ctrlShift = int(Qt::ControlModifier | Qt::ShiftModifier);
    QTest::newRow("Ctrl+Tab") << int(Qt::Key_Tab) << ctrl << int(Page::General) << int(Page::Edid);
    QTest::newRow("Ctrl+PgDn") << int(Qt::Key_PageDown) << ctrl << int(Page::General) << int(Page::Edid);
    QTest::newRow("Ctrl+Shift+Tab wraps") << int(Qt::Key_Backtab) << ctrlShift << int(Page::General) << int(Page::Upgrade);
    QTest::newRow("Ctrl+PgUp wraps") << int(Qt::Key_PageUp) << ctrl << int(Page::General) << int(Page::Upgrade);
    QTest::newRow("Ctrl+Tab wraps") << int(Qt::Key_Tab) << ctrl << int(Page::Upgrade) << int(Page::General);
    QTest::newRow("Ctrl+Shift+Tab") << int(Qt::Key_Backtab) << ctrlShift << int(Page::Upgrade) << int(Page::Matrix);
    QTest::newRow("Tab alone") << int(Qt::Key_Tab) << 0 << int(Page::General) << -1;
    QTest::newRow("PgDn alone") << int(Qt::Key_PageDown) << 0 << int(Page::General) << -1;
    QTest::newRow("Ctrl+Enter") << int(Qt::Key_Return) << ctrl << int(Page::General) << -1;
    QTest::newRow("Ctrl+Escape") << int(Qt::Key_Escape) << ctrl << int(Page::Upgrade) << -1;
}

void TestFirstUse::keysChangePage()
{
    QFETCH(int, key);
    QFETCH(int, modifiers);
    QFETCH(int, from);
    QFETCH(int, to);
    PanelFixture p;
    CTalvaneDlg& w = *p.window;
    if (from == int(Page::Upgrade)) {
        w.pressAt(w.control(ctl::TabUpgrade)->geometry().center());
        QVERIFY(w.ready());  // the device read runs in the background
    }
    QCOMPARE(int(w.currentPage()), from);
    p.sent.clear();
    // Wherever the focus is: a control of the General page, or of the page shown.
    QWidget* page = w.pageWindow(w.currentPage());
    QWidget* target = page ? page->findChildren<QWidget*>().value(0, page) : w.control(ctl::Status);
    QTest::keyClick(target, Qt::Key(key), Qt::KeyboardModifiers(modifiers));
    if (to < 0) {
        QCOMPARE(int(w.currentPage()), from);
        return;
    }
    QCOMPARE(int(w.currentPage()), to);
    // As a click on the tab: the tab is selected and the page's entry goes out.
    QAccessibleInterface* tab = QAccessible::queryAccessibleInterface(w.tabLabel(Page(to)));
    QVERIFY(tab->state().selected);
    QCOMPARE(p.sent.size(), std::size_t(1));
    QVERIFY(w.pageWindow(Page(to)) ? w.pageWindow(Page(to))->isVisibleTo(&w) : w.control(ctl::Status)->isVisibleTo(&w));
}

void TestFirstUse::keysWaitForTheSwitch()
{
    // While the EDID page's entry read is outstanding, no key changes page, as no click does.
    PanelFixture p;
    CTalvaneDlg& w = *p.window;
    QTest::keyClick(w.control(ctl::Status), Qt::Key_Tab, Qt::ControlModifier);
    QCOMPARE(int(w.currentPage()), int(Page::Edid));
    QVERIFY(!w.ready());
    QTest::keyClick(w.pageWindow(Page::Edid), Qt::Key_PageDown, Qt::ControlModifier);
    QCOMPARE(int(w.currentPage()), int(Page::Edid));
    QCOMPARE(p.sent.size(), std::size_t(1));
}

void TestFirstUse::offscreenLogsNeitherFocusedNorAnnounced()
{
    PanelFixture p;
    CTalvaneDlg& w = *p.window;
    QSet<QObject*> reachable;
    collect(QAccessible::queryAccessibleInterface(&w), reachable);
    // What the operator sees is there ...
    for (int id : {ctl::Status, ctl::Connect, ctl::PortList, ctl::Reconnect, ctl::FactoryReset, ctl::TabMatrix})
        QVERIFY2(reachable.contains(w.control(id)), qPrintable(QString::number(id)));
    // ... what lies beyond the right edge is not, and takes no focus.
    for (int id : {ctl::ReceiveLabel, ctl::ReceiveLog, ctl::SendLabel, ctl::SendLog, ctl::ClearLogs,
                   ctl::ExtResetGroup, ctl::ExtFactoryReset}) {
        QWidget* c = w.control(id);
        QVERIFY(c->x() >= w.width());
        QCOMPARE(c->focusPolicy(), Qt::NoFocus);
        QVERIFY2(!reachable.contains(c), qPrintable(QString::number(id)));
        for (QWidget* inner : c->findChildren<QWidget*>()) {
            QVERIFY(!reachable.contains(inner));
            QVERIFY(!(inner->focusPolicy() & Qt::TabFocus));
        }
        // Reached by another way (a change of its text), it says nothing and shows as invisible.
        QAccessibleInterface* a = QAccessible::queryAccessibleInterface(c);
        QVERIFY(a->state().invisible);
        QVERIFY2(a->text(QAccessible::Name).isEmpty(), qPrintable(a->text(QAccessible::Name)));
        QVERIFY(!a->actionInterface() || a->actionInterface()->actionNames().isEmpty());
    }
    // The logs still log: the Send log shows a status read.
    w.controlAs<QPushButton>(ctl::Status)->click();
    QVERIFY(!p.logText(ctl::SendLog).isEmpty());
}

void TestFirstUse::checkedInputStandsOut()
{
    PanelFixture p;
    CTalvaneDlg& w = *p.window;
    w.show();
    w.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&w));
    w.pressAt(w.control(ctl::TabMatrix)->geometry().center());
    auto& m = *qobject_cast<CMatrixDlg*>(w.pageWindow(Page::Matrix));
    // The switch answers the routing query of output A: input 3.
    p.receive(reply::routeQuery(1, 3));
    namespace ids = matrix::ctl;
    QWidget* checked = m.control(ids::Input[0][2]);
    QVERIFY(qobject_cast<QPushButton*>(checked)->isChecked());
    const QColor on = faceOf(checked);
    for (int i : {0, 1, 3, 7}) {
        const QColor off = faceOf(m.control(ids::Input[0][i]));
        QVERIFY2(contrast(on, off) >= 3.0, qPrintable(QStringLiteral("%1 against %2: %3").arg(on.name(), off.name()).arg(contrast(on, off))));
    }
    // The focus changes no face: a focused input looks like its unfocused neighbours.
    QWidget* other = m.control(ids::Input[0][5]);
    const QColor before = faceOf(other);
    other->setFocus(Qt::TabFocusReason);
    QVERIFY(other->hasFocus());
    const QColor focused = faceOf(other);
    QVERIFY2(contrast(focused, before) < 1.05, qPrintable(focused.name() + " " + before.name()));
    QVERIFY(contrast(focused, on) >= 3.0);
    // ... but its frame shows it.
    const QImage withFocus = other->grab().toImage();
    other->clearFocus();
    const QImage without = other->grab().toImage();
    QVERIFY(withFocus != without);
}

QTEST_MAIN(TestFirstUse)
#include "test_firstuse.moc"
