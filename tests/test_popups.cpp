// The confirmation box and the busy popup: one box at a time, layout, keys,
// the dot animation on the manual clock, nested loops and what the boxes paint.
#include "controls/dialogbase.h"
#include "core/clock.h"
#include "dialogs/messagedlg.h"
#include "dialogs/popups.h"
#include "dialogs/statusdlg.h"
#include "support/scriptedmodal.h"

#include <QAbstractButton>
#include <QAccessible>
#include <QApplication>
#include <QLabel>
#include <QPointer>
#include <QTest>
#include <QTimer>

#include <functional>
#include <memory>

using namespace talvane;

namespace {

Popups& popups() { return Popups::instance(); }
QWidget* ctl(QDialog& d, int id) { return ScriptedModal::control(d, id); }
void click(QDialog& d, int id) { qobject_cast<QAbstractButton*>(ctl(d, id))->click(); }

QString accessibleName(QObject* o)
{
    QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(o);
    return iface ? iface->text(QAccessible::Name) : QString();
}

// Runs `f` when posted events are next delivered: stands in for a reply or a
// posted send handled while a box is open.
void post(std::function<void()> f) { QMetaObject::invokeMethod(qApp, std::move(f), Qt::QueuedConnection); }

// A child window of the owner, centred on it.
bool ownedAndCentred(QWidget& w, QWidget* owner)
{
    const QPoint off = w.geometry().center() - owner->geometry().center();
    return w.parentWidget() == owner && w.isWindow() && qAbs(off.x()) <= 1 && qAbs(off.y()) <= 1;
}

bool isDark(const QColor& c) { return c.red() < 110 && c.green() < 110 && c.blue() < 110; }

bool near(const QColor& a, const QColor& b, int tolerance)
{
    return qAbs(a.red() - b.red()) <= tolerance && qAbs(a.green() - b.green()) <= tolerance
           && qAbs(a.blue() - b.blue()) <= tolerance;
}

}  // namespace

class TestPopups : public QObject {
    Q_OBJECT

private:
    ManualClock clock_;
    std::unique_ptr<ScriptedModal> driver_;
    std::unique_ptr<QWidget> owner_;

private slots:
    void initTestCase() { setAppClock(&clock_); }
    void cleanupTestCase() { setAppClock(nullptr); }

    void init()
    {
        owner_ = std::make_unique<QWidget>();
        owner_->setGeometry(100, 100, 700, 500);
        owner_->show();
        popups().setOwner(owner_.get());
        popups().setNoLongerRemind(false);
        driver_ = std::make_unique<ScriptedModal>(clock_);
    }
    void cleanup()
    {
        const std::unique_ptr<ScriptedModal> driver = std::move(driver_);  // uninstalled however this ends
        owner_.reset();
        QCOMPARE(driver->queued(), 0);  // every scripted box did open
        QCOMPARE(driver->openCount(), 0);
        QVERIFY(!popups().messageShown());
        QVERIFY(!popups().busyShown());
        QVERIFY(!popups().questionMode());
    }

    // --- Confirmation box ---------------------------------------------------

