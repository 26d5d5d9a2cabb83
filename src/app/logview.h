// The Send and Receive logs (edit controls 1043 and 1042, beyond the window's
// right edge): the hexadecimal echo of every frame the session writes and
// every frame it cuts from what it receives, and of the search's datagrams.
// Each log empties itself after every 60th frame or datagram, and before it
// would hold more than kLogMaxChars characters. Text reaches the widgets
// once the event that brought it returns, so the line is never kept waiting
// on a text layout.
#pragma once

#include <QString>

#include "engine/session.h"

class QPlainTextEdit;

namespace talvane {

class LogView : public SessionObserver {
public:
    static constexpr int kLogEmptyEvery = 60;  // frames per log before it is emptied
    static constexpr int kLogLineBytes = 13;
    // Far more than 60 data frames take (about 190,000), so only a flood of
    // large datagrams meets it.
    static constexpr int kLogMaxChars = 256 * 1024;

    // Either log may be null: its text is then formatted and dropped.
    void setLogs(QPlainTextEdit* receiveLog, QPlainTextEdit* sendLog);
    void clear();

    void frameSent(const std::uint8_t* bytes, std::size_t length) override;
    void frameReceived(const CommandFrame& frame) override;
    // A datagram: "XX " per byte and a line break after every 13th.
    void datagramReceived(const std::uint8_t* bytes, std::size_t count);

private:
    // Text on its way to one widget.
    struct Pending {
        QPlainTextEdit* log = nullptr;
        QString text;
        int chars = 0;            // in the widget and on the way to it
        bool clearFirst = false;  // the log emptied itself since the last flush
        bool posted = false;
    };
    void append(Pending& pending, QString text, int& frameCounter);
    void post(Pending& pending);
    static void flush(Pending& pending);

    Pending receive_;
    Pending send_;
    int sendLineBytes_ = 0;
    int sentFrames_ = 0;
    int receivedFrames_ = 0;
};

}  // namespace talvane
