// The names of a switch's inputs and outputs: one field per port, OK and
// Cancel. A name is plain text of at most LabelStore::kMaxLength characters
// after trimming; OK refuses one that is not and says why.
#pragma once

#include <array>

#include "dialogs/painteddlg.h"
#include "ops/labelstore.h"

class QLabel;
class QLineEdit;

namespace talvane {

class NamesDialog : public CPaintedDlg {
    Q_OBJECT
public:
    NamesDialog(const PortLabels& labels, QWidget* parent = nullptr);

    // The names as typed, trimmed.
    PortLabels labels() const;
    QLineEdit* inputField(int input) const { return inputs_[std::size_t(input - 1)]; }
    QLineEdit* outputField(int output) const { return outputs_[std::size_t(output - 1)]; }
    // Why OK was refused, or empty.
    QString problem() const;

    static QString inputFieldName(int input);    // "Input 3 name"
    static QString outputFieldName(int output);  // "Output B name"

    void accept() override;

protected:
    void paintEvent(QPaintEvent* e) override;

private:
    std::array<QLineEdit*, 8> inputs_{};
    std::array<QLineEdit*, 8> outputs_{};
    QLabel* problem_ = nullptr;
};

}  // namespace talvane
