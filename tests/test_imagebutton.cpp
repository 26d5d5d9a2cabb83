// The image button: icons in and out with hover, hover rules, focus and frame
// drawing of the flat and raised looks, double click, accessible names.
#include "controls/imagebutton.h"
#include "resources/resources.h"

#include <QAccessible>
#include <QApplication>
#include <QEnterEvent>
#include <QMouseEvent>
#include <QSignalSpy>
#include <QTest>

using namespace talvane;
using Shown = CImageButton::IconShown;

Q_DECLARE_METATYPE(talvane::CImageButton::IconShown)

namespace {

const QColor kBlue(30, 144, 225);
const QColor kRed(200, 0, 0);
const QColor kGreen(0, 160, 0);

void moveTo(QWidget* w, QPoint pos, Qt::MouseButtons buttons = Qt::NoButton)
{
    QMouseEvent e(QEvent::MouseMove, pos, w->mapToGlobal(pos), Qt::NoButton, buttons, Qt::NoModifier);
    QApplication::sendEvent(w, &e);
}

void enter(QWidget* w, QPoint pos)
{
    QEnterEvent e(pos, pos, w->mapToGlobal(pos));
    QApplication::sendEvent(w, &e);
}

void leave(QWidget* w)
{
    QEvent e(QEvent::Leave);
    QApplication::sendEvent(w, &e);
}

}  // namespace

class TestImageButton : public QObject {
    Q_OBJECT

private:
    QWidget* host_ = nullptr;
    CImageButton* button_ = nullptr;
    QPushButton* other_ = nullptr;

    CImageButton* makeCloseButton()
    {
        button_->setDrawBorder(false);
        button_->setIcons(res::IconCloseIn, res::IconCloseOut);
        button_->setTooltipText(QStringLiteral("Close"));
        return button_;
    }
    QImage image() { return button_->grab().toImage(); }

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
    void cleanup()
    {
        delete host_;
        host_ = nullptr;
    }

    void iconFollowsHoverAndPress()
    {
        makeCloseButton();
        const QPoint inside(5, 5);
        QCOMPARE(button_->currentIcon(), Shown::Out);
        QVERIFY(!button_->isMouseOver());

        enter(button_, inside);
        QVERIFY(button_->isMouseOver());
        QCOMPARE(button_->currentIcon(), Shown::In);
        moveTo(button_, inside + QPoint(3, 3));
        QVERIFY2(button_->isMouseOver(), "a second move over the button must keep the hover");

        leave(button_);
        QCOMPARE(button_->currentIcon(), Shown::Out);

        // Pressed shows icon in, even with the pointer known elsewhere.
        QTest::mousePress(button_, Qt::LeftButton, {}, inside);
        QCOMPARE(button_->currentIcon(), Shown::In);
        QTest::mouseRelease(button_, Qt::LeftButton, {}, QPoint(200, 200));
        QCOMPARE(button_->currentIcon(), Shown::Out);

        // A move that leaves the rectangle (mouse grabbed) ends the hover too.
        moveTo(button_, inside);
        QVERIFY(button_->isMouseOver());
        moveTo(button_, QPoint(-5, 40));
        QVERIFY(!button_->isMouseOver());
    }

    void hoverEnds_data()
    {
        QTest::addColumn<int>("how");
        QTest::newRow("leave") << 0;
        QTest::newRow("focus out") << 1;
        QTest::newRow("window deactivated") << 2;
        QTest::newRow("disabled") << 3;
        QTest::newRow("hidden") << 4;
    }
    void hoverEnds()
    {
        QFETCH(int, how);
        makeCloseButton();
        button_->setFocus();
        moveTo(button_, QPoint(5, 5));
        QVERIFY(button_->isMouseOver());
        switch (how) {
        case 0: leave(button_); break;
        case 1: {
            QFocusEvent out(QEvent::FocusOut, Qt::TabFocusReason);
            QApplication::sendEvent(button_, &out);
            break;
        }
        case 2: {
            QApplication::setActiveWindow(nullptr);
            QEvent change(QEvent::ActivationChange);
            QApplication::sendEvent(button_, &change);
            break;
        }
        case 3: button_->setEnabled(false); break;
        case 4: button_->hide(); break;
        }
        QVERIFY(!button_->isMouseOver());
        QCOMPARE(button_->currentIcon(), Shown::Out);
    }

    void hoverNotStartedWithLeftButtonHeld()
    {
        makeCloseButton();
        moveTo(button_, QPoint(5, 5), Qt::LeftButton);
        QVERIFY(!button_->isMouseOver());
        QCOMPARE(button_->currentIcon(), Shown::Out);
        moveTo(button_, QPoint(6, 6));
        QVERIFY(button_->isMouseOver());
        // Once lit, holding the button down keeps it lit.
        moveTo(button_, QPoint(7, 7), Qt::LeftButton);
        QVERIFY(button_->isMouseOver());
    }

    void onlyIconIn_data()
    {
        QTest::addColumn<bool>("flat");
        QTest::newRow("flat") << true;
        QTest::newRow("raised") << false;
    }
    void onlyIconIn()
    {
        QFETCH(bool, flat);
        button_->setFlat(flat);
        QVERIFY(button_->setIcons(res::IconNext));
        QCOMPARE(button_->iconInSize(), res::naturalSize(res::IconNext));
        QCOMPARE(button_->currentIcon(), Shown::In);
        moveTo(button_, QPoint(5, 5));
        QCOMPARE(button_->isMouseOver(), flat);  // raised buttons track no hover
        QCOMPARE(button_->currentIcon(), Shown::In);
        QTest::mousePress(button_, Qt::LeftButton, {}, QPoint(5, 5));
        QCOMPARE(button_->currentIcon(), Shown::In);
        QTest::mouseRelease(button_, Qt::LeftButton, {}, QPoint(5, 5));
        leave(button_);
        QCOMPARE(button_->currentIcon(), Shown::In);
    }

