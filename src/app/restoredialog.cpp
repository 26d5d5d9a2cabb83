#include "restoredialog.h"

#include <QLabel>
#include <QListWidget>
#include <QPainter>
#include <QPushButton>

#include "controls/imagebutton.h"

namespace talvane {

namespace {
const QString kTitle = QStringLiteral("Restore");
const QString kQuestion = QStringLiteral("Put these back from %1? (switch now -> backup)");
const QString kDifferencesName = QStringLiteral("Differences");
const QString kLeftAloneName = QStringLiteral("Left alone");
// Layout in dialog units: the question, the list, what is left alone, the buttons.
constexpr int kWidth = 300;
constexpr int kHeight = 200;
const QRect kCloseDlu(279, 2, 21, 18);
constexpr int kMargin = 8;
constexpr int kQuestionY = 22;
constexpr int kLineHeight = 10;
constexpr int kListY = 34;
constexpr int kListHeight = 110;
constexpr int kLeftAloneY = 147;
constexpr int kLeftAloneHeight = 28;
constexpr int kButtonsY = 180;
constexpr int kButtonWidth = 50;
constexpr int kButtonHeight = 14;
constexpr int kRestoreX = 184;
constexpr int kCancelX = 242;
constexpr int kFrameAlpha = 90;
const QRect kTitleRect(0, 0, 200, CPaintedDlg::kBandHeight);
}  // namespace

RestoreDialog::RestoreDialog(const QString& file, const QStringList& differences, const QStringList& leftAlone,
                             QWidget* parent)
    : CPaintedDlg(parent, kWidth, kHeight, Close, kCloseDlu)
{
    setWindowTitle(kTitle);
    setAccessibleName(kTitle);
    auto* question = new QLabel(kQuestion.arg(file), this);
    question->setGeometry(dluRect(kMargin, kQuestionY, kWidth - 2 * kMargin, kLineHeight));
    list_ = place(Differences, new QListWidget(this), kMargin, kListY, kWidth - 2 * kMargin, kListHeight);
    list_->addItems(differences);
    list_->setAccessibleName(kDifferencesName);
    list_->setAccessibleDescription(question->text());
    question->setBuddy(list_);
    auto* notes = place(LeftAlone, new QLabel(leftAlone.join(u'\n'), this), kMargin, kLeftAloneY, kWidth - 2 * kMargin,
                        kLeftAloneHeight);
    notes->setWordWrap(true);
    notes->setAccessibleName(kLeftAloneName);
    notes->setAccessibleDescription(notes->text());
    auto* restore = place(Restore, new QPushButton(kTitle, this), kRestoreX, kButtonsY, kButtonWidth, kButtonHeight);
    auto* cancel = place(Cancel, new QPushButton(QStringLiteral("Cancel"), this), kCancelX, kButtonsY, kButtonWidth,
                         kButtonHeight);
    restore->setAccessibleName(restore->text());
    cancel->setAccessibleName(cancel->text());
    connect(restore, &QPushButton::clicked, this, &RestoreDialog::accept);
    connect(cancel, &QPushButton::clicked, this, &RestoreDialog::reject);
    connect(closeButton(), &QPushButton::clicked, this, &RestoreDialog::reject);
}

QStringList RestoreDialog::differences() const
{
    QStringList out;
    for (int k = 0; k < list_->count(); ++k)
        out << list_->item(k)->text();
    return out;
}

void RestoreDialog::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    paintTitled(p, kFrameAlpha, kTitle, kTitleRect);
}

}  // namespace talvane
