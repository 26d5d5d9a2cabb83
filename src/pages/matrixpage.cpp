#include "matrixpage.h"

#include <algorithm>

#include <QCheckBox>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPainter>
#include <QPushButton>
#include <QSignalBlocker>

#include "controls/framedgroup.h"
#include "controls/imagebutton.h"
#include "dialogs/popups.h"
#include "ops/limits.h"
#include "ops/routing.h"
#include "resources/resources.h"

namespace talvane {

using namespace matrix;

namespace {

// Captions of the template.
const QString kInputCaption = QStringLiteral("IN%1");
const QString kOutputCaption = QStringLiteral("OUTPUT %1");
const QString kOnCaption = QStringLiteral("ON");
const QString kOffCaption = QStringLiteral("OFF");
const QString kArcCaption = QStringLiteral("ARC");
// Names for screen readers where a control has no caption.
const QString kPreviousName = QStringLiteral("Previous input");
const QString kNextName = QStringLiteral("Next input");
const QString kPictureName = QStringLiteral("Input %1");
const QString kArcLineName = QStringLiteral("ARC separator");

// Layout in dialog units. The outputs stand in two rows of four groups,
// A..D above and E..H below; `column` is the group's place in its row.
constexpr int kGroupX[4] = {3, 87, 171, 255};
constexpr int kGroupY[2] = {3, 135};
constexpr int kGroupWidth = 82;
constexpr int kGroupHeight = 130;
constexpr int kFirstButtonX[4] = {6, 91, 175, 258};  // the IN1 column; IN2..IN4 follow
constexpr int kButtonPitch = 19;
constexpr int kOffX[4] = {53, 138, 221, 304};
constexpr int kPictureX[4] = {24, 107, 190, 273};
constexpr int kPictureY[2] = {12, 145};
constexpr int kArcLineLength[4] = {52, 52, 51, 51};
// Rows, for the upper and the lower groups.
constexpr int kUpperInputsY[2] = {56, 189};  // IN1..IN4
constexpr int kLowerInputsY[2] = {73, 206};  // IN5..IN8
constexpr int kStepY[2] = {90, 223};
constexpr int kArcLabelY[2] = {107, 239};
constexpr int kArcLineY[2] = {111, 243};
constexpr int kArcButtonsY[2] = {114, 246};
constexpr int kButtonWidth = 19;  // input and step buttons
constexpr int kButtonHeight = 15;
constexpr int kArcButtonWidth = 24;
constexpr int kArcLabelWidth = 17;
constexpr int kArcLabelHeight = 8;
constexpr int kArcLineHeight = 1;
constexpr int kInputsPerRow = 4;
// The presets column, right of the template: a caption, the list, the name
// field and three buttons under one another.
constexpr int kColumnX = CMatrixDlg::kTemplateWidth + 2;
constexpr int kColumnWidth = CMatrixDlg::kPresetColumnWidth - 4;
constexpr int kPresetsLabelY = 3;
constexpr int kPresetListY = 12;
constexpr int kPresetListHeight = 112;
constexpr int kPresetNameY = 128;
constexpr int kPresetNameHeight = 13;
constexpr int kFirstPresetButtonY = 145;
constexpr int kPresetButtonPitch = 17;
constexpr int kPresetButtonHeight = 14;
constexpr int kFirstTakeButtonY = 200;  // Take and Clear, under the presets' buttons

bool isOutput(int n) { return n >= 1 && n <= kOutputs; }
QString tr8(const char* text) { return QString::fromUtf8(text); }

// The column is narrow: a caption that does not fit at the page's font (a
// larger font setting) is set a little smaller, down to a floor.
constexpr qreal kSmallestCaptionPt = 6.5;
void fitCaption(QPushButton* button)
{
    QFont f = button->font();
    const int room = button->width() - button->fontMetrics().averageCharWidth();
    while (f.pointSizeF() > kSmallestCaptionPt && QFontMetrics(f).horizontalAdvance(button->text()) > room)
        f.setPointSizeF(f.pointSizeF() - 0.5);
    button->setFont(f);
}

// The input buttons: the checked one (the output's input) stands out at a
// glance, dark on light, well over 3:1 against the others; the keyboard focus
// is a dotted frame, like a focus rectangle, and changes no colour, so it is
// never taken for the checked input. Painted here rather than through a style
// sheet: sixty-four of them repaint when the page is entered, while its first
// reply waits. A preselected input (take mode) is amber with a thick dark
// frame, so it is not taken for the confirmed route, whatever the colours.
class InputButton : public QPushButton {
public:
    InputButton(const QString& caption, QWidget* parent)
        : QPushButton(caption, parent)
    {
        setCheckable(true);
        setAttribute(Qt::WA_Hover);
    }
    void setPreselected(bool on)
    {
        if (on == preselected_)
            return;
        preselected_ = on;
        update();
    }
    bool preselected() const { return preselected_; }

protected:
    void paintEvent(QPaintEvent*) override
    {
        static const QColor kFill(0xf4, 0xf4, 0xf4), kHoverFill(0xe6, 0xee, 0xf8), kBorder(0x8c, 0x8c, 0x8c);
        static const QColor kCheckedFill(0x1b, 0x4f, 0x8f), kCheckedBorder(0x0f, 0x2f, 0x57);
        static const QColor kPreselectedFill(0xff, 0xc8, 0x57), kPreselectedBorder(0x7a, 0x3e, 0x00);
        static const QColor kDisabledText(0x8c, 0x8c, 0x8c);
        const bool on = isChecked();
        QPainter p(this);
        const QRect frame = rect().adjusted(0, 0, -1, -1);
        p.fillRect(rect(), on ? kCheckedFill : preselected_ ? kPreselectedFill : underMouse() ? kHoverFill : kFill);
        if (preselected_) {
            p.setPen(QPen(kPreselectedBorder, 3));
            p.drawRect(rect().adjusted(1, 1, -2, -2));
        }
        if (hasFocus())
            p.setPen(QPen(on ? Qt::white : Qt::black, 1, Qt::DotLine));
        else
            p.setPen(on ? kCheckedBorder : preselected_ ? kPreselectedBorder : kBorder);
        p.drawRect(frame);
        QFont f = font();
        f.setBold(on || preselected_);
        p.setFont(f);
        p.setPen(!isEnabled() ? kDisabledText : on ? QColor(Qt::white) : QColor(Qt::black));
        p.drawText(rect(), Qt::AlignCenter, text());
    }

private:
    bool preselected_ = false;
};

}  // namespace

QString CMatrixDlg::outputCaption(int output) { return kOutputCaption.arg(outputLetter(output)); }
QString CMatrixDlg::pictureName(int input) { return kPictureName.arg(input); }

QString CMatrixDlg::namedOutputCaption(int output, const QString& name)
{
    return name.isEmpty() ? outputCaption(output) : outputCaption(output) + QStringLiteral(" \u00B7 ") + name;
}

QString CMatrixDlg::namedInputText(int input, const QString& name)
{
    return name.isEmpty() ? QString() : kInputCaption.arg(input) + QStringLiteral(": ") + name;
}

void CMatrixDlg::setPortLabels(const PortLabels& labels)
{
    labels_ = labels;
    for (int o = 1; o <= kOutputs; ++o) {
        updateCaption(o);
        for (int i = 1; i <= kInputs; ++i)
            describeInput(o, i);
    }
}

void CMatrixDlg::updateCaption(int o)
{
    QGroupBox* group = groups_[std::size_t(o - 1)];
    const LockShown& lock = locks_[std::size_t(o - 1)];
    // The lock mark stays in sight: the name is cut short before it.
    const QString named = namedOutputCaption(o, labels_.outputs[std::size_t(o - 1)]);
    const QString mark = lock.holder.isEmpty() ? QString() : tr8(lockText::Locked);
    const int room = group->width() - group->fontMetrics().averageCharWidth() * 2 - group->fontMetrics().horizontalAdvance(mark);
    group->setTitle(group->fontMetrics().elidedText(named, Qt::ElideRight, room) + mark);
    // The tooltip and the accessible name hold it whole, with the holder.
    const QString whole = lock.holder.isEmpty() ? named : named + QStringLiteral(", ") + tr8(lockText::LockedBy).arg(QString(QLatin1Char(outputLetter(o))), lock.holder);
    group->setAccessibleName(whole);
    group->setToolTip(whole == outputCaption(o) ? QString() : whole);
}

void CMatrixDlg::describeInput(int output, int input)
{
    auto* button = controlAs<QPushButton>(ctl::Input[output - 1][input - 1]);
    const QString named = namedInputText(input, labels_.inputs[std::size_t(input - 1)]);
    QString description = named.isEmpty() ? outputCaption(output) : named;
    QString tip = named;
    if (preselected(output) == input) {
        description += QStringLiteral(", ") + tr8(takeText::Preselected);
        tip = tip.isEmpty() ? tr8(takeText::Preselected) : tip + QStringLiteral(" (") + tr8(takeText::Preselected) + u')';
    }
    button->setToolTip(tip);
    if (button->accessibleDescription() != description)
        button->setAccessibleDescription(description);
}

CMatrixDlg::CMatrixDlg(Presenter& presenter, QWidget* parent, const QString& presetsPath,
                       std::function<QString()> switchKey)
    : PageWindow(presenter, parent, kTemplateWidth + kPresetColumnWidth, kTemplateHeight, /*swallowSpace=*/true)
    , presets_(presetsPath)
    , switchKey_(std::move(switchKey))
{
    current_.fill(1);
    for (int o = 1; o <= kOutputs; ++o)
        createOutput(o);
    createPresetColumn();
}

void CMatrixDlg::createOutput(int o)
{
    const int column = (o - 1) % 4;
    const int row = (o - 1) / 4;
    const std::size_t index = std::size_t(o - 1);
    const QString output = outputCaption(o);
    auto buttonX = [column](int k) { return kFirstButtonX[column] + kButtonPitch * k; };

    // The group box first, so the controls inside it stand above it.
    auto* group = new FramedGroup(output, this);
    group->setGeometry(dluRect(kGroupX[column], kGroupY[row], kGroupWidth, kGroupHeight));
    groups_[index] = group;

    // The picture shows its 80 x 80 bitmap whole, at the template's top-left
    // corner, as a bitmap static sizes itself to its bitmap; it ends above
    // the first row of input buttons.
    auto* picture = place(ctl::Picture[index], new QLabel(this), kPictureX[column], kPictureY[row], 0, 0);
    picture->resize(res::naturalSize(res::BitmapDigit1));
    picture->setAccessibleDescription(output);
    showPicture(1, o);

    for (int i = 1; i <= kInputs; ++i) {
        const int k = (i - 1) % kInputsPerRow;
        const int y = i <= kInputsPerRow ? kUpperInputsY[row] : kLowerInputsY[row];
        auto* button = place(ctl::Input[index][i - 1], new InputButton(kInputCaption.arg(i), this), buttonX(k), y,
                             kButtonWidth, kButtonHeight);
        describeInput(o, i);
        actOnToggle(button, [this, o, i] { inputClicked(o, i); });
    }

    // The step buttons sit under IN2 and IN3; each shows only its triangle.
    for (bool forward : {false, true}) {
        auto* button = place(forward ? ctl::Next[index] : ctl::Previous[index], new CImageButton(this),
                             buttonX(forward ? 2 : 1), kStepY[row], kButtonWidth, kButtonHeight);
        button->setFlat(false);
        button->setIcons(forward ? res::IconNext : res::IconPrevious);
        button->setAccessibleLabel(forward ? kNextName : kPreviousName);
        button->setAccessibleDescription(output);
        stepButtons_[index + (forward ? kOutputs : 0)] = button;
        connect(button, &QPushButton::clicked, this, [this, o, forward] {
            if (forward)
                nextClicked(o);
            else
                previousClicked(o);
        });
    }

    // The lock toggle, right of the step buttons; checked while the output is locked.
    auto* lock = place(ctl::Lock[index], new QPushButton(tr8(lockText::Lock), this), buttonX(3), kStepY[row],
                       kButtonWidth, kButtonHeight);
    lock->setCheckable(true);
    lock->setAccessibleName(tr8(lockText::LockName).arg(QLatin1Char(outputLetter(o))));
    lock->setAccessibleDescription(output);
    fitCaption(lock);
    actOnToggle(lock, [this, o] { lockClicked(o); });

    auto* arcLabel = new QLabel(kArcCaption, this);
    arcLabel->setGeometry(dluRect(buttonX(0), kArcLabelY[row], kArcLabelWidth, kArcLabelHeight));
    arcLabel->setAccessibleDescription(output);
    auto* line = new QFrame(this);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    line->setGeometry(dluRect(buttonX(1), kArcLineY[row], kArcLineLength[column], kArcLineHeight));
    line->setAccessibleName(kArcLineName);
    line->setAccessibleDescription(output);

    for (bool on : {true, false}) {
        auto* box = place(on ? ctl::ArcOn[index] : ctl::ArcOff[index], new QCheckBox(on ? kOnCaption : kOffCaption, this),
                          on ? buttonX(1) : kOffX[column], kArcButtonsY[row], kArcButtonWidth, kButtonHeight);
        box->setAccessibleDescription(output);
        actOnToggle(box, [this, o, on] { arcClicked(o, on); });
    }
}

void CMatrixDlg::actOnToggle(QAbstractButton* button, std::function<void()> action)
{
    // A click and an accessibility Toggle action both emit toggled, while the
    // page's own setChecked() calls are blocked. The mark goes back at once;
    // the action runs once the click has returned, because a button does not
    // redraw itself while its click is still running and the action may wait
    // in a popup.
    connect(button, &QAbstractButton::toggled, this, [this, button, action](bool checked) {
        {
            const QSignalBlocker block(button);
            button->setChecked(!checked);
        }
        QMetaObject::invokeMethod(this, action, Qt::QueuedConnection);
    });
}

void CMatrixDlg::setChecked(int id, bool on)
{
    auto* button = controlAs<QAbstractButton>(id);
    const QSignalBlocker block(button);
    button->setChecked(on);
}

// --- what the page shows ---------------------------------------------------------

void CMatrixDlg::showRoute(int output, int input)
{
    showPicture(input, output);
    showRouting(input, output);
}

void CMatrixDlg::createPresetColumn()
{
    auto* caption = new QLabel(tr8(presetText::Presets), this);
    caption->setGeometry(dluRect(kColumnX, kPresetsLabelY, kColumnWidth, kArcLabelHeight));
    presetList_ = place(ctl::PresetList, new QListWidget(this), kColumnX, kPresetListY, kColumnWidth, kPresetListHeight);
    presetList_->setAccessibleName(tr8(presetText::Presets));
    presetList_->setSelectionMode(QAbstractItemView::SingleSelection);
    caption->setBuddy(presetList_);
    presetName_ = place(ctl::PresetName, new QLineEdit(this), kColumnX, kPresetNameY, kColumnWidth, kPresetNameHeight);
    presetName_->setAccessibleName(tr8(presetText::PresetName));
    presetName_->setPlaceholderText(tr8(presetText::PresetName));
    presetName_->setMaxLength(PresetStore::kMaxNameLength + 8);  // trimmed afterwards
    // A name may hold spaces: the field keeps Space, though the page swallows it.
    installKeySwallower(presetName_, /*swallowSpace=*/false);
    // The selected preset's name goes into the field, ready to be saved again.
    connect(presetList_, &QListWidget::currentRowChanged, this, [this](int row) {
        if (row >= 0 && row < shownPresets_.size())
            presetName_->setText(shownPresets_[row].name);
    });
    struct {
        int id;
        const char* caption;
        void (CMatrixDlg::*action)();
    } const buttons[] = {{ctl::SavePreset, presetText::SavePreset, &CMatrixDlg::savePresetClicked},
                         {ctl::RecallPreset, presetText::Recall, &CMatrixDlg::recallClicked},
                         {ctl::DeletePreset, presetText::DeletePreset, &CMatrixDlg::deletePresetClicked}};
    int y = kFirstPresetButtonY;
    for (const auto& b : buttons) {
        auto* button = place(b.id, new QPushButton(tr8(b.caption), this), kColumnX, y, kColumnWidth, kPresetButtonHeight);
        button->setAccessibleName(tr8(b.caption));
        fitCaption(button);
        connect(button, &QPushButton::clicked, this, b.action);
        y += kPresetButtonPitch;
    }
    struct {
        int id;
        const char* caption;
        const char* name;
        void (CMatrixDlg::*action)();
        QPushButton** button;
    } const takeButtons[] = {{ctl::Take, takeText::Take, takeText::TakeName, &CMatrixDlg::takeClicked, &takeButton_},
                             {ctl::ClearTake, takeText::Clear, takeText::ClearName, &CMatrixDlg::clearTakeClicked,
                              &clearButton_}};
    y = kFirstTakeButtonY;
    for (const auto& b : takeButtons) {
        auto* button = place(b.id, new QPushButton(tr8(b.caption), this), kColumnX, y, kColumnWidth, kPresetButtonHeight);
        button->setAccessibleName(tr8(b.name));
        fitCaption(button);
        connect(button, &QPushButton::clicked, this, b.action);
        *b.button = button;
        y += kPresetButtonPitch;
    }
    updateTakeButtons();
    reloadPresets();
}

void CMatrixDlg::showRouting(int input, int output)
{
    if (!isOutput(output))
        return;
    current_[std::size_t(output - 1)] = input;
    reported_.inputs[std::size_t(output - 1)] = input;
    for (int i = 1; i <= kInputs; ++i)
        setChecked(ctl::Input[output - 1][i - 1], i == input);
    updateActive();
}

void CMatrixDlg::showPicture(int input, int output)
{
    auto* picture = controlAs<QLabel>(ctl::Picture[output - 1]);
    picture->setPixmap(res::bitmap(res::digitBitmapId(input)));
    picture->setAccessibleName(pictureName(input));
}

void CMatrixDlg::showArc(int output, bool on)
{
    setChecked(ctl::ArcOn[output - 1], on);
    setChecked(ctl::ArcOff[output - 1], !on);
    reported_.arc[std::size_t(output - 1)] = on;
    updateActive();
}

// --- operator actions ----------------------------------------------------------------

void CMatrixDlg::enter(Hold hold)
{
    auto* read = new MatrixRead(presenter_.session(), Purpose::PageEntry);
    connect(read, &MatrixRead::routeReported, this, &CMatrixDlg::showRoute);
    connect(read, &MatrixRead::arcReported, this, &CMatrixDlg::showArc);
    runCommand(std::move(hold), read);
    // The presets file is read while the first query is on the line.
    reloadPresets();
}

void CMatrixDlg::runCommand(Hold hold, Operation* op)
{
    presenter_.run(std::move(hold), op, [this](Outcome outcome, Hold held) {
        if (outcome == Outcome::TimedOut)
            presenter_.timeOut(std::move(held), /*closeBusy=*/false);
    });
}

void CMatrixDlg::route(Hold hold, int input, int output)
{
    auto* op = new RouteSet(presenter_.session(), input, output);
    connect(op, &RouteSet::routed, this, [this](int i, int o) { showRoute(o, i); });
    runCommand(std::move(hold), op);
}

void CMatrixDlg::inputClicked(int output, int input)
{
    if (takeMode_) {
        // A second click on the preselected input, or a click on the
        // confirmed one, leaves the output as it is.
        preselect(output, input == preselected(output) || input == current_[std::size_t(output - 1)] ? 0 : input);
        return;
    }
    if (!mayChange(output))
        return;
    Hold hold = presenter_.acquire();
    if (!hold)
        return;
    route(std::move(hold), input, output);
}

void CMatrixDlg::previousClicked(int output)
{
    if (takeMode_) {
        // From the preselected input, else the confirmed one; 1 steps back to 8.
        const int from = preselected(output) ? preselected(output) : current_[std::size_t(output - 1)];
        const int to = from <= 1 || from > kInputs ? kInputs : from - 1;
        preselect(output, to == current_[std::size_t(output - 1)] ? 0 : to);
        return;
    }
    if (!mayChange(output))
        return;
    Hold hold = presenter_.acquire();
    if (!hold)
        return;
    // Input 1 steps back to 8. The adjusted value stays until the switch
    // reports the new route, so an unanswered step leaves 9 behind.
    int& v = current_[std::size_t(output - 1)];
    if (v <= 1)
        v = kInputs + 1;
    route(std::move(hold), v - 1, output);
}

void CMatrixDlg::nextClicked(int output)
{
    if (takeMode_) {
        const int from = preselected(output) ? preselected(output) : current_[std::size_t(output - 1)];
        const int to = from >= kInputs || from < 1 ? 1 : from + 1;
        preselect(output, to == current_[std::size_t(output - 1)] ? 0 : to);
        return;
    }
    if (!mayChange(output))
        return;
    Hold hold = presenter_.acquire();
    if (!hold)
        return;
    // Input 8 steps on to 1; an unanswered step leaves 0 behind.
    int& v = current_[std::size_t(output - 1)];
    if (v >= kInputs)
        v = 0;
    route(std::move(hold), v + 1, output);
}

void CMatrixDlg::arcClicked(int output, bool on)
{
    if (!mayChange(output))
        return;
    Hold hold = presenter_.acquire();
    if (!hold)
        return;
    auto* op = new ArcSet(presenter_.session(), output, on);
    connect(op, &ArcSet::arcReported, this, &CMatrixDlg::showArc);
    runCommand(std::move(hold), op);
}

// --- take mode ---------------------------------------------------------------------

bool CMatrixDlg::mayPreselect(int output) { return mayChange(output); }

// --- locks ---------------------------------------------------------------------------

bool CMatrixDlg::mayChange(int output, QString* why)
{
    const LockShown& lock = locks_[std::size_t(output - 1)];
    // Alone, a lock guards the output against this panel's own clicks;
    // through a hub, against everyone but its holder.
    if (lock.holder.isEmpty() || (sharedLocks() && lock.mine))
        return true;
    const QString letter(QLatin1Char(outputLetter(output)));
    const QString text = sharedLocks() ? tr8(lockText::LockedBy).arg(letter, lock.holder) : tr8(lockText::LockedHere).arg(letter);
    if (why)
        *why = text;
    else
        emit statusMessage(text);
    return false;
}

void CMatrixDlg::lockClicked(int output)
{
    const LockShown& lock = locks_[std::size_t(output - 1)];
    if (sharedLocks()) {
        // The hub says what came of it (showLock); a lock of another's stays,
        // and the hub's refusal reaches the status line.
        lockRequest_(output, lock.holder.isEmpty());
        return;
    }
    if (lock.holder.isEmpty())
        showLock(output, tr8(lockText::ThisPanel), true);
    else
        showLock(output, QString(), false);
}

void CMatrixDlg::setSharedLocks(std::function<void(int, bool)> request)
{
    if (bool(request) != sharedLocks())
        for (int o = 1; o <= kOutputs; ++o)
            showLock(o, QString(), false);
    lockRequest_ = std::move(request);
}

void CMatrixDlg::showLock(int output, const QString& holder, bool mine)
{
    if (!isOutput(output))
        return;
    locks_[std::size_t(output - 1)] = {holder, mine};
    setChecked(ctl::Lock[output - 1], !holder.isEmpty());
    // Pressed and bold while locked: seen at a glance beside the caption's mark.
    auto* toggle = controlAs<QPushButton>(ctl::Lock[output - 1]);
    QFont f = toggle->font();
    f.setBold(!holder.isEmpty());
    toggle->setFont(f);
    updateCaption(output);
    // A route preselected for an output that is now locked against this panel goes.
    QString why;
    if (preselected(output) && !mayChange(output, &why))
        preselect(output, 0);
}

void CMatrixDlg::preselect(int output, int input)
{
    if (input != 0 && !mayPreselect(output))
        return;
    const int before = preselected(output);
    preselected_[std::size_t(output - 1)] = input;
    for (int i : {before, input}) {
        if (i < 1 || i > kInputs)
            continue;
        static_cast<InputButton*>(controlAs<QPushButton>(ctl::Input[output - 1][i - 1]))->setPreselected(i == input);
        describeInput(output, i);
    }
    updateTakeButtons();
}

void CMatrixDlg::updateTakeButtons()
{
    if (!takeButton_)
        return;
    const bool any = std::any_of(preselected_.begin(), preselected_.end(), [](int i) { return i != 0; });
    takeButton_->setEnabled(takeMode_ && any);
    clearButton_->setEnabled(takeMode_ && any);
}

void CMatrixDlg::setTakeMode(bool on)
{
    takeMode_ = on;
    if (!on)
        clearTakeClicked();
    updateTakeButtons();
}

void CMatrixDlg::clearTakeClicked()
{
    for (int o = 1; o <= kOutputs; ++o)
        preselect(o, 0);
}

void CMatrixDlg::takeClicked()
{
    Routing target;
    for (int o = 1; o <= kOutputs; ++o)
        target.inputs[std::size_t(o - 1)] = preselected(o);
    if (routingSteps(target, Routing{}).empty())
        return;
    Hold hold = presenter_.acquire();
    if (!hold)
        return;
    // Every preselected route goes out, whatever the switch reports now: the
    // operator chose it. Each leaves the preselection once acknowledged;
    // what was not sent stays preselected.
    auto* op = new PresetRecall(presenter_.session(), target, Routing{});
    connect(op, &PresetRecall::routed, this, [this](int i, int o) {
        showRoute(o, i);
        if (isOutput(o) && preselected(o) == i)
            preselect(o, 0);
    });
    presenter_.run(std::move(hold), op, [this, op](Outcome outcome, Hold) {
        if (outcome != Outcome::TimedOut && outcome != Outcome::Refused)
            return;
        const QString why = outcome == Outcome::TimedOut ? text::TimeOut : tr8(takeText::RouteRefused);
        presenter_.popups().showMessage(
            tr8(takeText::TakeStopped).arg(QString(QLatin1Char(outputLetter(op->stoppedAt()))), why));
    });
}

// --- presets -----------------------------------------------------------------------

QString CMatrixDlg::presetKey() const { return switchKey_ ? switchKey_() : QString(); }

void CMatrixDlg::reportDamage()
{
    // Once: the file stays as it is until the operator mends or removes it.
    if (damageReported_)
        return;
    damageReported_ = true;
    presenter_.popups().showMessage(tr8(presetText::PresetsDamaged).arg(presets_.error()));
}

void CMatrixDlg::reloadPresets()
{
    if (!presets_.load())
        QMetaObject::invokeMethod(this, [this] { reportDamage(); }, Qt::QueuedConnection);
    const QString selected = presetList_->currentRow() >= 0 && presetList_->currentRow() < shownPresets_.size()
                                 ? shownPresets_[presetList_->currentRow()].name
                                 : QString();
    shownPresets_ = presets_.presets(presetKey());
    const QSignalBlocker block(presetList_);
    presetList_->clear();
    for (const Preset& p : shownPresets_) {
        auto* item = new QListWidgetItem(p.name, presetList_);
        QStringList routes;
        for (int o = 1; o <= kOutputs; ++o)
            routes << QStringLiteral("%1: IN%2%3")
                          .arg(outputLetter(o))
                          .arg(p.routing.inputs[std::size_t(o - 1)])
                          .arg(p.routing.arc[std::size_t(o - 1)].value_or(false) ? QStringLiteral(", ARC") : QString());
        item->setToolTip(routes.join(QLatin1Char('\n')));
        if (p.name == selected)
            presetList_->setCurrentItem(item);
    }
    updateActive();
}

int CMatrixDlg::activePreset() const
{
    if (!reported_.complete())
        return -1;
    for (int row = 0; row < shownPresets_.size(); ++row)
        if (shownPresets_[row].routing == reported_)
            return row;
    return -1;
}

void CMatrixDlg::updateActive()
{
    if (!presetList_)
        return;
    // Every preset equal to the routing is active (two may hold the same one).
    for (int row = 0; row < presetList_->count() && row < shownPresets_.size(); ++row) {
        QListWidgetItem* item = presetList_->item(row);
        const bool active = reported_.complete() && shownPresets_[row].routing == reported_;
        QFont f = presetList_->font();
        f.setBold(active);
        item->setFont(f);
        item->setText(active ? QStringLiteral("\u2713 ") + shownPresets_[row].name : shownPresets_[row].name);
        item->setData(Qt::AccessibleTextRole,
                      active ? shownPresets_[row].name + tr8(presetText::ActiveSuffix) : shownPresets_[row].name);
    }
}

bool CMatrixDlg::savePresets()
{
    if (presets_.save())
        return true;
    presenter_.popups().showMessage(tr8(presetText::PresetsNotSaved).arg(presets_.error()));
    return false;
}

void CMatrixDlg::savePresetClicked()
{
    if (presets_.damaged()) {
        damageReported_ = false;
        reportDamage();
        return;
    }
    const QString name = PresetStore::cleanName(presetName_->text());
    if (name.isEmpty()) {
        presenter_.popups().showMessage(tr8(presetText::BadPresetName));
        return;
    }
    if (!reported_.complete()) {
        presenter_.popups().showMessage(tr8(presetText::RoutingNotKnown));
        return;
    }
    // Others (talvane-ctl, another panel) may have written the file since.
    if (!presets_.load()) {
        reloadPresets();
        return;
    }
    if (!presets_.put(presetKey(), {name, reported_})) {
        // The list shows the presets that fill it, whoever saved them.
        reloadPresets();
        presenter_.popups().showMessage(tr8(presetText::TooManyPresets).arg(PresetStore::kMaxPresets));
        return;
    }
    if (!savePresets())
        return;
    reloadPresets();
    for (int row = 0; row < shownPresets_.size(); ++row)
        if (shownPresets_[row].name == name)
            presetList_->setCurrentRow(row);
}

void CMatrixDlg::deletePresetClicked()
{
    const int row = presetList_->currentRow();
    if (row < 0 || row >= shownPresets_.size())
        return;
    const QString name = shownPresets_[row].name;
    if (!presets_.load()) {
        reloadPresets();
        return;
    }
    if (presets_.remove(presetKey(), name))
        savePresets();
    reloadPresets();
}

void CMatrixDlg::recallClicked()
{
    const int row = presetList_->currentRow();
    if (row < 0 || row >= shownPresets_.size())
        return;
    // Locked outputs are left as they are, and the status line says which.
    Routing target = shownPresets_[row].routing;
    QStringList skipped;
    for (int o = 1; o <= kOutputs; ++o) {
        const std::size_t k = std::size_t(o - 1);
        QString why;
        const bool differs = target.inputs[k] != reported_.inputs[k] || (target.arc[k] && target.arc[k] != reported_.arc[k]);
        if (differs && !mayChange(o, &why)) {
            target.inputs[k] = 0;
            target.arc[k].reset();
            skipped << why;
        }
    }
    Hold hold = presenter_.acquire();
    if (!hold)
        return;
    if (!skipped.isEmpty())
        emit statusMessage(tr8(lockText::RecallSkipped).arg(skipped.join(QStringLiteral("; "))));
    auto* op = new PresetRecall(presenter_.session(), target, reported_);
    connect(op, &PresetRecall::routed, this, [this](int i, int o) { showRoute(o, i); });
    connect(op, &PresetRecall::arcReported, this, &CMatrixDlg::showArc);
    presenter_.run(std::move(hold), op, [this, op](Outcome outcome, Hold) {
        // The box may have been open already: the switch is free either way.
        if (outcome == Outcome::TimedOut)
            presenter_.popups().showMessage(tr8(presetText::RecallStopped).arg(QString(QLatin1Char(outputLetter(op->stoppedAt()))), text::TimeOut));
    });
}

Operation* CMatrixDlg::followRead()
{
    auto* read = new MatrixRead(presenter_.session(), Purpose::PageEntry);
    connect(read, &MatrixRead::routeReported, this, &CMatrixDlg::showRoute);
    connect(read, &MatrixRead::arcReported, this, &CMatrixDlg::showArc);
    return read;
}

}  // namespace talvane