    void iconsThatCannotBeSizedAreRefused()
    {
        QVERIFY(button_->setIcons(res::IconCloseIn, res::IconCloseOut));
        QVERIFY(!button_->setIcons(QIcon(), res::icon(res::IconCloseOut)));
        QCOMPARE(button_->currentIcon(), Shown::None);  // all icons dropped
        QVERIFY(!button_->setIcons(999));
        QCOMPARE(button_->currentIcon(), Shown::None);
        QVERIFY(button_->setIcons(res::icon(res::IconPrevious)));
        QCOMPARE(button_->currentIcon(), Shown::In);
    }

    void frameAndFocus_data()
    {
        QTest::addColumn<bool>("flat");
        QTest::addColumn<bool>("flatFocus");
        QTest::addColumn<bool>("focused");
        QTest::addColumn<bool>("frame");
        QTest::addColumn<bool>("focusRect");
        QTest::newRow("raised focused") << false << false << true << true << true;
        QTest::newRow("raised unfocused") << false << false << false << false << false;
        QTest::newRow("flat focused") << true << false << true << false << false;
        QTest::newRow("flat focused, draw flat focus") << true << true << true << false << true;
        QTest::newRow("flat unfocused, draw flat focus") << true << true << false << false << false;
    }
    void frameAndFocus()
    {
        QFETCH(bool, flat);
        QFETCH(bool, flatFocus);
        QFETCH(bool, focused);
        QFETCH(bool, frame);
        QFETCH(bool, focusRect);
        button_->setFlat(flat);
        button_->setDrawFlatFocus(flatFocus);
        button_->setDrawBorder(false);
        button_->setColor(CImageButton::BackgroundOut, kBlue);
        button_->setColor(CImageButton::BackgroundFocus, kBlue);
        button_->setIcons(res::IconNext);
        (focused ? button_ : static_cast<QWidget*>(other_))->setFocus();
        QCOMPARE(button_->hasFocus(), focused);

        const CImageButton::Look look = button_->look();
        QCOMPARE(look.outerFrame, frame);
        QCOMPARE(look.focusRect, focusRect);
        QCOMPARE(look.edge, flat ? CImageButton::Edge::None : CImageButton::Edge::Raised);

        // And what reaches the screen: the frame's corner pixel, and the focus
        // rectangle's dotted line 3 pixels in along the top edge.
        const QImage img = image();
        const QColor corner = img.pixelColor(0, 0);
        if (frame)
            QCOMPARE(corner, QColor(Qt::black));
        else if (flat)
            QCOMPARE(corner, kBlue);
        else
            QCOMPARE(corner, button_->palette().color(QPalette::Light));
        int dotted = 0;
        for (int x = 4; x < 14; ++x)
            dotted += img.pixelColor(x, 3) != kBlue && img.pixelColor(x, 3) != img.pixelColor(x, 5) ? 1 : 0;
        QCOMPARE(dotted > 0, focusRect);
    }

    void backgroundColours()
    {
        makeCloseButton();
        button_->setColor(CImageButton::BackgroundOut, kBlue);
        button_->setColor(CImageButton::BackgroundIn, kRed);
        button_->setColor(CImageButton::BackgroundFocus, kGreen);
        other_->setFocus();
        QCOMPARE(image().pixelColor(1, 1), kBlue);
        button_->setFocus();
        QCOMPARE(image().pixelColor(1, 1), kGreen);
        moveTo(button_, QPoint(5, 5));
        QCOMPARE(image().pixelColor(1, 1), kRed);
        QCOMPARE(button_->look().edge, CImageButton::Edge::None);  // no border drawn
        button_->setDrawBorder(true);
        QCOMPARE(button_->look().edge, CImageButton::Edge::ThinRaised);
    }

    void doubleClickIsOneMoreClick()
    {
        makeCloseButton();
        QSignalSpy clicks(button_, &QAbstractButton::clicked);
        QTest::mouseClick(button_, Qt::LeftButton, {}, QPoint(5, 5));
        QTest::mouseDClick(button_, Qt::LeftButton, {}, QPoint(5, 5));
        QTest::mouseRelease(button_, Qt::LeftButton, {}, QPoint(5, 5));
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
        QTest::newRow("tooltip names an icon button")
            << QString() << "Close" << QString() << res::IconCloseOut << "Close";
        QTest::newRow("caller's name wins")
            << QString() << "Close" << "Next input B" << res::IconNext << "Next input B";
        QTest::newRow("step button without tooltip")
            << QString() << QString() << "Previous input C" << res::IconPrevious << "Previous input C";
        QTest::newRow("icon meaning as last resort")
            << QString() << QString() << QString() << res::IconNext << "Next";
        QTest::newRow("caption names itself") << "IN4" << "tip" << QString() << 0 << "IN4";
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
        QVERIFY(iface);
        QCOMPARE(iface->text(QAccessible::Name), expected);
        QCOMPARE(iface->role(), QAccessible::Button);
    }
};

QTEST_MAIN(TestImageButton)
#include "test_imagebutton.moc"
