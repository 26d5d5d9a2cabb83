// The image button: icons in and out with hover, hover rules, focus and frame
// drawing of the flat and raised looks, double click, accessible names.
#include "controls/imagebutton.h"
#include "resources/resources.h"

#include <QAccessible>
#include <QApplication>
#include <QEnterEvent>
#include <QHash>
#include <QMouseEvent>
#include <QSignalSpy>
#include <QTest>

#include <functional>

using namespace talvane;
using Shown = CImageButton::IconShown;

namespace {

const QColor kBlue(30, 144, 225);
const QColor kRed(200, 0, 0);
const QColor kGreen(0, 160, 0);
const QPoint kInside(5, 5);
const QPoint kOutside(-5, 40);

template <class E>
void send(QWidget* w, E&& event)
{
    QApplication::sendEvent(w, &event);
}

void moveTo(QWidget* w, QPoint pos, Qt::MouseButtons buttons = Qt::NoButton)
{
    send(w, QMouseEvent(QEvent::MouseMove, pos, w->mapToGlobal(pos), Qt::NoButton, buttons, Qt::NoModifier));
}

}  // namespace

class TestImageButton : public QObject {
    Q_OBJECT

private:
    QWidget* host_ = nullptr;
    CImageButton* button_ = nullptr;
    QPushButton* other_ = nullptr;

private slots:
    void init()
    {
        host_ = new QWidget;
        host_->resize(200, 100);
        button_ = new CImageButton(host_);
        button_->setGeometry(10, 10, 33, 28);
        other_ = new QPushButton(QStringLiteral("other"), host_);
        other_->setGeometry(100, 10, 60, 28);
        host_->show();
        QApplication::setActiveWindow(host_);
    }
    void cleanup() { delete host_; }

    // Each row runs pointer, focus and window events over a button and names
    // the icon shown after each: I (icon in) or O (icon out).
    void hover_data()
    {
        QTest::addColumn<bool>("flat");
        QTest::addColumn<bool>("inOnly");
        QTest::addColumn<QString>("steps");
        QTest::newRow("hover and press") << true << false
            << "rest:O enter:I move:I leave:O press:I releaseAway:O move:I moveAway:O";
        QTest::newRow("focus out ends hover") << true << false << "focus:O move:I unfocus:O";
        QTest::newRow("deactivation ends hover") << true << false << "unfocus:O move:I deactivate:O";
        QTest::newRow("disabling ends hover") << true << false << "unfocus:O move:I disable:O";
        QTest::newRow("hiding ends hover") << true << false << "unfocus:O move:I hide:O";
        QTest::newRow("left button held") << true << false << "moveHeld:O move:I moveHeld:I";
        QTest::newRow("raised tracks no hover") << false << false << "enter:O move:O press:I release:O";
        QTest::newRow("flat, only icon in") << true << true << "rest:I move:I press:I release:I leave:I";
        QTest::newRow("raised, only icon in") << false << true << "rest:I move:I press:I release:I";
    }
    void hover()
    {
        QFETCH(bool, flat);
        QFETCH(bool, inOnly);
        QFETCH(QString, steps);
        button_->setFlat(flat);
        button_->setDrawBorder(false);
        QVERIFY(button_->setIcons(inOnly ? res::IconNext : res::IconCloseIn, inOnly ? 0 : res::IconCloseOut));
        const QHash<QString, std::function<void()>> act = {
            {"rest", [] {}},
            {"enter", [&] { send(button_, QEnterEvent(kInside, kInside, button_->mapToGlobal(kInside))); }},
            {"move", [&] { moveTo(button_, kInside); }},
            {"moveHeld", [&] { moveTo(button_, kInside, Qt::LeftButton); }},
            {"moveAway", [&] { moveTo(button_, kOutside); }},  // the mouse is grabbed
            {"leave", [&] { send(button_, QEvent(QEvent::Leave)); }},
            {"press", [&] { QTest::mousePress(button_, Qt::LeftButton, {}, kInside); }},
            {"release", [&] { QTest::mouseRelease(button_, Qt::LeftButton, {}, kInside); }},
            {"releaseAway", [&] { QTest::mouseRelease(button_, Qt::LeftButton, {}, kOutside); }},
            {"focus", [&] { button_->setFocus(); }},
            {"unfocus", [&] { other_->setFocus(); }},
            {"deactivate", [&] {
                 QApplication::setActiveWindow(nullptr);
                 send(button_, QEvent(QEvent::ActivationChange));
             }},
            {"disable", [&] { button_->setEnabled(false); }},
            {"hide", [&] { button_->hide(); }},
        };
        for (const QString& step : steps.split(' ')) {
            const QString name = step.section(':', 0, 0);
            QVERIFY2(act.contains(name), qPrintable(step));
            act[name]();
            const Shown want = step.endsWith(":I") ? Shown::In : Shown::Out;
            QVERIFY2(button_->currentIcon() == want, qPrintable(step));
        }
    }

