// The network settings dialog (template 139): shows the current device, lets
// the operator choose Auto IP or Static IP, type a static address and edit the
// MAC. One object for the whole run; the caller fills it from the current
// device before each showing and keeps the settings it writes.
//
// Settings that would cut the switch off (see staticIpProblem() and
// macProblem()) keep OK disabled, with the reason shown beneath the boxes.
// A whole address pasted into an IP box, or a whole MAC into a MAC box,
// fills the row.
#pragma once

#include <QString>

#include <array>

#include "painteddlg.h"
#include "protocol/netpackets.h"

class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;

namespace talvane {

class CConfigIPDlg : public CPaintedDlg {
    Q_OBJECT
public:
    static constexpr int kTemplateId = 139;
    static constexpr int kGroupId = 1064;
    static constexpr int kAutoIpId = 1065;
    static constexpr int kStaticIpId = 1066;
    static constexpr int kIpLabelId = 1067;
    static constexpr int kIpBoxIds[4] = {1042, 1043, 1044, 1045};
    static constexpr int kMacLabelId = 1077;
    static constexpr int kMacBoxIds[6] = {1078, 1079, 1080, 1081, 1082, 1083};
    static constexpr int kOkId = 1070;
    static constexpr int kCancelId = 1071;
    static constexpr int kCloseId = 1072;
    static const QString kTitle;  // drawn in the title band

    // `settings` outlives the dialog: the radio buttons change its static
    // flag at once (also when the dialog is then cancelled), OK its texts.
    CConfigIPDlg(QWidget* owner, NetSettings& settings);

    // Before each showing: the radios from the static flag, the boxes from
    // the current device.
    void load(const NetDevice& current);
    // Every MAC box holds two hexadecimal digits and, with Static IP, every IP
    // box a number 0..255, and neither the address nor the MAC would cut the
    // switch off: only then is OK enabled.
    bool inputComplete() const { return refusal().isEmpty(); }
    // Why OK is disabled; empty when it is not.
    QString refusal() const;

    QLineEdit* ipBox(int i) const { return ip_[i]; }
    QLineEdit* macBox(int i) const { return mac_[i]; }
    // Shows refusal() beneath the boxes while there is one.
    QLabel* refusalLabel() const { return why_; }

protected:
    void paintEvent(QPaintEvent* e) override;

private:
    void setStatic(bool on);
    void updateOk();
    // A whole address or MAC pasted into a box of its row: fills the row.
    bool pasteIp(const QString& text);
    bool pasteMac(const QString& text);
    void accepted();

    NetSettings& settings_;
    QRadioButton* auto_;
    QRadioButton* static_;
    std::array<QLineEdit*, 4> ip_{};
    std::array<QLineEdit*, 6> mac_{};
    QPushButton* ok_;
    QLabel* why_;
};

}  // namespace talvane
