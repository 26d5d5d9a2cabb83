// The serial receive path into the whole panel: for each page, the page is
// entered (its entry read starts) and the input arrives byte by byte, then
// the clock runs until every limit has run out; then, with nothing under way,
// the same bytes arrive again and must not make the panel write anything.
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
    auto byteByByte = [&] {
        for (std::size_t i = 0; i < size; ++i)
            p.receive(data + i, 1);
    };
    for (Page page : fuzz::kPages) {
        p.enter(page);
        byteByByte();
        p.drain();
        fuzz::check(!Popups::instance().busyShown() && !Popups::instance().messageShown());
    }
    p.checkQuietAfter(byteByByte);
    p.settle();
    return 0;
}
