// The request engine from received bytes to every page's reply handler: the
// real main window gets the input byte by byte through the serial receive
// path once while each page is current, and then the clock runs until every
// timer the replies armed has run out. A page takes part as soon as it
// registers its reply handler with the engine.
#include "fuzzinput.h"
#include "fuzzpanel.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::panel(talvane::LinkMode::Com);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace talvane;
    fuzz::Panel& p = fuzz::panel(LinkMode::Com);
    RequestEngine& e = p.engine();
    for (Page page : fuzz::kPages) {
        e.setCurrentPage(page);
        for (std::size_t i = 0; i < size; ++i)
            emit p.link.received(QByteArray(1, char(data[i])));
        p.drain();
        fuzz::check(!Popups::instance().busyShown() && !Popups::instance().messageShown());
    }
    p.settle();
    return 0;
}
