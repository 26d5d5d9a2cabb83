// The simulated switch as a link, in-process and without a pseudo-terminal:
// what the session writes goes straight into a simulator session, and its
// replies come back as received bytes on a later turn of the event loop, as
// a real link's would. Time runs on the app clock (a manual clock in tests),
// so the simulator's delays and reboots run with it.
#pragma once

#include <QCoreApplication>

#include <vector>

#include "core/link.h"
#include "protocol/frame.h"
#include "sim/session.h"
#include "sim/switchdevice.h"

namespace talvane {

class SimLink : public Link {
public:
    SimLink()
        : session_(device, [this](const QByteArray& bytes) {
            QMetaObject::invokeMethod(
                this, [this, bytes] { if (open) emit received(bytes); }, Qt::QueuedConnection);
        })
    {
    }

    bool isOpen() const override { return open; }
    bool writeFrame(const std::uint8_t* bytes, std::size_t length) override
    {
        if (!open)
            return false;
        written.emplace_back(bytes, bytes + length);
        session_.receive(bytes, length);
        return true;
    }
    void closeLink() override { open = false; }

    sim::SwitchModel& model() { return device.model(); }
    // Commands written so far that carry `id` (group and code).
    int count(CommandId id) const
    {
        int n = 0;
        for (const auto& w : written)
            n += w.size() == kCommandFrameSize && w[pos::Group] == id.group && w[pos::Code] == id.code ? 1 : 0;
        return n;
    }
    // Lets every reply on its way arrive (and what the handlers send then be answered).
    static void settle()
    {
        // Each call delivers what was posted before it; a reply and the
        // next query it causes take one call each, and the longest chain of
        // the panel is some 20 exchanges.
        for (int i = 0; i < 200; ++i)
            QCoreApplication::sendPostedEvents();
    }

    sim::SwitchDevice device;
    std::vector<std::vector<std::uint8_t>> written;
    bool open = true;

private:
    sim::Session session_;
};

}  // namespace talvane
