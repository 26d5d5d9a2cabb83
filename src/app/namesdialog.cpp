#include "namesdialog.h"

#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>

#include "controls/imagebutton.h"
#include "protocol/commands.h"

namespace talvane {

namespace {
const QString kTitle = QStringLiteral("Names");
// Layout in dialog units: a row per port, inputs on the left and outputs on
// the right, the reason a name is refused beneath, then OK and Cancel.
constexpr int kWidth = 276;
constexpr int kHeight = 184;
constexpr int kCloseId = 1;
const QRect kCloseDlu(255, 2, 21, 18);
constexpr int kFirstRowY = 22;
constexpr int kRowPitch = 16;
constexpr int kFieldHeight = 13;
constexpr int kLabelDy = 3;
constexpr int kInputLabelX = 8;
constexpr int kInputLabelWidth = 20;
constexpr int kOutputLabelX = 140;
constexpr int kOutputLabelWidth = 40;
constexpr int kFieldWidth = 88;
constexpr int kProblemY = 150;
constexpr int kButtonsY = 164;
constexpr int kButtonWidth = 50;
constexpr int kButtonHeight = 14;
constexpr int kOkX = 160;
constexpr int kCancelX = 218;
constexpr int kFrameAlpha = 90;
const QRect kTitleRect(0, 0, 200, CPaintedDlg::kBandHeight);
enum Id { Ok = 2, Cancel = 3, Problem = 4, FirstField = 10 };

}  // namespace

QString NamesDialog::inputFieldName(int input) { return QStringLiteral("Input %1 name").arg(input); }
QString NamesDialog::outputFieldName(int output) { return QStringLiteral("Output %1 name").arg(outputLetter(output)); }

NamesDialog::NamesDialog(const PortLabels& labels, QWidget* parent)
    : CPaintedDlg(parent, kWidth, kHeight, kCloseId, kCloseDlu)
{
    setWindowTitle(kTitle);
    setAccessibleName(kTitle);
    int id = FirstField;
    auto field = [this, &id](const QString& caption, const QString& accessible, const QString& text, int x,
                             int labelWidth, int y) {
        auto* label = new QLabel(caption, this);
        label->setGeometry(dluRect(x, y + kLabelDy, labelWidth, kFieldHeight - kLabelDy));
        auto* edit = place(id++, new QLineEdit(text, this), x + labelWidth + 2, y, kFieldWidth, kFieldHeight);
        // Room for a name with spaces around it; OK trims and checks it.
        edit->setMaxLength(2 * LabelStore::kMaxLength);
        edit->setAccessibleName(accessible);
        // Names hold spaces: the fields keep Space, which the popup swallows elsewhere.
        installKeySwallower(edit, /*swallowSpace=*/false);
        label->setBuddy(edit);
        return edit;
    };
    for (int p = 1; p <= 8; ++p) {
        const int y = kFirstRowY + (p - 1) * kRowPitch;
        const std::size_t k = std::size_t(p - 1);
        inputs_[k] = field(QStringLiteral("IN%1").arg(p), inputFieldName(p), labels.inputs[k], kInputLabelX,
                           kInputLabelWidth, y);
        outputs_[k] = field(QStringLiteral("OUTPUT %1").arg(outputLetter(p)), outputFieldName(p), labels.outputs[k],
                            kOutputLabelX, kOutputLabelWidth, y);
    }
    problem_ = place(Problem, new QLabel(this), kInputLabelX, kProblemY, kWidth - 2 * kInputLabelX, kFieldHeight);
    auto* ok = place(Ok, new QPushButton(QStringLiteral("OK"), this), kOkX, kButtonsY, kButtonWidth, kButtonHeight);
    auto* cancel = place(Cancel, new QPushButton(QStringLiteral("Cancel"), this), kCancelX, kButtonsY, kButtonWidth,
                         kButtonHeight);
    ok->setAccessibleName(ok->text());
    cancel->setAccessibleName(cancel->text());
    connect(ok, &QPushButton::clicked, this, &NamesDialog::accept);
    connect(cancel, &QPushButton::clicked, this, &NamesDialog::reject);
    connect(closeButton(), &QPushButton::clicked, this, &NamesDialog::reject);
}

void NamesDialog::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    paintTitled(p, kFrameAlpha, kTitle, kTitleRect);
}

PortLabels NamesDialog::labels() const
{
    PortLabels out;
    for (std::size_t k = 0; k < 8; ++k) {
        out.inputs[k] = inputs_[k]->text().trimmed();
        out.outputs[k] = outputs_[k]->text().trimmed();
    }
    return out;
}

QString NamesDialog::problem() const { return problem_->text(); }

void NamesDialog::accept()
{
    // The first name refused keeps the dialog open, with the reason beneath.
    for (int p = 1; p <= 8; ++p) {
        for (bool output : {false, true}) {
            QLineEdit* edit = output ? outputField(p) : inputField(p);
            QString clean;
            QString why;
            if (edit->text().trimmed().isEmpty() || LabelStore::cleanName(edit->text(), &clean, &why))
                continue;
            problem_->setText(QStringLiteral("%1: %2").arg(output ? QStringLiteral("OUTPUT %1").arg(outputLetter(p))
                                                                   : QStringLiteral("IN%1").arg(p),
                                                            why));
            problem_->setAccessibleName(problem_->text());
            edit->setFocus();
            return;
        }
    }
    problem_->clear();
    QDialog::accept();
}

}  // namespace talvane
