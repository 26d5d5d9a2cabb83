// The real main window for the fuzz targets that feed it received bytes:
// offscreen, on the manual clock, every box ended at once, commands written
// to a link that counts and drops them, no serial ports looked for.
#pragma once

#include <QApplication>
#include <QCoreApplication>
#include <QDialog>
#include <QLabel>

#include <memory>

#include "app/generalpage.h"
#include "app/mainwindow.h"
#include "core/clock.h"
#include "core/link.h"
#include "dialogs/modal.h"
#include "dialogs/popups.h"
#include "fuzzinput.h"

namespace fuzz {

using namespace talvane;

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

// An open link that keeps no frame but counts what is written to it; a
// target plays the switch by making it report received bytes.
struct CountingLink : Link {
    std::size_t writes = 0;
    bool isOpen() const override { return true; }
    bool writeFrame(const std::uint8_t*, std::size_t) override
    {
        ++writes;
        return true;
    }
    void closeLink() override {}
};

struct Panel {
    ManualClock clock;
    EndAtOnce modal;
    CountingLink link;
    std::unique_ptr<CTalvaneDlg> window;

    explicit Panel(LinkMode mode)
    {
        setAppClock(&clock);
        setModalDriver(&modal);
        window = std::make_unique<CTalvaneDlg>();
        // The log boxes are left out: the echo is still formatted, but laying
        // out text in a Qt text box would take most of the time.
        window->setLink(mode, &link);
        window->setLinkMode(mode);
        window->logView().setLogs(nullptr, nullptr);
        window->generalPage().setEnumerator([](std::vector<SerialPortRecord>&, QString&) { return true; });
        window->generalPage().portWatcher().setActive(false);
        // Every page once, so each page window exists.
        for (Page page : kPages)
            enter(page);
        settle();
    }

    // Enters `page`: its entry read starts.
    void enter(Page page)
    {
        settle();
        window->pressAt(window->tabLabel(page)->geometry().center());
        QCoreApplication::sendPostedEvents();
    }

    // Back to a quiet, ready panel between inputs: nothing under way.
    void settle()
    {
        window->session().abandon();
        drain();
        window->runner().stopBackground();
        window->runner().forceRelease();
        Popups::instance().closeBusy();
        emit link.opened(true, QString());  // a fresh frame assembler
        deleteLater();
    }

    // Objects whose deletion was posted: with no event loop running they
    // would pile up in the posted-event queue from input to input.
    static void deleteLater() { QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); }

    // After an input: the clock runs until every limit the replies started
    // has run out, and no box may be left open.
    void drain()
    {
        QCoreApplication::sendPostedEvents();
        clock.advance(kDrainMs);
    }

    // Plays the switch with `bytes` as one read.
    void receive(const std::uint8_t* bytes, std::size_t n)
    {
        emit link.received(QByteArray(reinterpret_cast<const char*>(bytes), qsizetype(n)));
        QCoreApplication::sendPostedEvents();
    }

    // With nothing under way, replies answer nothing: the panel must not
    // write a single frame because of them.
    template <class Feed>
    void checkQuietAfter(Feed feed)
    {
        settle();
        const std::size_t before = link.writes;
        feed();
        drain();
        check(link.writes == before);
        check(!Popups::instance().busyShown() && !Popups::instance().messageShown());
    }
};

// Starts the application once for a target (libFuzzer's initialisation).
inline QApplication& application(const char* name)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char* argv[] = {const_cast<char*>(name), nullptr};
    static QApplication app(argc, argv);
    return app;
}

// The panel's windows live through the whole run, and with AddressSanitizer's
// default quarantine of freed memory (256 MB) its resident set climbs toward
// libFuzzer's 2 GB limit over a few million runs; a smaller quarantine keeps
// it well below. ASAN_OPTIONS still overrides this.
// (Defined here, not inline: the sanitizer runtime looks the symbol up by
// name; this header is included by one file of each target.)
extern "C" __attribute__((used)) const char* __asan_default_options() { return "quarantine_size_mb=64"; }

// The one panel of a target, made on first use (libFuzzer's initialisation).
inline Panel& panel(LinkMode mode)
{
    application("talvane-fuzz");
    static Panel p(mode);
    return p;
}

}  // namespace fuzz
