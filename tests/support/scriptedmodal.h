// A modal driver for tests: answers the confirmation box and the busy popup
// without a user and without waiting, and records every box it ran. Install it
// by constructing it (after setAppClock); it uninstalls itself when destroyed.
//
// Each box opened takes the next queued answer, or the default one:
//  - confirmation box: Ok at once;
//  - busy popup: the manual clock is advanced in small steps (posted events
//    delivered after each) until the program closes the popup; past the bound
//    the test fails.
// Whatever an answer does, a box it leaves open is force-closed, so no test can
// hang on a box.
#pragma once

#include "dialogs/modal.h"

#include <QString>
#include <QStringList>
#include <QVector>

#include <deque>
#include <functional>

class QDialog;
class QWidget;

namespace talvane {

class ManualClock;

class ScriptedModal : public ModalDriver {
public:
    enum class Kind { Message, Busy, Other };
    struct Record {
        Kind kind = Kind::Other;
        QString textAtOpen;    // the process-wide text of the box when it opened
        QString textAtClose;   // ... and when it ended
        QString shownAtClose;  // busy popup: its text control when it ended
        bool question = false;
        int result = -1;  // -1 while open
        bool forced = false;  // force-closed by the driver
    };
    // Receives the open (shown) box; may advance the clock, send events, check
    // state, and should end the box.
    using Answer = std::function<void(QDialog&)>;

    explicit ScriptedModal(ManualClock& clock);
    ~ScriptedModal() override;
    ScriptedModal(const ScriptedModal&) = delete;
    ScriptedModal& operator=(const ScriptedModal&) = delete;

    void queue(Answer answer);
    int queued() const { return static_cast<int>(answers_.size()); }

    // Ready-made answers.
    static Answer click(int controlId);  // clicks a button of the box, e.g. Cancel
    // Runs the clock until the program closes the busy popup (the default).
    Answer untilClosed();

    // Control `id` of a box (nullptr when the box has none).
    static QWidget* control(QDialog& box, int id);

    const QVector<Record>& records() const { return records_; }
    int count(Kind kind) const;
    int openCount() const;
    const QStringList& failures() const { return failures_; }

    int busyStepMs = 50;
    qint64 busyBoundMs = 60000;

    int run(QDialog& dialog) override;

private:
    void runUntilClosed(QDialog& dialog, const bool& ended);

    ManualClock& clock_;
    std::deque<Answer> answers_;
    QVector<Record> records_;
    QStringList failures_;
    const bool* currentEnded_ = nullptr;
};

}  // namespace talvane
