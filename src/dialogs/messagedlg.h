// The confirmation box: the program's own message box (template 135). One
// line of centred text under a blue title band, an information picture, "Ok",
// and in question mode "Cancel" and the "No longer remind" check box. The text
// is the process-wide confirmation box text held by Popups; a new window is
// made for every showing.
#pragma once

#include "painteddlg.h"

#include <QRect>
#include <QString>

class QCheckBox;
class QLabel;
class QPushButton;

namespace talvane {

class CMessageDlg : public CPaintedDlg {
    Q_OBJECT
public:
    static constexpr int kTemplateId = 135;
    static constexpr int kCloseId = 1057;
    static constexpr int kOkId = 1058;
    static constexpr int kCancelId = 1099;
    static constexpr int kPictureId = 1100;
    static constexpr int kNoLongerRemindId = 1101;

    // `question` selects question mode: Ok at the left, Cancel at the right
    // and the "No longer remind" check box shown.
    CMessageDlg(QWidget* owner, bool question);

    bool questionMode() const { return question_; }
    // The text as shown now (the process-wide confirmation box text).
    QString text() const;
    // Where the current text is drawn, in client pixels.
    QRect textRect() const;
    // Picks up a changed process-wide text: repaints, lets the question layout
    // move the picture, and hands the text to accessibility.
    void refreshText();

    void done(int result) override;
    void reject() override;  // window-manager close: ends like Cancel

protected:
    void paintEvent(QPaintEvent* e) override;

private:
    bool question_;
    QPushButton* ok_;
    QPushButton* cancel_;
    QLabel* picture_;
    QCheckBox* remind_;
};

}  // namespace talvane
