// What the pages not yet moved onto operations still use: the command buffer,
// the ready flag that allows one outstanding command, the send routine (over
// the session), the dispatch of unsolicited replies to the current page, and
// the main window's timer table (resend once, then "Time out!").
#pragma once

#include <QObject>

#include <array>
#include <functional>
#include <map>

#include "core/link.h"
#include "core/timerhost.h"
#include "engine/session.h"
#include "pages/ids.h"
#include "pages/presenter.h"
#include "protocol/frame.h"

namespace talvane {

class Popups;

class ReplyHandler {
public:
    virtual ~ReplyHandler() = default;
    // A 13-byte frame with a valid checksum that arrived while this page was current.
    virtual void handleReply(const CommandFrame& frame) = 0;
};

class RequestEngine {
public:
    static constexpr int kEdidBufferSize = 257;  // byte 0 stays 0; the first 256 go out

    // Posted send requests are handled in `mainWindow`'s event loop. Frames
    // go out and come back through `session`. Timers run on `clock` (the app
    // clock when null).
    RequestEngine(QObject* mainWindow, Session& session, Presenter& presenter, Clock* clock = nullptr);
    ~RequestEngine();

    // --- process-wide buffers and flags -----------------------------------
    CommandFrame& commandBuffer() { return command_; }
    DataFrame& dataFrame() { return data_; }
    std::array<std::uint8_t, kEdidBufferSize>& edidBuffer() { return edid_; }

    // The ready flag: 1 while no operation holds the switch.
    int ready() const { return presenter_.busy() ? 0 : 1; }
    bool isReady() const { return !presenter_.busy(); }
    void setReady() { presenter_.release(); }
    void clearReady() { presenter_.runner().hold(); }
    // Takes the ready flag when the link is open and no command is outstanding.
    // With the link closed it shows "Open COM failed!" (COM mode) or "Connect to
    // Matrix failed!" and returns false once the box is closed.
    bool acquire();

    LinkMode linkMode() const { return linkMode_; }
    void setLinkMode(LinkMode m);
    bool serialOpen() const { return serialOpen_; }
    void setSerialOpen(bool open) { serialOpen_ = open; }
    bool tcpConnected() const { return tcpConnected_; }
    void setTcpConnected(bool c) { tcpConnected_ = c; }
    bool linkOpen() const { return linkMode_ == LinkMode::Com ? serialOpen_ : tcpConnected_; }

    // The link of each mode: the serial port (COM mode) and the control
    // connection (TCP mode). The session works on the current mode's. Not
    // owned; nullptr: none.
    void setLink(LinkMode mode, Link* link);
    Link* link(LinkMode mode) const { return mode == LinkMode::Com ? comLink_ : tcpLink_; }
    Session& session() { return session_; }

    // --- sending ----------------------------------------------------------
    // The send routine: checksum for 13 and 1029 bytes, the link of the
    // current mode, the Send-log echo.
    void send(std::uint8_t* bytes, std::size_t length);
    // Clears positions 2..12 of the command buffer, loads `command` into it
    // and sends it directly.
    void sendCommand(const CommandFrame& command);
    void resendCommandBuffer();
    // Loads `command` into the command buffer without sending.
    void loadCommand(const CommandFrame& command);
    // Posts the send message with an action code to the main window.
    void postSend(int actionCode);
    // Handler of the send message; returns 1 for every code.
    qintptr onSendMessage(int actionCode);

    // --- receiving --------------------------------------------------------
    // A valid reply that no exchange of the session waited for: the current
    // page's handler.
    void dispatch(const CommandFrame& frame);
    void setCurrentPage(Page page) { page_ = page; }
    Page currentPage() const { return page_; }
    void setReplyHandler(Page page, ReplyHandler* handler);

    // --- main-window timers -----------------------------------------------
    TimerHost& timers() { return timers_; }
    void onTimer(int id);
    // Timer 1 (refresh the COM port list).
    void setPortListRefresh(std::function<void()> refresh) { portListRefresh_ = std::move(refresh); }
    // The end of an unanswered command: close the busy popup, "Time out!", then ready
    // once the box is closed.
    void reportTimeout(bool closeBusy = true);

    Popups& popups() { return popups_; }

private:
    // The first timer of the command pair `id` belongs to (it resends; its
    // partner times out), or 0 when `id` is no pair timer.
    int pairStart(int id) const;
    void showResult(const QString& text);

    QObject* mainWindow_;
    Session& session_;
    Presenter& presenter_;
    Popups& popups_;
    TimerHost timers_;
    CommandFrame command_;
    DataFrame data_;
    std::array<std::uint8_t, kEdidBufferSize> edid_{};
    LinkMode linkMode_ = LinkMode::Com;
    bool serialOpen_ = false;
    bool tcpConnected_ = false;
    Page page_ = Page::General;
    std::map<Page, ReplyHandler*> handlers_;
    Link* comLink_ = nullptr;
    Link* tcpLink_ = nullptr;
    std::function<void()> portListRefresh_;
};

}  // namespace talvane
