// The main window: tabs and page entry, the header's look, dragging, the About
// entry, the key filter, and the tabs as assistive tools see them.
#include <QtTest>

#include <QAccessible>
#include <QLabel>
#include <QMenu>
#include <QPainter>
#include <QPushButton>
#include <QSignalSpy>

#include "app/controlids.h"
#include "controls/imagebutton.h"
#include "ops/limits.h"
#include "pages/matrixpage.h"
#include "protocol/commands.h"
#include "protocol/replies.h"
#include "resources/resources.h"
#include "support/panelfixture.h"
#include "support/simlink.h"

using namespace talvane;

namespace {

QPoint centreOf(QWidget* w) { return w->geometry().center(); }

}  // namespace

class TestMainWindow : public QObject {
    Q_OBJECT
private slots:
    void enteringAPageSendsItsFirstCommand_data();
    void enteringAPageSendsItsFirstCommand();
    void pageEntryTimesOutAfterSevenSeconds_data();
    void pageEntryTimesOutAfterSevenSeconds();
    void tabClicksRefusedWhileBusy();
    void enteringWithTheLinkClosedShowsThePageAnyway();
    void strayRouteAcknowledgementSendsNothing_data();
    void strayRouteAcknowledgementSendsNothing();
    void pagesAreCreatedOnceAndPlaced();
    void generalControlsHiddenOnOtherPages();
    void headerBandTabsAndButtons();
    void pressOutsideTabsDragsTheWindow();
    void aboutEntryOnTheHeaderMenu();
    void enterEscapeAndSpaceDoNothing();
    void pagesKeepTheirOwnKeysAndPresses_data();
    void pagesKeepTheirOwnKeysAndPresses();
    void headerButtonsHaveNamesAndIcons_data();
    void headerButtonsHaveNamesAndIcons();
};

void TestMainWindow::enteringAPageSendsItsFirstCommand_data()
{
    QTest::addColumn<int>("tab");
    QTest::addColumn<int>("page");
    QTest::addColumn<QString>("frame");
    QTest::addColumn<bool>("readyAfter");
    QTest::addColumn<bool>("byAction");  // the tab's accessible press action instead of a click
    for (bool byAction : {false, true}) {
        const char* how = byAction ? " (press action)" : " (click)";
        QTest::newRow(qPrintable(QString("EDID") + how)) << ctl::TabEdid << int(Page::Edid) << "A5 5B 01 0C 01 00 00 00 00 00 00 00 F2" << false << byAction;
        QTest::newRow(qPrintable(QString("Matrix") + how)) << ctl::TabMatrix << int(Page::Matrix) << "A5 5B 02 01 01 00 00 00 00 00 00 00 FC" << false << byAction;
        QTest::newRow(qPrintable(QString("Upgrade") + how)) << ctl::TabUpgrade << int(Page::Upgrade) << "A5 5B 01 01 00 00 00 00 00 00 CC 00 32" << true << byAction;
        QTest::newRow(qPrintable(QString("General") + how)) << ctl::TabGeneral << int(Page::General) << "A5 5B 08 0C 00 00 00 00 00 00 00 00 EC" << false << byAction;
    }
}

void TestMainWindow::enteringAPageSendsItsFirstCommand()
{
    QFETCH(int, tab);
    QFETCH(int, page);
    QFETCH(QString, frame);
    QFETCH(bool, readyAfter);
    QFETCH(bool, byAction);
    PanelFixture p;
    QAccessibleInterface* a = QAccessible::queryAccessibleInterface(p.window->control(tab));
    QVERIFY(a && a->role() == QAccessible::PageTab && a->actionInterface());
    QCOMPARE(a->text(QAccessible::Name), p.window->controlAs<QLabel>(tab)->text());
    QCOMPARE(a->state().selected, page == int(Page::General));
    if (byAction) {
        a->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
        QCOMPARE(int(p.window->currentPage()), int(Page::General));  // queued, as a button's press is
        QCoreApplication::sendPostedEvents();
    } else
        p.window->pressAt(centreOf(p.window->control(tab)));
    QCOMPARE(int(p.window->currentPage()), page);
    QVERIFY(a->state().selected);
    QCOMPARE(p.sentHex(), QStringList{frame});
    QCOMPARE(p.window->ready(), readyAfter);
}

