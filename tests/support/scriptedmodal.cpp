#include "scriptedmodal.h"

#include "controls/dialogbase.h"
#include "core/clock.h"
#include "dialogs/messagedlg.h"
#include "dialogs/popups.h"
#include "dialogs/statusdlg.h"

#include <QAbstractButton>
#include <QCoreApplication>
#include <QDialog>
#include <QPointer>
#include <QTest>

namespace talvane {

ScriptedModal::ScriptedModal(ManualClock& clock)
    : clock_(clock)
{
    setModalDriver(this);
}

ScriptedModal::~ScriptedModal() { setModalDriver(nullptr); }

void ScriptedModal::queue(Answer answer) { answers_.push_back(std::move(answer)); }

ScriptedModal::Answer ScriptedModal::click(int controlId)
{
    return [controlId](QDialog& box) {
        if (auto* b = qobject_cast<QAbstractButton*>(control(box, controlId)))
            b->click();
    };
}

ScriptedModal::Answer ScriptedModal::untilClosed()
{
    return [this](QDialog& box) {
        if (currentEnded_)
            runUntilClosed(box, *currentEnded_);
    };
}

QWidget* ScriptedModal::control(QDialog& box, int id)
{
    auto* t = qobject_cast<TemplateDialog*>(&box);
    return t ? t->control(id) : nullptr;
}

int ScriptedModal::count(Kind kind) const
{
    int n = 0;
    for (const Record& r : records_)
        n += r.kind == kind ? 1 : 0;
    return n;
}

int ScriptedModal::openCount() const
{
    int n = 0;
    for (const Record& r : records_)
        n += r.result < 0 ? 1 : 0;
    return n;
}

void ScriptedModal::runUntilClosed(QDialog& dialog, const bool& ended)
{
    QPointer<QDialog> alive(&dialog);
    QCoreApplication::sendPostedEvents();
    qint64 spent = 0;
    while (alive && !ended && spent < busyBoundMs) {
        clock_.advance(busyStepMs);
        QCoreApplication::sendPostedEvents();
        spent += busyStepMs;
    }
    if (alive && !ended) {
        const QString why = QStringLiteral("busy popup \"%1\" not closed within %2 ms")
                                .arg(Popups::instance().busyText())
                                .arg(busyBoundMs);
        failures_ << why;
        QTest::qFail(qPrintable(why), __FILE__, __LINE__);
    }
}

int ScriptedModal::run(QDialog& dialog)
{
    Popups& popups = Popups::instance();
    const int index = records_.size();
    Record rec;
    auto* status = qobject_cast<CStatusDlg*>(&dialog);
    if (qobject_cast<CMessageDlg*>(&dialog)) {
        rec.kind = Kind::Message;
        rec.textAtOpen = popups.messageText();
        rec.question = popups.questionMode();
    } else if (status) {
        rec.kind = Kind::Busy;
        rec.textAtOpen = popups.busyText();
    }
    records_.push_back(rec);

    bool ended = false;
    QPointer<QDialog> alive(&dialog);
    const QMetaObject::Connection conn = QObject::connect(
        &dialog, &QDialog::finished, [this, index, status, &ended](int result) {
            if (ended)
                return;
            ended = true;
            Record& r = records_[index];
            r.result = result;
            if (r.kind == Kind::Message)
                r.textAtClose = Popups::instance().messageText();
            else if (r.kind == Kind::Busy) {
                r.textAtClose = Popups::instance().busyText();
                r.shownAtClose = status->shownText();
            }
        });

    dialog.show();
    QCoreApplication::sendPostedEvents();

    const bool* outerEnded = currentEnded_;
    currentEnded_ = &ended;
    if (!answers_.empty()) {
        Answer answer = std::move(answers_.front());
        answers_.pop_front();
        answer(dialog);
    } else if (rec.kind == Kind::Busy) {
        runUntilClosed(dialog, ended);
    } else if (alive) {
        if (auto* ok = qobject_cast<QAbstractButton*>(control(dialog, CMessageDlg::kOkId)))
            ok->click();
        else
            dialog.accept();
    }
    currentEnded_ = outerEnded;

    if (alive && !ended) {
        records_[index].forced = true;
        dialog.done(rec.kind == Kind::Busy ? int(Popups::Ok) : int(Popups::Cancel));
    }
    if (alive)
        QObject::disconnect(conn);
    if (!ended) {  // destroyed under the answer
        records_[index].result = Popups::Cancel;
        records_[index].forced = true;
    }
    return alive ? dialog.result() : int(Popups::Cancel);
}

}  // namespace talvane
