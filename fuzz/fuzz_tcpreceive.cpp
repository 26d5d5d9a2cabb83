// The TCP receive path: whatever the control connection delivers, in reads
// of any size, is cut into frames and handed to the current page's reply
// handler. The input is a script: a byte picks each read's length (0 ends
// the script's reads early), then that many bytes follow; the whole script
// runs once while each page is current.
#include <vector>

#include "fuzzinput.h"
#include "fuzzpanel.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::panel(talvane::LinkMode::Tcp);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace talvane;
    fuzz::Panel& p = fuzz::panel(LinkMode::Tcp);
    RequestEngine& e = p.engine();
    for (Page page : fuzz::kPages) {
        e.setCurrentPage(page);
        fuzz::Input in(data, size);
        while (!in.empty()) {
            std::size_t taken = 0;
            const std::uint8_t* read = in.slice(in.byte(), taken);
            if (taken == 0)
                break;
            emit p.link.received(QByteArray(reinterpret_cast<const char*>(read), qsizetype(taken)));
            QCoreApplication::sendPostedEvents();
        }
        p.drain();
        fuzz::check(!Popups::instance().busyShown() && !Popups::instance().messageShown());
    }
    p.settle();
    return 0;
}
