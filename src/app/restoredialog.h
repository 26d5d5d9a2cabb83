// The differences a restore would put right, listed for the operator to
// confirm before anything is sent: "Restore" goes ahead, "Cancel" sends
// nothing.
#pragma once

#include <QStringList>

#include "dialogs/painteddlg.h"

class QListWidget;

namespace talvane {

class RestoreDialog : public CPaintedDlg {
    Q_OBJECT
public:
    enum Id { Close = 1, Restore = 2, Cancel = 3, Differences = 4, LeftAlone = 5 };

    // `differences`: one line each, as the restore applies them; `leftAlone`:
    // what it does not touch, and why.
    RestoreDialog(const QString& file, const QStringList& differences, const QStringList& leftAlone,
                  QWidget* parent = nullptr);

    QStringList differences() const;

protected:
    void paintEvent(QPaintEvent* e) override;

private:
    QListWidget* list_ = nullptr;
};

}  // namespace talvane