void TestMainWindow::pageEntryTimesOutAfterSevenSeconds_data()
{
    QTest::addColumn<int>("tab");
    QTest::newRow("EDID") << ctl::TabEdid;
    QTest::newRow("Matrix") << ctl::TabMatrix;
    QTest::newRow("General") << ctl::TabGeneral;
}

void TestMainWindow::pageEntryTimesOutAfterSevenSeconds()
{
    QFETCH(int, tab);
    PanelFixture p;
    p.window->pressAt(centreOf(p.window->control(tab)));
    p.clock.advance(limits::ChainQuery.firstMs - 1);
    QVERIFY(p.modal->records().isEmpty());
    p.clock.advance(1);
    QCOMPARE(p.messageTexts(), QStringList{text::TimeOut});
    QVERIFY(p.window->ready());
    QCOMPARE(p.sent.size(), std::size_t(1));  // the entry query is not resent
}

void TestMainWindow::tabClicksRefusedWhileBusy()
{
    PanelFixture p;
    p.window->pressAt(centreOf(p.window->control(ctl::TabMatrix)));
    QCOMPARE(p.window->currentPage(), Page::Matrix);
    p.window->pressAt(centreOf(p.window->control(ctl::TabEdid)));
    QCOMPARE(p.window->currentPage(), Page::Matrix);
    QAccessible::queryAccessibleInterface(p.window->control(ctl::TabUpgrade))
        ->actionInterface()
        ->doAction(QAccessibleActionInterface::pressAction());
    QCoreApplication::sendPostedEvents();
    QCOMPARE(p.window->currentPage(), Page::Matrix);
    QCOMPARE(p.sent.size(), std::size_t(1));
    QVERIFY(!p.window->pageWindow(Page::Edid));

    // After the answer (or a timeout) the tabs work again.
    p.clock.advance(limits::ChainQuery.firstMs);
    p.window->pressAt(centreOf(p.window->control(ctl::TabEdid)));
    QCOMPARE(p.window->currentPage(), Page::Edid);
}

void TestMainWindow::enteringWithTheLinkClosedShowsThePageAnyway()
{
    PanelFixture p(false);
    p.window->pressAt(centreOf(p.window->control(ctl::TabMatrix)));
    QCOMPARE(p.window->currentPage(), Page::Matrix);
    QCOMPARE(p.messageTexts(), QStringList{text::OpenComFailed});
    QVERIFY(p.sent.empty());
    QVERIFY(p.window->ready());
    p.clock.advance(20000);  // nothing was sent, nothing times out
    QCOMPARE(p.messageTexts(), QStringList{text::OpenComFailed});
}

void TestMainWindow::strayRouteAcknowledgementSendsNothing_data()
{
    QTest::addColumn<int>("tab");
    QTest::addColumn<bool>("settled");  // the page's entry reads answered first
    for (bool settled : {true, false}) {
        const char* when = settled ? ", idle" : ", while its entry read runs";
        QTest::newRow(qPrintable(QString("General") + when)) << ctl::TabGeneral << settled;
        QTest::newRow(qPrintable(QString("EDID") + when)) << ctl::TabEdid << settled;
        QTest::newRow(qPrintable(QString("Matrix") + when)) << ctl::TabMatrix << settled;
        QTest::newRow(qPrintable(QString("Upgrade") + when)) << ctl::TabUpgrade << settled;
    }
}

