#include "configipdlg.h"

#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpressionValidator>

#include "controls/imagebutton.h"
#include "popups.h"

namespace talvane {

const QString CConfigIPDlg::kTitle = QStringLiteral("TCP Config");

namespace {

// Template 139, dialog units.
constexpr int kWidthDlu = 205;
constexpr int kHeightDlu = 174;
const QRect kCloseDlu(179, 2, 21, 18);
constexpr int kBoxY[] = {68, 104};  // the IP row, the MAC row
constexpr int kBoxHeight = 12;
constexpr int kIpBoxWidth = 24;
constexpr int kMacBoxWidth = 20;
constexpr int kSeparatorWidth = 6;
constexpr int kRowLeft = 22;

// Client pixels.
constexpr int kFrameAlpha = 90;
const QRect kTitleRect(QPoint(1, 1), QPoint(89, 29));  // (1,1) to (90,30)

const QString kIpPattern = QStringLiteral("25[0-5]|2[0-4][0-9]|1[0-9][0-9]|[1-9]?[0-9]");
const QString kMacPattern = QStringLiteral("[0-9A-Fa-f]{2}");

// Only the low 8 bits of each character count.
std::string low8(const QString& s)
{
    std::string out;
    out.reserve(std::size_t(s.size()));
    for (QChar c : s)
        out += char(c.unicode() & 0xFF);
    return out;
}

}  // namespace

CConfigIPDlg::CConfigIPDlg(QWidget* owner, NetSettings& settings)
    : CPaintedDlg(owner, kWidthDlu, kHeightDlu, kCloseId, kCloseDlu)
    , settings_(settings)
{
    setWindowTitle(kTitle);
    setAccessibleName(kTitle);

    place(kGroupId, new QGroupBox(QStringLiteral("Device Information"), this), 8, 20, 189, 122);
    auto_ = place(kAutoIpId, new QRadioButton(QStringLiteral("Auto IP"), this), kRowLeft, 36, 60, 10);
    static_ = place(kStaticIpId, new QRadioButton(QStringLiteral("Static IP"), this), 100, 36, 60, 10);
    auto* ipLabel = place(kIpLabelId, new QLabel(QStringLiteral("IP Address"), this), kRowLeft, 56, 60, 8);
    auto* macLabel = place(kMacLabelId, new QLabel(QStringLiteral("MAC"), this), kRowLeft, 92, 40, 8);

    // A row of boxes with a separator between each two.
    auto row = [this](int y, int width, const QString& separator, const QString& pattern, int maxLength,
                      const int* ids, QLineEdit** boxes, int count, const QString& name) {
        const QRegularExpression re(pattern);
        int x = kRowLeft;
        for (int i = 0; i < count; ++i) {
            if (i > 0) {
                auto* sep = new QLabel(separator, this);
                sep->setAlignment(Qt::AlignCenter);
                sep->setGeometry(dluRect(x, y, kSeparatorWidth, kBoxHeight));
                x += kSeparatorWidth;
            }
            auto* box = place(ids[i], new QLineEdit(this), x, y, width, kBoxHeight);
            box->setMaxLength(maxLength);
            box->setValidator(new QRegularExpressionValidator(re, box));
            box->setAccessibleName(name.arg(i + 1));
            connect(box, &QLineEdit::textChanged, this, &CConfigIPDlg::updateOk);
            boxes[i] = box;
            x += width;
        }
    };
    row(kBoxY[0], kIpBoxWidth, QStringLiteral("."), kIpPattern, 3, kIpBoxIds, ip_.data(), int(ip_.size()),
        QStringLiteral("IP octet %1"));
    row(kBoxY[1], kMacBoxWidth, QStringLiteral("-"), kMacPattern, 2, kMacBoxIds, mac_.data(), int(mac_.size()),
        QStringLiteral("MAC byte %1"));
    ipLabel->setBuddy(ip_[0]);
    macLabel->setBuddy(mac_[0]);

    ok_ = place(kOkId, new QPushButton(QStringLiteral("OK"), this), 46, 150, 50, 14);
    auto* cancel = place(kCancelId, new QPushButton(QStringLiteral("Cancel"), this), 110, 150, 50, 14);

    // A click and an accessibility action both toggle; the choice holds at
    // once, even if the dialog is then cancelled.
    connect(auto_, &QRadioButton::toggled, this, [this](bool on) {
        if (on)
            setStatic(false);
    });
    connect(static_, &QRadioButton::toggled, this, [this](bool on) {
        if (on)
            setStatic(true);
    });
    connect(ok_, &QPushButton::clicked, this, &CConfigIPDlg::accepted);
    connect(cancel, &QPushButton::clicked, this, [this] { done(Popups::Cancel); });
    connect(closeButton(), &QPushButton::clicked, this, [this] { done(Popups::Cancel); });
}

void CConfigIPDlg::load(const NetDevice& current)
{
    {
        const QSignalBlocker a(auto_);
        const QSignalBlocker s(static_);
        (settings_.staticIp ? static_ : auto_)->setChecked(true);
    }
    for (std::size_t i = 0; i < ip_.size(); ++i) {
        ip_[i]->setText(QString::fromStdString(current.ip[i]));
        ip_[i]->setEnabled(settings_.staticIp);
    }
    for (std::size_t i = 0; i < mac_.size(); ++i)
        mac_[i]->setText(QString::fromStdString(current.mac[i]));
    updateOk();
}

void CConfigIPDlg::setStatic(bool on)
{
    settings_.staticIp = on;
    for (QLineEdit* box : ip_)
        box->setEnabled(on);
    updateOk();
}

bool CConfigIPDlg::inputComplete() const
{
    for (QLineEdit* box : mac_)
        if (!box->hasAcceptableInput())
            return false;
    if (static_->isChecked())
        for (QLineEdit* box : ip_)
            if (!box->hasAcceptableInput())
                return false;
    return true;
}

void CConfigIPDlg::updateOk() { ok_->setEnabled(inputComplete()); }

void CConfigIPDlg::accepted()
{
    if (!inputComplete())
        return;
    for (std::size_t i = 0; i < ip_.size(); ++i)
        settings_.ip[i] = low8(ip_[i]->text());
    for (std::size_t i = 0; i < mac_.size(); ++i)
        settings_.mac[i] = low8(mac_[i]->text());
    done(Popups::Ok);
}

void CConfigIPDlg::paintEvent(QPaintEvent*)
{
    const int w = width();
    const int h = height();
    QPainter p(this);
    paintFrame(p, kFrameAlpha);
    p.fillRect(1, kBandHeight + 1, w - 2, h - kBandHeight - 2, palette().color(QPalette::Button));
    paintBandOutline(p);
    p.setFont(font());
    p.setPen(Qt::white);
    p.drawText(kTitleRect, Qt::AlignCenter | Qt::TextSingleLine, kTitle);
}

}  // namespace talvane
