// The confirmation box and the busy popup: one box at a time with the text
// following the callers, question layout, keys, window-manager close, the dot
// animation on the manual clock, result and close, nested loops, ownership,
// accessibility and what the boxes paint.
#include "controls/dialogbase.h"
#include "controls/imagebutton.h"
#include "core/clock.h"
#include "core/timerhost.h"
#include "dialogs/messagedlg.h"
#include "dialogs/modal.h"
#include "dialogs/popups.h"
#include "dialogs/statusdlg.h"
#include "support/scriptedmodal.h"

#include <QAccessible>
#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <functional>
#include <memory>

using namespace talvane;
using Kind = ScriptedModal::Kind;

namespace {

CMessageDlg& asMessage(QDialog& d) { return *qobject_cast<CMessageDlg*>(&d); }
CStatusDlg& asBusy(QDialog& d) { return *qobject_cast<CStatusDlg*>(&d); }
QWidget* ctl(QDialog& d, int id) { return ScriptedModal::control(d, id); }
QString accessibleName(QObject* o)
{
    QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(o);
    return iface ? iface->text(QAccessible::Name) : QString();
}

// Runs a callable when a posted event reaches it: stands in for a reply or
// a posted send being handled while a box is open.
class Poster : public QObject {
public:
    explicit Poster(std::function<void()> f)
        : f_(std::move(f))
    {
    }
    static void post(std::function<void()> f)
    {
        auto* p = new Poster(std::move(f));
        QCoreApplication::postEvent(p, new QEvent(QEvent::User));
    }

protected:
    bool event(QEvent* e) override
    {
        if (e->type() != QEvent::User)
            return QObject::event(e);
        f_();
        deleteLater();
        return true;
    }

private:
    std::function<void()> f_;
};

bool isDark(const QColor& c) { return c.red() < 110 && c.green() < 110 && c.blue() < 110; }

bool near(const QColor& a, const QColor& b, int tolerance = 2)
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
        Popups::instance().setOwner(owner_.get());
        Popups::instance().setNoLongerRemind(false);
        driver_ = std::make_unique<ScriptedModal>(clock_);
    }
    void cleanup()
    {
        Popups& p = Popups::instance();
        QCOMPARE(driver_->openCount(), 0);
        QVERIFY(!p.messageShown());
        QVERIFY(!p.busyShown());
        QVERIFY(!p.questionMode());
        QVERIFY(!p.openMessageBox());
        QVERIFY(!p.openBusyPopup());
        driver_.reset();
        owner_.reset();
    }

    // --- Confirmation box ---------------------------------------------------

    void boxEnds_data()
    {
        QTest::addColumn<bool>("question");
        QTest::addColumn<int>("how");  // 0 Ok, 1 Cancel, 2 close button, 3 window-manager close
        QTest::addColumn<int>("result");
        QTest::newRow("Ok") << false << 0 << int(Popups::Ok);
        QTest::newRow("question Ok") << true << 0 << int(Popups::Ok);
        QTest::newRow("question Cancel") << true << 1 << int(Popups::Cancel);
        QTest::newRow("close button") << false << 2 << int(Popups::Cancel);
        QTest::newRow("question close button") << true << 2 << int(Popups::Cancel);
        QTest::newRow("Alt+F4") << false << 3 << int(Popups::Cancel);
        QTest::newRow("question Alt+F4") << true << 3 << int(Popups::Cancel);
    }
    void boxEnds()
    {
        QFETCH(bool, question);
        QFETCH(int, how);
        QFETCH(int, result);
        bool shownWhileOpen = false;
        driver_->queue([&](QDialog& d) {
            shownWhileOpen = Popups::instance().messageShown();
            switch (how) {
            case 0: qobject_cast<QPushButton*>(ctl(d, CMessageDlg::kOkId))->click(); break;
            case 1: qobject_cast<QPushButton*>(ctl(d, CMessageDlg::kCancelId))->click(); break;
            case 2: QTest::mouseClick(ctl(d, CMessageDlg::kCloseId), Qt::LeftButton); break;
            case 3: d.close(); break;
            }
        });
        const QString text = question ? text::AskFactoryReset : text::AskPowerOff;
        QCOMPARE(Popups::instance().ask(text, question), result);
        QVERIFY(shownWhileOpen);
        QCOMPARE(driver_->records().size(), 1);
        const ScriptedModal::Record& r = driver_->records().first();
        QCOMPARE(r.result, result);
        QVERIFY(!r.forced);
        QCOMPARE(r.question, question);
        // The flag is clear, so the next message opens a box again.
        Popups::instance().showMessage(text::TimeOut);
        QCOMPARE(driver_->count(Kind::Message), 2);
    }

    void showMessageWhileOpen_data()
    {
        QTest::addColumn<QString>("first");
        QTest::addColumn<bool>("question");
        QTest::addColumn<QString>("second");
        QTest::newRow("time out replaces the reset question")
            << text::AskFactoryReset << true << text::TimeOut;
        QTest::newRow("time out replaces open COM failed")
            << text::OpenComFailed << false << text::TimeOut;
    }
    void showMessageWhileOpen()
    {
        QFETCH(QString, first);
        QFETCH(bool, question);
        QFETCH(QString, second);
        int askedWhileOpen = -1;
        driver_->queue([&](QDialog& d) {
            CMessageDlg& box = asMessage(d);
            QCOMPARE(accessibleName(&box), first);
            Popups::instance().showMessage(second);  // returns at once
            askedWhileOpen = Popups::instance().ask(text::AskPowerOff, false);
            Popups::instance().showMessage(second);
            QCOMPARE(driver_->records().size(), 1);
            QCOMPARE(box.text(), second);
            QCOMPARE(accessibleName(&box), second);
            QCOMPARE(box.windowTitle(), second);
            // The open box keeps the buttons of its mode.
            QCOMPARE(ctl(d, CMessageDlg::kCancelId)->isVisibleTo(&box), question);
            QCOMPARE(ctl(d, CMessageDlg::kOkId)->x(), dluX(question ? 94 : 137));
            qobject_cast<QPushButton*>(ctl(d, CMessageDlg::kOkId))->click();
        });
        const int result = Popups::instance().ask(first, question);
        QCOMPARE(result, int(Popups::Ok));
        QCOMPARE(askedWhileOpen, int(Popups::Cancel));
        QCOMPARE(driver_->records().size(), 1);
        QCOMPARE(driver_->records()[0].textAtOpen, first);
        QCOMPARE(driver_->records()[0].textAtClose, second);
        QCOMPARE(Popups::instance().messageText(), second);
    }

    void questionLayout_data()
    {
        QTest::addColumn<bool>("question");
        QTest::newRow("information") << false;
        QTest::newRow("question") << true;
    }
    void questionLayout()
    {
        QFETCH(bool, question);
        driver_->queue([&](QDialog& d) {
            QWidget* ok = ctl(d, CMessageDlg::kOkId);
            QWidget* cancel = ctl(d, CMessageDlg::kCancelId);
            auto* remind = qobject_cast<QCheckBox*>(ctl(d, CMessageDlg::kNoLongerRemindId));
            QCOMPARE(ok->pos(), QPoint(dluX(question ? 94 : 137), dluY(60)));
            QCOMPARE(ok->size(), dluSize(41, 11));
            QCOMPARE(cancel->isVisibleTo(&d), question);
            QCOMPARE(remind->isVisibleTo(&d), question);
            if (question) {
                QCOMPARE(cancel->pos(), QPoint(dluX(137), dluY(60)));
                // Reachable: inside the box and clear of both buttons.
                QVERIFY(d.rect().contains(remind->geometry()));
                QVERIFY(!remind->geometry().intersects(ok->geometry()));
                QVERIFY(!remind->geometry().intersects(cancel->geometry()));
                QTest::mouseClick(remind, Qt::LeftButton, {}, QPoint(6, remind->height() / 2));
                QVERIFY(remind->isChecked());
                QVERIFY(Popups::instance().noLongerRemind());
                QTest::mouseClick(remind, Qt::LeftButton, {}, QPoint(6, remind->height() / 2));
                QVERIFY(!Popups::instance().noLongerRemind());
                QTest::mouseClick(remind, Qt::LeftButton, {}, QPoint(6, remind->height() / 2));
            }
            qobject_cast<QPushButton*>(question ? cancel : ok)->click();
        });
        const int result = Popups::instance().ask(text::AskFactoryReset, question);
        QCOMPARE(result, int(question ? Popups::Cancel : Popups::Ok));
        // The flag outlives the box that set it.
        QCOMPARE(Popups::instance().noLongerRemind(), question);
    }

    void pictureStaysForOneOpening()
    {
        const QPoint templatePos(dluX(26), dluY(29));
        driver_->queue([&](QDialog& d) {
            QWidget* picture = ctl(d, CMessageDlg::kPictureId);
            QCOMPARE(picture->pos(), QPoint(9, 60));
            QCOMPARE(picture->size(), QSize(36, 36));
            Popups::instance().showMessage(text::TimeOut);
            QCOMPARE(picture->pos(), QPoint(9, 60));
            QCOMPARE(asMessage(d).textRect(), QRect(QPoint(100, 60), QPoint(219, 99)));
            d.close();
        });
        QCOMPARE(Popups::instance().ask(text::AskPowerOff, false), int(Popups::Cancel));
        driver_->queue([&](QDialog& d) {
            QCOMPARE(ctl(d, CMessageDlg::kPictureId)->pos(), templatePos);
            d.accept();
        });
        Popups::instance().showMessage(text::TimeOut);
        QCOMPARE(driver_->count(Kind::Message), 2);
    }

    void keysDoNothing_data()
    {
        QTest::addColumn<bool>("busy");
        QTest::addColumn<int>("key");
        QTest::newRow("box Enter") << false << int(Qt::Key_Return);
        QTest::newRow("box keypad Enter") << false << int(Qt::Key_Enter);
        QTest::newRow("box Escape") << false << int(Qt::Key_Escape);
        QTest::newRow("box Space") << false << int(Qt::Key_Space);
        QTest::newRow("busy Enter") << true << int(Qt::Key_Return);
        QTest::newRow("busy Escape") << true << int(Qt::Key_Escape);
    }
    void keysDoNothing()
    {
        QFETCH(bool, busy);
        QFETCH(int, key);
        bool stillOpen = false;
        driver_->queue([&](QDialog& d) {
            QWidget* target = busy ? static_cast<QWidget*>(&d) : ctl(d, CMessageDlg::kOkId);
            target->setFocus();
            QTest::keyClick(target, Qt::Key(key));
            QTest::keyClick(&d, Qt::Key(key));
            stillOpen = d.isVisible()
                        && (busy ? Popups::instance().busyShown() : Popups::instance().messageShown());
            if (busy)
                Popups::instance().closeBusy();
            else
                d.close();
        });
        if (busy)
            Popups::instance().showBusy(text::Setting);
        else
            Popups::instance().showMessage(text::TimeOut);
        QVERIFY(stillOpen);
        QCOMPARE(driver_->records()[0].result, int(busy ? Popups::Ok : Popups::Cancel));
        QVERIFY(!driver_->records()[0].forced);
    }

    void ownedAndCentred()
    {
        QPointer<QDialog> first;
        driver_->queue([&](QDialog& d) {
            first = &d;
            QCOMPARE(d.parentWidget(), owner_.get());
            QVERIFY(d.isWindow());
            QVERIFY(d.windowFlags() & Qt::FramelessWindowHint);
            QVERIFY(qAbs(d.geometry().center().x() - owner_->geometry().center().x()) <= 1);
            QVERIFY(qAbs(d.geometry().center().y() - owner_->geometry().center().y()) <= 1);
            d.accept();
        });
        Popups::instance().showMessage(text::TimeOut);
        QVERIFY2(first.isNull(), "the box's window is destroyed when it closes");
    }

    // --- Busy popup ---------------------------------------------------------

    void dotsCycleAndResult()
    {
        driver_->queue([&](QDialog& d) {
            CStatusDlg& popup = asBusy(d);
            QLabel* label = qobject_cast<QLabel*>(ctl(d, CStatusDlg::kTextId));
            QCOMPARE(label, qobject_cast<QLabel*>(ctl(d, CStatusDlg::kTextId)));
            QVERIFY(!popup.resultShown());
            const QStringList cycle = {"Setting . . .", "Setting .", "Setting . .", "Setting . . .",
                                       "Setting ."};
            for (int i = 0; i < cycle.size(); ++i) {
                if (i)
                    clock_.advance(CStatusDlg::kDotStepMs);
                QCOMPARE(popup.shownText(), cycle[i]);
                QCOMPARE(label->text(), cycle[i]);
            }
            QCOMPARE(accessibleName(&popup), text::Setting);
            QCOMPARE(accessibleName(label), text::Setting);

            // A new text shows at the next step, not before.
            Popups::instance().setBusyText(text::Rebooting);
            clock_.advance(CStatusDlg::kDotStepMs - 1);
            QCOMPARE(popup.shownText(), QStringLiteral("Setting ."));
            clock_.advance(1);
            QCOMPARE(popup.shownText(), QStringLiteral("Rebooting . ."));
            QCOMPARE(accessibleName(&popup), text::Rebooting);

            Popups::instance().setBusyText(text::RebootSuccessfully);
            Popups::instance().busyResult();
            QVERIFY(popup.resultShown());
            QVERIFY(!popup.animating());
            QCOMPARE(popup.shownText(), text::RebootSuccessfully);
            QCOMPARE(accessibleName(label), text::RebootSuccessfully);
            // Another Show busy while the result shows changes the process
            // text only; the popup keeps its result.
            Popups::instance().showBusy(text::Setting);
            clock_.advance(1000);
            QCOMPARE(popup.shownText(), text::RebootSuccessfully);
            QCOMPARE(driver_->records().size(), 1);
            Popups::instance().closeBusy();
        });
        Popups::instance().showBusy(text::Setting);
        QCOMPARE(driver_->records()[0].shownAtClose, text::RebootSuccessfully);
        QCOMPARE(driver_->records()[0].result, int(Popups::Ok));
        QCOMPARE(Popups::instance().busyText(), text::Setting);

        // Every opening starts hidden and animating again.
        driver_->queue([&](QDialog& d) {
            QVERIFY(!asBusy(d).resultShown());
            QVERIFY(asBusy(d).animating());
            QCOMPARE(asBusy(d).shownText(), QStringLiteral("Configuring . . ."));
            Popups::instance().closeBusy();
        });
        Popups::instance().showBusy(text::Configuring);
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
        if (how == 1) {
            Poster::post([] { Popups::instance().closeBusy(); });
        } else {
            driver_->queue([&](QDialog& d) {
                if (how == 0)
                    Popups::instance().closeBusy();
                else
                    d.close();
            });
        }
        Popups::instance().showBusy(text::GettingStatus);
        QCOMPARE(driver_->count(Kind::Busy), 1);
        QVERIFY(!driver_->records()[0].forced);
        QCOMPARE(driver_->records()[0].result, int(Popups::Ok));
        QCOMPARE(driver_->records()[0].shownAtClose, QStringLiteral("Getting status . . ."));
        QCOMPARE(clock_.nowMs(), start);  // closed before its first dot step
        // And the popup opens again afterwards.
        Poster::post([] { Popups::instance().closeBusy(); });
        Popups::instance().showBusy(text::Setting);
        QCOMPARE(driver_->count(Kind::Busy), 2);
    }

    void closeBusyWithNothingOpen()
    {
        Popups::instance().setBusyText(text::SetSuccessfully);
        Popups::instance().busyResult();  // nothing open: no effect
        Popups::instance().closeBusy();
        QVERIFY(!Popups::instance().busyShown());
        QCOMPARE(driver_->records().size(), 0);
    }

    // A command's life as the pages run it: a result timer shows the result,
    // a second one closes the popup; or the timeout closes it and shows
    // "Time out!" from inside the busy popup's loop.
    void timersRunWhileOpen_data()
    {
        QTest::addColumn<bool>("timeout");
        QTest::newRow("result then close") << false;
        QTest::newRow("timeout") << true;
    }
    void timersRunWhileOpen()
    {
        QFETCH(bool, timeout);
        constexpr int kResult = 7049, kClose = 7050, kTimeout = 7048;
        const qint64 start = clock_.nowMs();
        qint64 closedAt = -1;
        bool messageShownDuringBusy = false;
        TimerHost page([&](int id) {
            Popups& p = Popups::instance();
            if (id == kResult) {
                page.stop(kResult);
                p.setBusyText(text::RebootSuccessfully);
                p.busyResult();
                page.arm(kClose, 1000);
            } else if (id == kClose) {
                page.stop(kClose);
                p.closeBusy();
                closedAt = clock_.nowMs();
            } else if (id == kTimeout) {
                page.stop(kTimeout);
                p.closeBusy();
                messageShownDuringBusy = p.openBusyPopup() != nullptr;
                p.showMessage(text::TimeOut);
                closedAt = clock_.nowMs();
            }
        });
        page.arm(timeout ? kTimeout : kResult, timeout ? 3000 : 500);
        Popups::instance().showBusy(text::Rebooting);

        const auto& recs = driver_->records();
        if (!timeout) {
            QCOMPARE(recs.size(), 1);
            QCOMPARE(closedAt - start, qint64(1500));
            QCOMPARE(recs[0].shownAtClose, text::RebootSuccessfully);
        } else {
            QCOMPARE(recs.size(), 2);
            QCOMPARE(recs[0].kind, Kind::Busy);
            QCOMPARE(recs[1].kind, Kind::Message);
            QCOMPARE(recs[1].textAtOpen, text::TimeOut);
            QVERIFY(messageShownDuringBusy);  // the box opened inside the busy popup's loop
            QCOMPARE(closedAt - start, qint64(3000));
        }
        QVERIFY(!recs[0].forced);
    }

    void driverEndsABoxLeftOpen()
    {
        driver_->queue([](QDialog&) {});
        Popups::instance().showMessage(text::TimeOut);
        driver_->queue([](QDialog&) {});
        Popups::instance().showBusy(text::Setting);
        QCOMPARE(driver_->records().size(), 2);
        QVERIFY(driver_->records()[0].forced);
        QVERIFY(driver_->records()[1].forced);
    }

    // The production path: exec() runs a nested event loop in which posted
    // events, real timers and the popup's own timers keep being handled.
    void nestedLoopInProduction()
    {
        driver_.reset();  // no driver: QDialog::exec()
        QStringList seen;
        QTimer watchdog;
        watchdog.setSingleShot(true);
        connect(&watchdog, &QTimer::timeout, [&] {
            seen << "watchdog";
            Popups::instance().closeBusy();
            if (auto* box = Popups::instance().openMessageBox())
                box->done(Popups::Cancel);
        });
        watchdog.start(20000);

        QTimer::singleShot(0, [&] {
            seen << QStringLiteral("timer while busy %1").arg(Popups::instance().busyShown());
        });
        Poster::post([&] {
            CStatusDlg* popup = Popups::instance().openBusyPopup();
            seen << QStringLiteral("posted while busy %1").arg(popup && popup->isVisible());
            clock_.advance(CStatusDlg::kDotStepMs);
            seen << popup->shownText();
            Poster::post([&] {
                // A message box nested inside the busy popup's loop.
                Poster::post([&] {
                    seen << QStringLiteral("box open %1").arg(Popups::instance().messageShown());
                    qobject_cast<QPushButton*>(
                        Popups::instance().openMessageBox()->control(CMessageDlg::kOkId))
                        ->click();
                });
                Popups::instance().showMessage(text::TimeOut);
                Popups::instance().closeBusy();
            });
        });
        Popups::instance().showBusy(text::Setting);
        watchdog.stop();
        QVERIFY2(!seen.contains("watchdog"), qPrintable(seen.join('|')));
        QVERIFY2(seen.contains("timer while busy 1"), qPrintable(seen.join('|')));
        QVERIFY2(seen.contains("posted while busy 1"), qPrintable(seen.join('|')));
        QVERIFY2(seen.contains("Setting ."), qPrintable(seen.join('|')));
        QVERIFY2(seen.contains("box open 1"), qPrintable(seen.join('|')));
        driver_ = std::make_unique<ScriptedModal>(clock_);
    }

    // --- What the boxes paint -----------------------------------------------

    void messageBoxPaint_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QRect>("rect");
        QTest::addColumn<bool>("question");
        QTest::newRow("time out") << text::TimeOut << QRect(QPoint(100, 60), QPoint(219, 99)) << false;
        QTest::newRow("connect failed")
            << text::ConnectFailed << QRect(QPoint(100, 60), QPoint(254, 99)) << false;
        QTest::newRow("power off") << text::AskPowerOff << QRect(QPoint(50, 60), QPoint(319, 99)) << false;
        QTest::newRow("factory reset")
            << text::AskFactoryReset << QRect(QPoint(50, 60), QPoint(319, 99)) << true;
    }
    void messageBoxPaint()
    {
        QFETCH(QString, text);
        QFETCH(QRect, rect);
        QFETCH(bool, question);
        driver_->queue([&](QDialog& d) {
            const QImage img = d.grab().toImage();
            const QByteArray dir = qgetenv("TALVANE_SCREENSHOT_DIR");
            if (!dir.isEmpty())
                img.save(QString::fromLocal8Bit(dir) + "/messagebox-" + QTest::currentDataTag() + ".png");
            const int w = img.width();
            const int h = img.height();
            QCOMPARE(img.pixelColor(5, 5), QColor(30, 144, 225));         // title band
            QCOMPARE(img.pixelColor(w / 2, 0), QColor(30, 120, 255));     // its outline
            QCOMPARE(img.pixelColor(w / 2, 40), QColor(255, 255, 255));   // background
            const QColor face = QApplication::palette().color(QPalette::Button);
            QCOMPARE(img.pixelColor(3, h - 3),
                     QColor((face.red() + 5) % 256, (face.green() + 10) % 256, face.blue()));
            // Translucent grey frame blended on white.
            QVERIFY(near(img.pixelColor(0, h / 2), QColor(180, 180, 180), 3));
            // Text pixels inside its rectangle and none outside it on its rows.
            int inside = 0, outside = 0;
            for (int y = 55; y < 105; ++y)
                for (int x = 0; x < w; ++x)
                    if (isDark(img.pixelColor(x, y)))
                        (rect.contains(x, y) ? inside : outside)++;
            QVERIFY(inside > 20);
            QCOMPARE(outside, 0);
            d.accept();
        });
        Popups::instance().ask(text, question);
    }

    void busyPopupPaint()
    {
        driver_->queue([&](QDialog& d) {
            Popups::instance().setBusyText(text::InitializingSuccessfully);
            Popups::instance().busyResult();
            const QImage img = d.grab().toImage();
            const QByteArray dir = qgetenv("TALVANE_SCREENSHOT_DIR");
            if (!dir.isEmpty())
                img.save(QString::fromLocal8Bit(dir) + "/busy-result.png");
            QVERIFY(near(img.pixelColor(img.width() / 2, 0), QColor(123, 190, 237), 3));
            QCOMPARE(img.pixelColor(img.width() / 2, 5), QColor(255, 255, 255));
            const QWidget* pic = ctl(d, CStatusDlg::kResultPictureId);
            QCOMPARE(pic->size(), QSize(31, 31));
            const QColor centreLeft = img.pixelColor(pic->x() + 3, pic->y() + 15);
            QVERIFY(centreLeft.green() > 120 && centreLeft.red() < 100);  // the green disc
            // The whole result text fits: its label is not cut short.
            const auto* label = qobject_cast<const QLabel*>(ctl(d, CStatusDlg::kTextId));
            QVERIFY(label->fontMetrics().horizontalAdvance(label->text()) <= label->width());
            Popups::instance().closeBusy();
        });
        Popups::instance().showBusy(text::Initializing);
    }
};

QTEST_MAIN(TestPopups)
#include "test_popups.moc"
