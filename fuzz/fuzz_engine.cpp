// The request engine from received bytes to every page's reply handler: the
// real main window (offscreen, on the manual clock, every box ended at once)
// gets the input byte by byte through the serial receive path once while
// each page is current, and then the clock runs until every timer the
// replies armed has run out. A page takes part as soon as it registers its
// reply handler with the engine: each page is entered once at start.
#include <QApplication>
#include <QCoreApplication>
#include <QDialog>
#include <QLabel>

#include <memory>

#include "app/generalpage.h"
#include "app/mainwindow.h"
#include "core/clock.h"
#include "dialogs/modal.h"
#include "dialogs/popups.h"
#include "fuzzinput.h"

using namespace talvane;

namespace {

constexpr Page kPages[] = {Page::General, Page::Edid, Page::Matrix, Page::Upgrade};
constexpr qint64 kDrainMs = 60000;  // longer than any timer chain a reply starts

// Ends every box at once, as its OK button would.
class EndAtOnce : public ModalDriver {
public:
    int run(QDialog& dialog) override
    {
        dialog.done(Popups::Ok);
        return Popups::Ok;
    }
};

struct Panel {
    ManualClock clock;
    EndAtOnce modal;
    std::unique_ptr<CTalvaneDlg> window;

    Panel()
    {
        setAppClock(&clock);
        setModalDriver(&modal);
        window = std::make_unique<CTalvaneDlg>();
        RequestEngine& e = engine();
        // Commands go nowhere; no serial ports are looked for. The log boxes
        // are left out: the echo is still formatted, but laying out text in a
        // Qt text box would take most of the time.
        e.setSerialWriter([](const std::uint8_t*, std::size_t) {});
        e.setLogs(nullptr, nullptr);
        window->generalPage().setEnumerator([](std::vector<SerialPortRecord>&, QString&) { return true; });
        e.timers().stop(mtimer::PortListRefresh);
        e.setSerialOpen(true);
        // Each page's first entry creates its window (and its reply handler).
        for (Page page : kPages) {
            e.setReady();
            window->pressAt(window->tabLabel(page)->geometry().center());
            QCoreApplication::sendPostedEvents();
            clock.advance(kDrainMs);
        }
        settle();
    }

    RequestEngine& engine() { return window->engine(); }

    void settle()
    {
        RequestEngine& e = engine();
        e.timers().stopAll();
        e.resetAssembler();
        e.setReady();
        Popups::instance().closeBusy();
    }
};

Panel* g_panel = nullptr;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "fuzz_engine";
    static char* argv[] = {name, nullptr};
    static QApplication app(argc, argv);
    static Panel panel;
    g_panel = &panel;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    Panel& p = *g_panel;
    RequestEngine& e = p.engine();
    for (Page page : kPages) {
        e.setCurrentPage(page);
        for (std::size_t i = 0; i < size; ++i)
            e.onByteReceived(data[i]);
        QCoreApplication::sendPostedEvents();
        p.clock.advance(kDrainMs);
        fuzz::check(!Popups::instance().busyShown() && !Popups::instance().messageShown());
    }
    p.settle();
    return 0;
}
