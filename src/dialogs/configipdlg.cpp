#include "configipdlg.h"

#include <QAction>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QGroupBox>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QPainter>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpressionValidator>

#include <functional>
#include <optional>

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
// The reason OK is disabled, beneath the MAC row inside the group box.
const QRect kWhyDlu(kRowLeft, 119, 170, 21);
const QColor kWhyColour(192, 0, 0);
const QString kIpIncomplete = QStringLiteral("Each IP box needs a number from 0 to 255.");
const QString kMacIncomplete = QStringLiteral("Each MAC box needs two hexadecimal digits.");

// Only the low 8 bits of each character count.
std::string low8(const QString& s)
{
    std::string out;
    out.reserve(std::size_t(s.size()));
    for (QChar c : s)
        out += char(c.unicode() & 0xFF);
    return out;
}

// An address box that takes a whole address pasted into it (by the paste
// key, the context menu, the middle button or a drop) for its whole row.
class AddressBox : public QLineEdit {
public:
    using WholePaste = std::function<bool(const QString&)>;

    AddressBox(QWidget* parent, WholePaste wholePaste)
        : QLineEdit(parent)
        , wholePaste_(std::move(wholePaste))
    {
    }

    void pasteFrom(QClipboard::Mode mode)
    {
        if (!wholePaste_(QGuiApplication::clipboard()->text(mode).trimmed()) && mode == QClipboard::Clipboard)
            paste();
    }

protected:
    void keyPressEvent(QKeyEvent* e) override
    {
        if (e == QKeySequence::Paste && wholePaste_(QGuiApplication::clipboard()->text().trimmed())) {
            e->accept();
            return;
        }
        QLineEdit::keyPressEvent(e);
    }
    void contextMenuEvent(QContextMenuEvent* e) override
    {
        QMenu* menu = createStandardContextMenu();
        if (QAction* a = pasteAction(menu)) {
            a->disconnect();
            connect(a, &QAction::triggered, this, [this] { pasteFrom(QClipboard::Clipboard); });
        }
        menu->setAttribute(Qt::WA_DeleteOnClose);
        menu->popup(e->globalPos());
    }
    void mouseReleaseEvent(QMouseEvent* e) override
    {
        QClipboard* clipboard = QGuiApplication::clipboard();
        if (e->button() == Qt::MiddleButton && clipboard->supportsSelection()
            && wholePaste_(clipboard->text(QClipboard::Selection).trimmed())) {
            e->accept();
            return;
        }
        QLineEdit::mouseReleaseEvent(e);
    }
    void dropEvent(QDropEvent* e) override
    {
        if (e->mimeData()->hasText() && wholePaste_(e->mimeData()->text().trimmed())) {
            e->acceptProposedAction();
            return;
        }
        QLineEdit::dropEvent(e);
    }

private:
    // The standard menu's paste entry, known by the shortcut its text shows
    // (the menu names none of its entries); none where shortcuts are not shown.
    static QAction* pasteAction(QMenu* menu)
    {
        const QString shortcut = QKeySequence(QKeySequence::Paste).toString(QKeySequence::NativeText);
        for (QAction* a : menu->actions())
            if (!shortcut.isEmpty() && a->text().section(QLatin1Char('\t'), 1) == shortcut)
                return a;
        return nullptr;
    }

    WholePaste wholePaste_;
};

QString twoHexDigits(std::uint8_t b) { return QStringLiteral("%1").arg(b, 2, 16, QLatin1Char('0')).toUpper(); }

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
                      const int* ids, QLineEdit** boxes, int count, const QString& name,
                      const AddressBox::WholePaste& wholePaste) {
        const QRegularExpression re(pattern);
        int x = kRowLeft;
        for (int i = 0; i < count; ++i) {
            if (i > 0) {
                auto* sep = new QLabel(separator, this);
                sep->setAlignment(Qt::AlignCenter);
                sep->setGeometry(dluRect(x, y, kSeparatorWidth, kBoxHeight));
                x += kSeparatorWidth;
            }
            auto* box = place(ids[i], new AddressBox(this, wholePaste), x, y, width, kBoxHeight);
            box->setMaxLength(maxLength);
            box->setValidator(new QRegularExpressionValidator(re, box));
            box->setAccessibleName(name.arg(i + 1));
            connect(box, &QLineEdit::textChanged, this, &CConfigIPDlg::updateOk);
            boxes[i] = box;
            x += width;
        }
    };
    row(kBoxY[0], kIpBoxWidth, QStringLiteral("."), kIpPattern, 3, kIpBoxIds, ip_.data(), int(ip_.size()),
        QStringLiteral("IP octet %1"), [this](const QString& t) { return pasteIp(t); });
    row(kBoxY[1], kMacBoxWidth, QStringLiteral("-"), kMacPattern, 2, kMacBoxIds, mac_.data(), int(mac_.size()),
        QStringLiteral("MAC byte %1"), [this](const QString& t) { return pasteMac(t); });
    ipLabel->setBuddy(ip_[0]);
    macLabel->setBuddy(mac_[0]);

    // Shown while OK is disabled; a screen reader reads it, and OK's description.
    why_ = new QLabel(this);
    why_->setGeometry(dluRect(kWhyDlu.x(), kWhyDlu.y(), kWhyDlu.width(), kWhyDlu.height()));
    why_->setWordWrap(true);
    why_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    QPalette whyPalette = why_->palette();
    whyPalette.setColor(QPalette::WindowText, kWhyColour);
    why_->setPalette(whyPalette);
    why_->hide();

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

QString CConfigIPDlg::refusal() const
{
    if (static_->isChecked()) {
        Ipv4Octets ip{};
        for (std::size_t i = 0; i < ip_.size(); ++i) {
            if (!ip_[i]->hasAcceptableInput())
                return kIpIncomplete;
            ip[i] = ipOctetFromText(low8(ip_[i]->text()));
        }
        if (const StaticIpProblem p = staticIpProblem(ip); p != StaticIpProblem::None)
            return QString::fromLatin1(describe(p));
    }
    MacAddress mac{};
    for (std::size_t i = 0; i < mac_.size(); ++i) {
        if (!mac_[i]->hasAcceptableInput())
            return kMacIncomplete;
        mac[i] = macByteFromText(low8(mac_[i]->text()));
    }
    if (const MacProblem p = macProblem(mac); p != MacProblem::None)
        return QString::fromLatin1(describe(p));
    return QString();
}

void CConfigIPDlg::updateOk()
{
    const QString why = refusal();
    ok_->setEnabled(why.isEmpty());
    ok_->setAccessibleDescription(why);
    why_->setText(why);
    why_->setVisible(!why.isEmpty());
}

bool CConfigIPDlg::pasteIp(const QString& text)
{
    const std::optional<Ipv4Octets> ip = parseIpv4(text.toStdString());
    if (!ip)
        return false;
    for (std::size_t i = 0; i < ip_.size(); ++i)
        ip_[i]->setText(QString::number((*ip)[i]));
    return true;
}

bool CConfigIPDlg::pasteMac(const QString& text)
{
    const std::optional<MacAddress> mac = parseMac(text.toStdString());
    if (!mac)
        return false;
    for (std::size_t i = 0; i < mac_.size(); ++i)
        mac_[i]->setText(twoHexDigits((*mac)[i]));
    return true;
}

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
    QPainter p(this);
    paintTitled(p, kFrameAlpha, kTitle, kTitleRect);
}

}  // namespace talvane