void TestMainWindow::strayRouteAcknowledgementSendsNothing()
{
    // A route acknowledgement nobody asked for (as a relay injected it, or as
    // one arrives after its own "Time out!") once made the panel route
    // outputs B to H, set every EDID and send the beeper marker by itself.
    QFETCH(int, tab);
    QFETCH(bool, settled);
    PanelFixture p;
    SimLink sw;
    p.window->setLink(LinkMode::Com, &sw);
    p.window->pressAt(centreOf(p.window->control(tab)));
    if (settled) {
        SimLink::settle();
        QVERIFY(p.window->session().idle());
    }
    const std::size_t written = sw.written.size();
    const sim::SwitchModel before = sw.model();
    emit sw.received(QByteArray::fromHex("A55B02030000010000000000FA"));
    if (!settled)
        QCOMPARE(sw.written.size(), written);  // nothing in answer to it
    SimLink::settle();
    p.clock.advance(20000);
    SimLink::settle();
    // Only the page's own reads went out: no route, no EDID, no beeper.
    for (const auto& w : sw.written) {
        const CommandFrame f = CommandFrame::fromBytes(w.data());
        for (CommandId id : {cmd::RouteSet, cmd::EdidSetAll, cmd::BeepSet, cmd::ArcSet})
            QVERIFY(commandIdOf(f) != id);
    }
    if (settled)
        QCOMPARE(sw.written.size(), written);
    QCOMPARE(sw.model().route, before.route);
    QCOMPARE(sw.model().edidCode, before.edidCode);
    QVERIFY(p.messageTexts().isEmpty());
    QVERIFY(p.window->ready());
    QCOMPARE(int(p.window->session().counters().unsolicited), 1);
}

void TestMainWindow::pagesAreCreatedOnceAndPlaced()
{
    PanelFixture p;
    p.capture.open = false;  // no commands, so the tabs stay free
    QWidget* first[3] = {};
    const int tabs[3] = {ctl::TabEdid, ctl::TabMatrix, ctl::TabUpgrade};
    const Page pages[3] = {Page::Edid, Page::Matrix, Page::Upgrade};
    const QPoint origins[3] = {{1, 56}, {1, 56}, {1, 70}};
    for (int round = 0; round < 2; ++round) {
        for (int i = 0; i < 3; ++i) {
            p.window->pressAt(centreOf(p.window->control(tabs[i])));
            QWidget* w = p.window->pageWindow(pages[i]);
            QVERIFY(w);
            if (round == 0)
                first[i] = w;
            QCOMPARE(w, first[i]);
            QVERIFY(!w->isWindow());
            QCOMPARE(w->parentWidget(), p.window.get());
            QCOMPARE(w->pos(), origins[i]);
            QVERIFY(w->isVisibleTo(p.window.get()));
            for (int j = 0; j < 3; ++j)
                if (j != i && p.window->pageWindow(pages[j]))
                    QVERIFY(!p.window->pageWindow(pages[j])->isVisibleTo(p.window.get()));
        }
    }
    QCOMPARE(p.window->findChildren<CMatrixDlg*>().size(), 1);
}

void TestMainWindow::generalControlsHiddenOnOtherPages()
{
    PanelFixture p(false);
    QWidget* status = p.window->control(ctl::Status);
    QVERIFY(status->isVisibleTo(p.window.get()));
    p.window->pressAt(centreOf(p.window->control(ctl::TabUpgrade)));
    QVERIFY(!status->isVisibleTo(p.window.get()));
    QVERIFY(!p.window->control(ctl::StatusInput1)->isVisibleTo(p.window.get()));
    p.window->pressAt(centreOf(p.window->control(ctl::TabGeneral)));
    QVERIFY(status->isVisibleTo(p.window.get()));
}

