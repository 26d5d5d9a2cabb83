// The busy popup (template 142): the busy text followed by dots that cycle
// every 300 ms, and at the end of an operation the result text with a check
// mark. The text is the process-wide busy text held by Popups; a new window is
// made for every opening. Its dot timers run on its own TimerHost.
#pragma once

#include "controls/dialogbase.h"
#include "core/timerhost.h"

#include <QString>

class QLabel;

namespace talvane {

class CStatusDlg : public TemplateDialog {
    Q_OBJECT
public:
    static constexpr int kTemplateId = 142;
    static constexpr int kTextId = 1086;
    static constexpr int kResultPictureId = 1087;
    // Dot steps: each timer shows its suffix and arms the next one.
    static constexpr int kDotTimer1 = 1001;  // shows " ."
    static constexpr int kDotTimer2 = 1002;  // shows " . ."
    static constexpr int kDotTimer3 = 1003;  // shows " . . ."
    static constexpr int kDotStepMs = 300;

    explicit CStatusDlg(QWidget* owner);

    // Busy result: stops the dots and shows the busy text with the check mark.
    void showResult();
    // The text control's text as shown now.
    QString shownText() const;
    bool resultShown() const;
    bool animating() const;
    const TimerHost& timers() const { return timers_; }

    void done(int result) override;
    void reject() override;  // window-manager close: acts as Close busy

    void setVisible(bool visible) override;  // opens centred on the owner

protected:
    void paintEvent(QPaintEvent* e) override;

private:
    void onTimer(int id);
    void setShownText(const QString& shown);

    TimerHost timers_;
    QLabel* text_;
    QLabel* picture_;
};

}  // namespace talvane
