// The one road for every command and reply: the command buffer, the ready flag
// that allows one outstanding command, the send routine with its Send-log echo,
// the frame assembler, the reply dispatcher with its Receive-log echo,
// and the main window's timer table (resend once, then "Time out!").
#pragma once

#include <QObject>

#include <array>
#include <functional>
#include <map>

#include "core/link.h"
#include "core/timerhost.h"
#include "engine/ids.h"
#include "protocol/assembler.h"
#include "protocol/frame.h"

class QPlainTextEdit;

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
    static constexpr int kLogEmptyEvery = 60;    // frames per log before it is emptied
    static constexpr int kLogLineBytes = 13;

    // `mainWindow` receives the posted send message (it forwards it to
    // onSendMessage). Timers run on `clock` (the app clock when null).
    explicit RequestEngine(QObject* mainWindow, Popups& popups, Clock* clock = nullptr);
    ~RequestEngine();

    // --- process-wide buffers and flags -----------------------------------
    CommandFrame& commandBuffer() { return command_; }
    DataFrame& dataFrame() { return data_; }
    std::array<std::uint8_t, kEdidBufferSize>& edidBuffer() { return edid_; }

    int ready() const { return ready_; }
    bool isReady() const { return ready_ == 1; }
    void setReady() { ready_ = 1; }
    void clearReady() { ready_ = 0; }
    // Takes the ready flag when the link is open and no command is outstanding.
    // With the link closed it shows "Open COM failed!" (COM mode) or "Connect to
    // Matrix failed!" and returns false once the box is closed.
    bool acquire();

    LinkMode linkMode() const { return linkMode_; }
    void setLinkMode(LinkMode m) { linkMode_ = m; }
    bool serialOpen() const { return serialOpen_; }
    void setSerialOpen(bool open) { serialOpen_ = open; }
    bool tcpConnected() const { return tcpConnected_; }
    void setTcpConnected(bool c) { tcpConnected_ = c; }
    bool linkOpen() const { return linkMode_ == LinkMode::Com ? serialOpen_ : tcpConnected_; }

    // The link the send routine writes to in each mode: the serial port (COM
    // mode) and the control connection (TCP mode). Not owned; nullptr: none.
    void setLink(LinkMode mode, Link* link) { (mode == LinkMode::Com ? comLink_ : tcpLink_) = link; }
    Link* link(LinkMode mode) const { return mode == LinkMode::Com ? comLink_ : tcpLink_; }

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
    // The serial line's bytes, one at a time.
    void onByteReceived(std::uint8_t byte);
    // The TCP receive path: the bytes of one read go to the same frame
    // assembler, so every reply in them is handled, a split one joined and
    // junk before a header skipped.
    void onBytesReceived(const std::uint8_t* bytes, std::size_t count);
    // Receive-log echo, checksum test, then the current page's handler.
    void dispatch(const CommandFrame& frame);
    void setCurrentPage(Page page) { page_ = page; }
    Page currentPage() const { return page_; }
    void setReplyHandler(Page page, ReplyHandler* handler);
    void resetAssembler() { assembler_.reset(); }

    // --- logs -------------------------------------------------------------
    void setLogs(QPlainTextEdit* receiveLog, QPlainTextEdit* sendLog);
    void clearLogs();
    // A datagram's echo in the Receive log: "XX " per byte and a line break
    // after every 13th.
    void echoDatagram(const std::uint8_t* bytes, std::size_t count);

    // --- main-window timers -----------------------------------------------
    TimerHost& timers() { return timers_; }
    void onTimer(int id);
    // The end of an unanswered command: close the busy popup, "Time out!", then ready
    // once the box is closed.
    void reportTimeout(bool closeBusy = true);

    Popups& popups() { return popups_; }

private:
    void echoSent(const std::uint8_t* bytes, std::size_t length);
    void echoReceived(const CommandFrame& frame);
    void appendLog(QPlainTextEdit* log, const QString& text, int& frameCounter);
    // The first timer of the command pair `id` belongs to (it resends; its
    // partner times out), or 0 when `id` is no pair timer.
    int pairStart(int id) const;
    void showResult(const QString& text);

    QObject* mainWindow_;
    Popups& popups_;
    TimerHost timers_;
    CommandFrame command_;
    DataFrame data_;
    std::array<std::uint8_t, kEdidBufferSize> edid_{};
    int ready_ = 1;
    LinkMode linkMode_ = LinkMode::Com;
    bool serialOpen_ = false;
    bool tcpConnected_ = false;
    Page page_ = Page::General;
    std::map<Page, ReplyHandler*> handlers_;
    FrameAssembler assembler_;
    Link* comLink_ = nullptr;
    Link* tcpLink_ = nullptr;
    QPlainTextEdit* receiveLog_ = nullptr;
    QPlainTextEdit* sendLog_ = nullptr;
    int sendLineBytes_ = 0;
    int sentFrames_ = 0;
    int receivedFrames_ = 0;
};

}  // namespace talvane