    // A failure shows a warning, in the box and as the busy popup's result;
    // anything else the information picture or the tick.
    void pictureOfEachText_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("failure");
        for (const QString& t : {text::TimeOut, text::OpenComFailed, text::ConnectFailed, text::BadEdidFile,
                                 text::NoValidData, text::FileTooLarge, text::BadIpAddress, text::PowerOff})
            QTest::newRow(qPrintable(t)) << t << true;
        for (const QString& t : {text::SetSuccessfully, text::RebootSuccessfully, text::ConfigureSuccessfully})
            QTest::newRow(qPrintable(t)) << t << false;
    }
    void pictureOfEachText()
    {
        QFETCH(QString, text);
        QFETCH(bool, failure);
        // Amber (warning), blue (information) or green (tick) at the picture's heart.
        auto colourAt = [](QDialog& d, const QWidget* pic) {
            const QImage img = d.grab().toImage();
            return img.pixelColor(pic->x() + pic->width() * 3 / 10, pic->y() + pic->height() * 8 / 10);
        };
        auto amber = [](const QColor& c) { return c.red() > 200 && c.green() > 130 && c.blue() < 60; };
        driver_->queue([&](QDialog& d) {
            const QWidget* pic = ctl(d, CMessageDlg::kPictureId);
            QCOMPARE(accessibleName(const_cast<QWidget*>(pic)), failure ? QStringLiteral("Warning") : QStringLiteral("Information"));
            QCOMPARE(pic->size(), QSize(36, 36));
            const QColor c = colourAt(d, pic);
            QVERIFY2(amber(c) == failure, qPrintable(c.name()));
            d.done(Popups::Ok);
        });
        popups().showMessage(text);

        driver_->queue([&](QDialog& d) {
            popups().setBusyText(text);
            popups().busyResult();
            const QWidget* pic = ctl(d, CStatusDlg::kResultPictureId);
            QVERIFY(pic->isVisibleTo(&d));
            QCOMPARE(accessibleName(const_cast<QWidget*>(pic)), failure ? QStringLiteral("Warning") : QStringLiteral("Done"));
            QCOMPARE(pic->size(), QSize(31, 31));
            const QColor c = colourAt(d, pic);
            QVERIFY2(amber(c) == failure, qPrintable(c.name()));
            popups().closeBusy();
        });
        popups().showBusy(text::Setting);
    }

    void boxEnds_data()
    {
        QTest::addColumn<bool>("question");
        QTest::addColumn<int>("how");  // the control clicked; 0: window-manager close
        QTest::addColumn<int>("result");
        QTest::newRow("Ok") << false << int(CMessageDlg::kOkId) << int(Popups::Ok);
        QTest::newRow("question Ok") << true << int(CMessageDlg::kOkId) << int(Popups::Ok);
        QTest::newRow("question Cancel") << true << int(CMessageDlg::kCancelId) << int(Popups::Cancel);
        QTest::newRow("close button") << false << int(CMessageDlg::kCloseId) << int(Popups::Cancel);
        QTest::newRow("Alt+F4") << false << 0 << int(Popups::Cancel);
    }
    void boxEnds()
    {
        QFETCH(bool, question);
        QFETCH(int, how);
        QFETCH(int, result);
        bool shownWhileOpen = false;
        QPointer<QDialog> box;
        driver_->queue([&](QDialog& d) {
            box = &d;
            shownWhileOpen = popups().messageShown();
            QVERIFY(ownedAndCentred(d, owner_.get()));
            QCOMPARE(ctl(d, CMessageDlg::kOkId)->pos(), QPoint(dluX(question ? 94 : 137), dluY(60)));
            QCOMPARE(ctl(d, CMessageDlg::kCancelId)->isVisibleTo(&d), question);
            QCOMPARE(ctl(d, CMessageDlg::kNoLongerRemindId)->isVisibleTo(&d), question);
            if (question)
                QCOMPARE(ctl(d, CMessageDlg::kCancelId)->x(), dluX(137));
            QCOMPARE(ctl(d, CMessageDlg::kPictureId)->pos(), QPoint(9, 60));  // both texts are questions
            if (how == CMessageDlg::kCloseId)
                QTest::mouseClick(ctl(d, how), Qt::LeftButton);
            else if (how)
                click(d, how);
            else
                d.close();
        });
        QCOMPARE(popups().ask(question ? text::AskFactoryReset : text::AskPowerOff, question), result);
        QVERIFY(shownWhileOpen);
        QVERIFY2(box.isNull(), "a new window for every showing");
        QCOMPARE(driver_->records()[0].result, result);
        QVERIFY(!driver_->records()[0].forced);
    }

    // "Time out!" over the reset question: no second box (a second ask answers
    // Cancel at once); the open box shows the newest text and keeps its buttons
    // and the question's picture place, which the next opening starts without.
    void showMessageWhileOpen()
    {
        int askedWhileOpen = -1;
        driver_->queue([&](QDialog& d) {
            QCOMPARE(accessibleName(&d), text::AskFactoryReset);
            QCOMPARE(ctl(d, CMessageDlg::kPictureId)->pos(), QPoint(9, 60));
            popups().showMessage(text::TimeOut);
            askedWhileOpen = popups().ask(text::AskPowerOff, false);
            popups().showMessage(text::TimeOut);
            QCOMPARE(driver_->records().size(), 1);
            QCOMPARE(accessibleName(&d), text::TimeOut);
            QCOMPARE(ctl(d, CMessageDlg::kPictureId)->pos(), QPoint(9, 60));
            QVERIFY(ctl(d, CMessageDlg::kCancelId)->isVisibleTo(&d));
            QCOMPARE(ctl(d, CMessageDlg::kOkId)->x(), dluX(94));
            click(d, CMessageDlg::kOkId);
        });
        QCOMPARE(popups().ask(text::AskFactoryReset, true), int(Popups::Ok));
        QCOMPARE(askedWhileOpen, int(Popups::Cancel));
        driver_->queue([&](QDialog& d) {
            QCOMPARE(ctl(d, CMessageDlg::kPictureId)->pos(), QPoint(dluX(26), dluY(29)));
            d.accept();
        });
        popups().showMessage(text::TimeOut);
    }

    // "No longer remind" can be seen and clicked, and its flag outlives the box.
    void noLongerRemind()
    {
        driver_->queue([&](QDialog& d) {
            QWidget* remind = ctl(d, CMessageDlg::kNoLongerRemindId);
            QVERIFY(d.rect().contains(remind->geometry()));
            for (int id : {CMessageDlg::kOkId, CMessageDlg::kCancelId})
                QVERIFY(!remind->geometry().intersects(ctl(d, id)->geometry()));
            for (bool want : {true, false, true}) {
                QTest::mouseClick(remind, Qt::LeftButton, {}, QPoint(6, remind->height() / 2));
                QCOMPARE(popups().noLongerRemind(), want);
            }
            click(d, CMessageDlg::kCancelId);
        });
        QCOMPARE(popups().ask(text::AskFactoryReset, true), int(Popups::Cancel));
        QVERIFY(popups().noLongerRemind());
    }

    void keysDoNothing_data()
    {
        QTest::addColumn<bool>("busy");
        QTest::addColumn<QList<int>>("keys");
        QTest::newRow("box") << false
                             << QList<int>{Qt::Key_Return, Qt::Key_Enter, Qt::Key_Escape, Qt::Key_Space};
        QTest::newRow("busy popup") << true << QList<int>{Qt::Key_Return, Qt::Key_Escape};
    }
    void keysDoNothing()
    {
        QFETCH(bool, busy);
        QFETCH(QList<int>, keys);
        bool stillOpen = false;
        driver_->queue([&](QDialog& d) {
            QWidget* target = busy ? static_cast<QWidget*>(&d) : ctl(d, CMessageDlg::kOkId);
            target->setFocus();
            for (int key : keys) {
                QTest::keyClick(target, Qt::Key(key));
                QTest::keyClick(&d, Qt::Key(key));
            }
            stillOpen = d.isVisible() && (busy ? popups().busyShown() : popups().messageShown());
            d.accept();
        });
        busy ? popups().showBusy(text::Setting) : popups().showMessage(text::TimeOut);
        QVERIFY(stillOpen);
    }

    // --- Busy popup ---------------------------------------------------------

    void dotsCycleAndResult()
    {
        driver_->queue([&](QDialog& d) {
            auto& popup = *qobject_cast<CStatusDlg*>(&d);
            QVERIFY(ownedAndCentred(d, owner_.get()));
            const QStringList cycle = {"Setting . . .", "Setting .", "Setting . .", "Setting . . .",
                                       "Setting ."};
            for (int i = 0; i < cycle.size(); ++i) {
                if (i)
                    clock_.advance(CStatusDlg::kDotStepMs);
                QCOMPARE(popup.shownText(), cycle[i]);
            }
            // Screen readers get the text without the dots.
            QCOMPARE(accessibleName(&popup), text::Setting);
            QCOMPARE(accessibleName(ctl(d, CStatusDlg::kTextId)), text::Setting);

            popups().setBusyText(text::Rebooting);  // shows at the next step, not before
            clock_.advance(CStatusDlg::kDotStepMs - 1);
            QCOMPARE(popup.shownText(), QStringLiteral("Setting ."));
            clock_.advance(1);
            QCOMPARE(popup.shownText(), QStringLiteral("Rebooting . ."));
            QCOMPARE(accessibleName(&popup), text::Rebooting);

            // The result: painted with the green check mark and not cut short.
            popups().setBusyText(text::InitializingSuccessfully);
            popups().busyResult();
            const QImage img = d.grab().toImage();
            QVERIFY(near(img.pixelColor(img.width() / 2, 0), QColor(123, 190, 237), 3));  // frame
            QCOMPARE(img.pixelColor(img.width() / 2, 5), QColor(255, 255, 255));
            const QWidget* pic = ctl(d, CStatusDlg::kResultPictureId);
            QCOMPARE(pic->size(), QSize(31, 31));
            const QColor centreLeft = img.pixelColor(pic->x() + 3, pic->y() + 15);
            QVERIFY(centreLeft.green() > 120 && centreLeft.red() < 100);
            const auto* label = qobject_cast<const QLabel*>(ctl(d, CStatusDlg::kTextId));
            QVERIFY(label->fontMetrics().horizontalAdvance(label->text()) <= label->width());
            // Show busy while the result shows changes the process text only.
            popups().showBusy(text::Setting);
            clock_.advance(1000);
            QCOMPARE(popup.shownText(), text::InitializingSuccessfully);
            QCOMPARE(driver_->records().size(), 1);
            popups().closeBusy();
        });
        popups().showBusy(text::Setting);
    }

    void closeBusy_data()
    {
        QTest::addColumn<int>("how");  // 0 at once, 1 by a posted event, 2 window-manager close
        QTest::newRow("right after Show busy") << 0;
        QTest::newRow("by a posted event") << 1;
        QTest::newRow("window-manager close") << 2;
    }
    void closeBusy()
    {
        QFETCH(int, how);
        const qint64 start = clock_.nowMs();
        if (how == 1)
            post([] { popups().closeBusy(); });
        else
            driver_->queue([&](QDialog& d) { how == 0 ? popups().closeBusy() : void(d.close()); });
        popups().showBusy(text::GettingStatus);
        QCOMPARE(driver_->records().size(), 1);
        QVERIFY(!driver_->records()[0].forced);
        QCOMPARE(driver_->records()[0].result, int(Popups::Ok));
        QCOMPARE(clock_.nowMs(), start);  // closed before its first dot step
    }

    void busyCallsWithNothingOpen()
    {
        popups().busyResult();
        popups().closeBusy();
        QVERIFY(driver_->records().isEmpty());
    }

    void driverEndsABoxLeftOpen()
    {
        driver_->queue([](QDialog&) {});
        popups().showMessage(text::TimeOut);
        driver_->queue([](QDialog&) {});
        popups().showBusy(text::Setting);
        QCOMPARE(driver_->records().size(), 2);
        QVERIFY(driver_->records()[0].forced && driver_->records()[1].forced);
    }

    // The production path: exec() runs a nested event loop in which posted
    // events and real timers keep being handled and a box can open.
    void nestedLoopInProduction()
    {
        driver_.reset();  // no driver: QDialog::exec()
        QStringList seen;
        QObject watchdog;  // ends the boxes should the loops stall
        QTimer::singleShot(20000, &watchdog, [&] {
            seen << "watchdog";
            popups().closeBusy();
            if (auto* box = popups().openMessageBox())
                box->done(Popups::Cancel);
        });

        QTimer::singleShot(0, [&] { seen << QString("timer while busy %1").arg(popups().busyShown()); });
        post([&] {
            CStatusDlg* popup = popups().openBusyPopup();
            seen << QStringLiteral("posted while busy %1").arg(popup && popup->isVisible());
            post([&] {  // a message box nested inside the busy popup's loop
                post([&] {
                    seen << QStringLiteral("box open %1").arg(popups().messageShown());
                    click(*popups().openMessageBox(), CMessageDlg::kOkId);
                });
                popups().showMessage(text::TimeOut);
                popups().closeBusy();
            });
        });
        popups().showBusy(text::Setting);
        driver_ = std::make_unique<ScriptedModal>(clock_);
        for (const char* want : {"timer while busy 1", "posted while busy 1", "box open 1"})
            QVERIFY2(seen.contains(want) && !seen.contains("watchdog"), qPrintable(seen.join('|')));
    }

    // --- What the box paints -------------------------------------------------

    void messageBoxPaint_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QRect>("rect");
        QTest::addColumn<bool>("question");
        QTest::newRow("time out") << text::TimeOut << QRect(100, 60, 120, 40) << false;
        QTest::newRow("connect failed") << text::ConnectFailed << QRect(100, 60, 155, 40) << false;
        QTest::newRow("power off") << text::AskPowerOff << QRect(50, 60, 270, 40) << false;
        QTest::newRow("factory reset") << text::AskFactoryReset << QRect(50, 60, 270, 40) << true;
        QTest::newRow("stop upgrade") << text::AskStopUpgrade << QRect(50, 60, 270, 40) << true;
    }
    void messageBoxPaint()
    {
        QFETCH(QString, text);
        QFETCH(QRect, rect);
        QFETCH(bool, question);
        driver_->queue([&](QDialog& d) {
            const QImage img = d.grab().toImage();
            const int w = img.width();
            const int h = img.height();
            QCOMPARE(img.pixelColor(5, 5), QColor(30, 144, 225));        // title band
            QCOMPARE(img.pixelColor(w / 2, 0), QColor(30, 120, 255));    // its outline
            QCOMPARE(img.pixelColor(w / 2, 40), QColor(255, 255, 255));  // background
            const QColor face = QApplication::palette().color(QPalette::Button);
            QCOMPARE(img.pixelColor(3, h - 3),
                     QColor((face.red() + 5) % 256, (face.green() + 10) % 256, face.blue()));
            // Translucent grey frame blended on white.
            QVERIFY(near(img.pixelColor(0, h / 2), QColor(180, 180, 180), 3));
            // Text pixels inside its rectangle and none outside it on its rows
            // (the picture aside: a warning's mark is dark).
            const QRect picture = ctl(d, CMessageDlg::kPictureId)->geometry();
            int inside = 0, outside = 0;
            for (int y = 55; y < 105; ++y)
                for (int x = 0; x < w; ++x)
                    if (isDark(img.pixelColor(x, y)) && !picture.contains(x, y))
                        (rect.contains(x, y) ? inside : outside)++;
            QVERIFY(inside > 20);
            QCOMPARE(outside, 0);
            d.accept();
        });
        popups().ask(text, question);
    }
};

QTEST_MAIN(TestPopups)
#include "test_popups.moc"
