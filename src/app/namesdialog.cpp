#include "namesdialog.h"

#include <QDialogButtonBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "controls/dialogbase.h"

namespace talvane {

namespace {
const char* const kTitle = "Names";
QString outputLetter(int output) { return QString(QChar(QLatin1Char(char('A' + output - 1)))); }
}  // namespace

QString NamesDialog::inputFieldName(int input) { return QStringLiteral("Input %1 name").arg(input); }
QString NamesDialog::outputFieldName(int output) { return QStringLiteral("Output %1 name").arg(outputLetter(output)); }

NamesDialog::NamesDialog(const PortLabels& labels, QWidget* parent)
    : QDialog(parent)
{
    setWindowTitle(QString::fromLatin1(kTitle));
    setAccessibleName(windowTitle());
    setFont(templateFont());
    auto* grid = new QGridLayout;
    auto field = [this, grid](const QString& caption, const QString& accessible, const QString& text, int row, int column) {
        auto* label = new QLabel(caption, this);
        auto* edit = new QLineEdit(text, this);
        // Room for a name with spaces around it; OK trims and checks it.
        edit->setMaxLength(2 * LabelStore::kMaxLength);
        edit->setAccessibleName(accessible);
        edit->setMinimumWidth(edit->fontMetrics().averageCharWidth() * 24);
        label->setBuddy(edit);
        grid->addWidget(label, row, column);
        grid->addWidget(edit, row, column + 1);
        return edit;
    };
    for (int p = 1; p <= 8; ++p) {
        inputs_[std::size_t(p - 1)] = field(QStringLiteral("IN%1").arg(p), inputFieldName(p), labels.inputs[std::size_t(p - 1)], p - 1, 0);
        outputs_[std::size_t(p - 1)] = field(QStringLiteral("OUTPUT %1").arg(outputLetter(p)), outputFieldName(p),
                                             labels.outputs[std::size_t(p - 1)], p - 1, 2);
    }
    grid->setColumnMinimumWidth(2, fontMetrics().averageCharWidth() * 10);
    problem_ = new QLabel(this);
    problem_->setWordWrap(true);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->button(QDialogButtonBox::Ok)->setAccessibleName(QStringLiteral("OK"));
    buttons->button(QDialogButtonBox::Cancel)->setAccessibleName(QStringLiteral("Cancel"));
    connect(buttons, &QDialogButtonBox::accepted, this, &NamesDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &NamesDialog::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(grid);
    layout->addWidget(problem_);
    layout->addWidget(buttons);
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
