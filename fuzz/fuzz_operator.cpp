// The panel as an operator and a switch use it at once: each input is a
// script that interleaves received bytes, whole frames with a valid checksum,
// the clock running on, page changes and clicks on whatever the page shows.
// Rules held after every step: bytes that arrive while nothing is under way
// make the panel write nothing. Rules held after every input: once settled,
// the panel is back where it began (no timer, no operation, no object left
// over), so nothing grows from input to input.
#include <QAbstractButton>
#include <QSet>

#include "engine/session.h"
#include "fuzzinput.h"
#include "fuzzpanel.h"
#include "ops/runner.h"
#include "protocol/frame.h"

namespace {

using namespace talvane;

// Controls a script may click: the page's buttons and boxes, but not those
// that leave the panel's link or open a file chooser or the network side.
bool clickable(QAbstractButton* b)
{
    static const QSet<QString> leftOut{
        QStringLiteral("Connect"), QStringLiteral("Disconnect"), QStringLiteral("Search"),
        QStringLiteral("Config..."), QStringLiteral("Open"),    QStringLiteral("Open File"),
        QStringLiteral("Browse"),    QStringLiteral("COM"),        QStringLiteral("TCP/IP"),
        QStringLiteral("..."),
    };
    return b->isVisible() && b->isEnabled() && !leftOut.contains(b->text())
           && !leftOut.contains(b->accessibleName());
}

struct Baseline {
    int timers = -1;
    int objects = -1;
};

int objectCount(fuzz::Panel& p) { return int(p.window->findChildren<QObject*>().size()); }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::panel(LinkMode::Com);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzz::Panel& p = fuzz::panel(LinkMode::Com);
    static Baseline base;
    if (base.timers < 0) {
        p.settle();
        base.timers = p.clock.runningCount();
        base.objects = objectCount(p);
    }

    auto nothingUnderWay = [&] {
        return p.window->session().idle() && !p.window->runner().busy() && p.window->runner().backgroundCount() == 0;
    };
    // Plays the switch; with nothing under way, what it says changes nothing.
    auto receive = [&](const std::uint8_t* bytes, std::size_t n) {
        const bool quiet = nothingUnderWay();
        const std::size_t before = p.link.writes;
        p.receive(bytes, n);
        if (quiet)
            fuzz::check(p.link.writes == before);
    };

    fuzz::Input in(data, size);
    for (int step = 0; step < 64 && !in.empty(); ++step) {
        const std::uint8_t op = in.byte();
        switch (op % 5) {
        case 0: {  // a read of raw bytes
            std::size_t taken = 0;
            const std::uint8_t* bytes = in.slice(in.byte() % 32, taken);
            receive(bytes, taken);
            break;
        }
        case 1: {  // a whole frame: its header and checksum made right
            CommandFrame f;
            for (std::size_t i = pos::Header2 + 1; i < f.bytes.size(); ++i)
                f.bytes[i] = in.byte();
            f.seal();
            receive(f.bytes.data(), f.bytes.size());
            break;
        }
        case 2:  // time passes
            p.clock.advance(qint64(in.byte()) * 37);
            QCoreApplication::sendPostedEvents();
            break;
        case 3:  // another page
            p.window->pressAt(p.window->tabLabel(fuzz::kPages[in.byte() % 4])->geometry().center());
            QCoreApplication::sendPostedEvents();
            break;
        case 4: {  // a click on what the page shows
            QList<QAbstractButton*> buttons;
            for (QAbstractButton* b : p.window->findChildren<QAbstractButton*>())
                if (clickable(b))
                    buttons << b;
            if (!buttons.isEmpty())
                buttons[in.byte() % buttons.size()]->click();
            QCoreApplication::sendPostedEvents();
            break;
        }
        }
    }
    p.settle();
    fuzz::check(nothingUnderWay());
    fuzz::check(!Popups::instance().busyShown() && !Popups::instance().messageShown());
    fuzz::check(p.clock.runningCount() == base.timers);
    fuzz::check(objectCount(p) <= base.objects);
    return 0;
}
