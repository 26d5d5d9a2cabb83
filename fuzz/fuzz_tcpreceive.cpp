// The TCP receive path: whatever the control connection delivers, in reads
// of any size, is cut into frames and answers the exchange outstanding. The
// input is a script: a byte picks each read's length (0 ends the script's
// reads early), then that many bytes follow; it runs once while each page's
// entry read is under way, and once more with nothing under way, when it
// must not make the panel write anything.
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
    auto reads = [&] {
        fuzz::Input in(data, size);
        while (!in.empty()) {
            std::size_t taken = 0;
            const std::uint8_t* read = in.slice(in.byte(), taken);
            if (taken == 0)
                break;
            p.receive(read, taken);
        }
    };
    for (Page page : fuzz::kPages) {
        p.enter(page);
        reads();
        p.drain();
        fuzz::check(!Popups::instance().busyShown() && !Popups::instance().messageShown());
    }
    p.checkQuietAfter(reads);
    p.settle();
    return 0;
}