    void iconsThatCannotBeSizedAreRefused()
    {
        QVERIFY(button_->setIcons(res::IconCloseIn, res::IconCloseOut));
        QVERIFY(!button_->setIcons(QIcon(), res::icon(res::IconCloseOut)));
        QCOMPARE(button_->currentIcon(), Shown::None);  // all icons dropped
        QVERIFY(!button_->setIcons(999));
    }

    // What reaches the screen for each look and state (space-separated flags;
    // colours out blue, focus green, in red): the corner pixel shows the black
    // frame, an edge or the background; the focus rectangle's dotted line runs
    // 3 pixels in along the top edge.
    void paint_data()
    {
        const QColor light = QApplication::palette().color(QPalette::Light);
        QTest::addColumn<QString>("state");
        QTest::addColumn<QColor>("corner");
        QTest::addColumn<bool>("focusRect");
        QTest::newRow("raised focused") << "focused" << QColor(Qt::black) << true;
        QTest::newRow("raised") << "" << light << false;
        QTest::newRow("flat") << "flat" << kBlue << false;
        QTest::newRow("flat focused") << "flat focused" << kGreen << false;
        QTest::newRow("flat focused, draw flat focus") << "flat flatFocus focused" << kGreen << true;
        QTest::newRow("flat unfocused, draw flat focus") << "flat flatFocus" << kBlue << false;
        QTest::newRow("flat focused, hovered") << "flat focused hovered" << kRed << false;
        QTest::newRow("flat hovered, with border") << "flat border hovered" << light << false;
    }
    void paint()
    {
        QFETCH(QString, state);
        QFETCH(QColor, corner);
        QFETCH(bool, focusRect);
        const QStringList flags = state.split(' ');
        button_->setFlat(flags.contains("flat"));
        button_->setDrawBorder(flags.contains("border"));
        button_->setDrawFlatFocus(flags.contains("flatFocus"));
        button_->setColor(CImageButton::BackgroundOut, kBlue);
        button_->setColor(CImageButton::BackgroundFocus, kGreen);
        button_->setColor(CImageButton::BackgroundIn, kRed);
        button_->setIcons(res::IconNext);
        (flags.contains("focused") ? button_ : static_cast<QWidget*>(other_))->setFocus();
        if (flags.contains("hovered"))
            moveTo(button_, kInside);
        const QImage img = button_->grab().toImage();
        QCOMPARE(img.pixelColor(0, 0), corner);
        int dotted = 0;
        for (int x = 4; x < 14; ++x)
            dotted += img.pixelColor(x, 3) != img.pixelColor(x, 5) ? 1 : 0;
        QCOMPARE(dotted > 0, focusRect);
    }

    void doubleClickIsOneMoreClick()
    {
        QSignalSpy clicks(button_, &QAbstractButton::clicked);
        QTest::mouseClick(button_, Qt::LeftButton, {}, kInside);
        QTest::mouseDClick(button_, Qt::LeftButton, {}, kInside);
        QTest::mouseRelease(button_, Qt::LeftButton, {}, kInside);
        QCOMPARE(clicks.count(), 2);
        QVERIFY2(button_->hasFocus(), "a click gives the button the keyboard focus");
    }

    void accessibleNames_data()
    {
        QTest::addColumn<QString>("caption");
        QTest::addColumn<QString>("tooltip");
        QTest::addColumn<QString>("label");
        QTest::addColumn<int>("iconId");
        QTest::addColumn<QString>("expected");
        QTest::newRow("tooltip names an icon button") << "" << "Close" << "" << res::IconCloseOut << "Close";
        QTest::newRow("label wins") << "" << "Close" << "Next input B" << res::IconNext << "Next input B";
        QTest::newRow("label alone") << "" << "" << "Previous C" << res::IconPrevious << "Previous C";
        QTest::newRow("icon meaning as last resort") << "" << "" << "" << res::IconNext << "Next";
        QTest::newRow("caption names itself") << "IN4" << "tip" << "" << 0 << "IN4";
    }
    void accessibleNames()
    {
        QFETCH(QString, caption);
        QFETCH(QString, tooltip);
        QFETCH(QString, label);
        QFETCH(int, iconId);
        QFETCH(QString, expected);
        button_->setText(caption);
        if (iconId)
            button_->setIcons(iconId);
        if (!tooltip.isEmpty())
            button_->setTooltipText(tooltip);
        if (!label.isEmpty())
            button_->setAccessibleLabel(label);
        QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(button_);
        QCOMPARE(iface ? iface->text(QAccessible::Name) : QString(), expected);
    }
};

QTEST_MAIN(TestImageButton)
#include "test_imagebutton.moc"
