// The EDID each input presents to its source: reading it back, input by
// input, and setting it for one input or all of them to a preset, to a copy
// of the EDID of the display on an output, or to a block from a file.
#pragma once

#include <array>
#include <cstdint>

#include "ops/limits.h"
#include "ops/operation.h"
#include "protocol/replies.h"

namespace talvane {

// Reads the EDID code of inputs 1 to 8 in turn.
class EdidRead : public Operation {
    Q_OBJECT
public:
    // `purpose` times the query for input 1; the others are resent once.
    EdidRead(Session& session, Purpose purpose, QObject* parent = nullptr);

signals:
    void edidReported(int input, int code);

protected:
    void begin() override;

private:
    void query(int input);

    Purpose purpose_;
};

// Sets an EDID: Done when the switch reports it set, Refused when it finds
// no valid data in it, TimedOut when the whole exchange has not ended within
// its limit (nothing is resent). `target` is an input 1..8, or 0 for all.
class EdidSet : public Operation {
    Q_OBJECT
public:
    using Block = std::array<std::uint8_t, kRawEdidBlockSize>;

    static EdidSet* preset(Session& session, int presetIndex, int target, QObject* parent = nullptr);
    static EdidSet* copy(Session& session, int output, int target, QObject* parent = nullptr);
    // The block as it goes out (0x00 and the first 255 bytes of the file).
    static Block blockOf(const std::uint8_t* file, std::size_t size);
    static EdidSet* upload(Session& session, const Block& block, int target, QObject* parent = nullptr);

protected:
    void begin() override;

private:
    enum class Kind { Preset, Copy, Upload };
    EdidSet(Session& session, Kind kind, CommandFrame command, int target, QObject* parent);

    // Sends `command`; its answer goes on as answered() says.
    void send(const CommandFrame& command);
    void answered(decode::EdidAnswer answer, const CommandFrame& command);
    void sendBlock();
    int msLeft() const;

    Kind kind_;
    CommandFrame command_;  // the preset or copy command, or the upload request
    int target_;
    Block block_{};
    qint64 deadlineMs_ = 0;
};

}  // namespace talvane
