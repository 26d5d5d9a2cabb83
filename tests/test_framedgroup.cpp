// The group box that repaints from its picture looks as a plain group box
// does, and draws itself again when what it shows changes.
#include "controls/framedgroup.h"

#include <QApplication>
#include <QGroupBox>
#include <QImage>
#include <QTest>

#include <functional>

using namespace talvane;

namespace {

// Pixels whose colour differs by more than `tolerance` in some channel: the
// picture is blended over the page afterwards, so an antialiased edge may
// come out one step off.
int differingPixels(const QImage& a, const QImage& b, int tolerance)
{
    if (a.size() != b.size())
        return a.width() * a.height() + 1;
    int count = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x) {
            const QColor p = a.pixelColor(x, y), q = b.pixelColor(x, y);
            if (std::abs(p.red() - q.red()) > tolerance || std::abs(p.green() - q.green()) > tolerance
                || std::abs(p.blue() - q.blue()) > tolerance || std::abs(p.alpha() - q.alpha()) > tolerance)
                ++count;
        }
    return count;
}

QImage shown(QWidget& w) { return w.grab().toImage().convertToFormat(QImage::Format_ARGB32); }

using Change = std::function<void(QGroupBox&)>;

}  // namespace

Q_DECLARE_METATYPE(Change)

class TestFramedGroup : public QObject {
    Q_OBJECT
private slots:
    void looksAsAPlainGroupBox_data()
    {
        QTest::addColumn<Change>("change");
        QTest::newRow("as made") << Change([](QGroupBox&) {});
        QTest::newRow("a new title") << Change([](QGroupBox& g) { g.setTitle(QStringLiteral("Projector (hall)")); });
        QTest::newRow("disabled") << Change([](QGroupBox& g) { g.setEnabled(false); });
        QTest::newRow("resized") << Change([](QGroupBox& g) { g.resize(90, 200); });
        QTest::newRow("another font") << Change([](QGroupBox& g) {
            QFont f = g.font();
            f.setPointSizeF(f.pointSizeF() * 1.5);
            g.setFont(f);
        });
    }
    void looksAsAPlainGroupBox()
    {
        QFETCH(Change, change);
        QWidget page;
        page.resize(400, 300);
        QGroupBox plain(QStringLiteral("OUTPUT A"), &page);
        FramedGroup framed(QStringLiteral("OUTPUT A"), &page);
        for (QGroupBox* g : {&plain, static_cast<QGroupBox*>(&framed)})
            g->setGeometry(10, 10, 140, 240);
        page.show();
        const QImage before = shown(framed);
        QCOMPARE(differingPixels(shown(plain), before, 1), 0);

        // Drawn once already: what changes must not show the old picture.
        change(plain);
        change(framed);
        QCOMPARE(differingPixels(shown(plain), shown(framed), 1), 0);
    }
};

QTEST_MAIN(TestFramedGroup)
#include "test_framedgroup.moc"