void TestMainWindow::headerBandTabsAndButtons()
{
    PanelFixture p(false);
    p.window->show();
    const QImage image = p.window->grab().toImage();
    const QColor blue(30, 144, 225);
    // Inside the band, away from text and buttons: between the last tab and "Names...".
    const int gap = (p.window->control(ctl::TabUpgrade)->geometry().right() + p.window->control(ctl::Names)->geometry().left()) / 2;
    QVERIFY(gap > p.window->control(ctl::TabUpgrade)->geometry().right());
    QCOMPARE(image.pixelColor(gap, 40), blue);
    QCOMPARE(image.pixelColor(300, 20), blue);
    QVERIFY(image.pixelColor(400, 70) != blue);  // below the band: button face

    // The current tab dark on grey, the others white on blue.
    auto tabColours = [&](Page page) {
        const QPalette pal = p.window->tabLabel(page)->palette();
        return qMakePair(pal.color(QPalette::WindowText), pal.color(QPalette::Window));
    };
    QCOMPARE(tabColours(Page::General).first, QColor(Qt::black));
    QVERIFY(tabColours(Page::General).second != blue);
    QCOMPARE(tabColours(Page::Matrix), qMakePair(QColor(Qt::white), blue));
    p.window->pressAt(centreOf(p.window->control(ctl::TabMatrix)));
    QCOMPARE(tabColours(Page::Matrix).first, QColor(Qt::black));
    QCOMPARE(tabColours(Page::General), qMakePair(QColor(Qt::white), blue));

    // Tabs sit side by side, 1 pixel apart, bottoms on the band's lower edge.
    const QRect g = p.window->control(ctl::TabGeneral)->geometry();
    const QRect e = p.window->control(ctl::TabEdid)->geometry();
    QCOMPARE(g.left(), 1);
    QCOMPARE(e.left(), g.left() + g.width() + 1);
    QCOMPARE(g.top() + g.height(), CTalvaneDlg::kHeaderHeight);
    // Close and Minimize in the top-right corner.
    QCOMPARE(p.window->control(ctl::Close)->geometry(), QRect(p.window->width() - 26, 1, 25, 25));
    QCOMPARE(p.window->control(ctl::Minimize)->geometry(), QRect(p.window->width() - 51, 1, 25, 25));
    QCOMPARE(p.window->windowTitle(), QStringLiteral("8x8 Talvane Controller Ver1.03"));
    QVERIFY(p.window->windowFlags() & Qt::FramelessWindowHint);
}

void TestMainWindow::pressOutsideTabsDragsTheWindow()
{
    PanelFixture p(false);
    QSignalSpy drag(p.window.get(), &CTalvaneDlg::systemMoveRequested);
    p.window->pressAt(QPoint(400, 20));
    QCOMPARE(drag.count(), 1);
    p.window->pressAt(centreOf(p.window->control(ctl::TabEdid)));
    QCOMPARE(drag.count(), 1);
    QCOMPARE(p.window->currentPage(), Page::Edid);
    // A real press on the band goes the same way.
    QTest::mousePress(p.window.get(), Qt::LeftButton, {}, QPoint(300, 10));
    QCOMPARE(drag.count(), 2);
}

void TestMainWindow::aboutEntryOnTheHeaderMenu()
{
    PanelFixture p(false);
    std::unique_ptr<QMenu> menu(p.window->createSystemMenu(nullptr));
    QAction* about = nullptr;
    for (QAction* a : menu->actions())
        if (a->text() == QStringLiteral("关于 Talvane(&A)..."))
            about = a;
    QVERIFY(about);
    QString title, text;
    p.modal->queue([&](QDialog& box) {
        title = box.windowTitle();
        for (QLabel* l : box.findChildren<QLabel*>())
            text += l->text();
        box.accept();
    });
    about->trigger();
    QCOMPARE(title, QStringLiteral("关于 Talvane"));
    QCOMPARE(text, QStringLiteral("Talvane，1.03 版"));  // the version of the caption: one version
}

void TestMainWindow::enterEscapeAndSpaceDoNothing()
{
    PanelFixture p(false);
    p.window->show();
    QVERIFY(QTest::qWaitForWindowExposed(p.window.get()));
    auto* status = p.window->controlAs<QPushButton>(ctl::Status);
    QSignalSpy clicked(status, &QPushButton::clicked);
    status->setFocus();
    for (Qt::Key k : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Escape, Qt::Key_Space}) {
        QTest::keyClick(status, k);
        QTest::keyClick(p.window.get(), k);
    }
    QCOMPARE(clicked.count(), 0);
    QVERIFY(p.window->isVisible());
    QVERIFY(p.modal->records().isEmpty());
}

void TestMainWindow::pagesKeepTheirOwnKeysAndPresses_data()
{
    QTest::addColumn<int>("tab");
    QTest::addColumn<int>("spaceClicks");  // the Upgrade page lets Space press a button
    QTest::newRow("EDID") << ctl::TabEdid << 0;
    QTest::newRow("Matrix") << ctl::TabMatrix << 0;
    QTest::newRow("Upgrade") << ctl::TabUpgrade << 1;
}

void TestMainWindow::pagesKeepTheirOwnKeysAndPresses()
{
    QFETCH(int, tab);
    QFETCH(int, spaceClicks);
    PanelFixture p(false);
    p.window->show();
    QVERIFY(QTest::qWaitForWindowExposed(p.window.get()));
    p.window->pressAt(centreOf(p.window->control(tab)));
    QWidget* page = p.window->pageWindow(p.window->currentPage());
    QVERIFY(page && page->isVisible());

    auto* button = new QPushButton(QStringLiteral("probe"), page);
    button->show();
    QSignalSpy clicked(button, &QPushButton::clicked);
    button->setFocus();
    for (Qt::Key k : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Escape})
        QTest::keyClick(button, k);
    QCOMPARE(clicked.count(), 0);
    QTest::keyClick(button, Qt::Key_Space);
    QCOMPARE(clicked.count(), spaceClicks);

    // A press on the page's own surface neither drags the window nor changes the page.
    QSignalSpy drag(p.window.get(), &CTalvaneDlg::systemMoveRequested);
    QTest::mousePress(page, Qt::LeftButton, {}, QPoint(page->width() - 5, page->height() - 5));
    QCOMPARE(drag.count(), 0);
    QCOMPARE(p.window->pageWindow(p.window->currentPage()), page);
}

void TestMainWindow::headerButtonsHaveNamesAndIcons_data()
{
    QTest::addColumn<int>("id");
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("pressed");
    QTest::addColumn<int>("picture");  // the resource the button shows
    QTest::newRow("Close at rest") << ctl::Close << "Close" << false << res::IconCloseOut;
    QTest::newRow("Close pressed") << ctl::Close << "Close" << true << res::IconCloseIn;
    QTest::newRow("Minimize at rest") << ctl::Minimize << "Minimize" << false << res::IconMinimizeOut;
    QTest::newRow("Minimize pressed") << ctl::Minimize << "Minimize" << true << res::IconMinimizeIn;
}

// Each button is named and shows its own picture on the header's blue: at
// rest the light one, pressed the one on a dark square, one pixel down and right.
void TestMainWindow::headerButtonsHaveNamesAndIcons()
{
    QFETCH(int, id);
    QFETCH(QString, name);
    QFETCH(bool, pressed);
    QFETCH(int, picture);
    PanelFixture p(false);
    auto* button = p.window->controlAs<CImageButton>(id);
    QVERIFY(button);
    QCOMPARE(button->accessibleName(), name);
    QCOMPARE(button->toolTip(), name);
    button->setDown(pressed);

    const QSize size = res::naturalSize(picture);
    QVERIFY(!size.isEmpty() && !res::icon(picture).isNull());
    QImage expected(button->size(), QImage::Format_ARGB32);
    expected.fill(CTalvaneDlg::kBlue);
    {
        QPainter painter(&expected);
        const int shift = pressed ? 1 : 0;
        painter.drawPixmap((button->width() - size.width()) / 2 + shift, (button->height() - size.height()) / 2 + shift,
                           res::icon(picture).pixmap(size));
    }
    const QImage shown = button->grab().toImage().convertToFormat(QImage::Format_ARGB32);
    QCOMPARE(shown.size(), expected.size());
    QVERIFY2(shown == expected, "the button shows another picture");
}

QTEST_MAIN(TestMainWindow)
#include "test_mainwindow.moc"
