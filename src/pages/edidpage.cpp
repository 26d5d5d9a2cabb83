#include "edidpage.h"

#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <algorithm>
#include <utility>

#include "dialogs/modal.h"
#include "dialogs/popups.h"
#include "ops/limits.h"
#include "protocol/commands.h"
#include "protocol/edidfile.h"
#include "protocol/replies.h"

namespace talvane {

using namespace edid;

namespace {

const QString kDefaultEdid = QStringLiteral("Default EDID");
const QString kAllInputs = QStringLiteral("All Input");
const QString kSet = QStringLiteral("Set");
const QString kTo = QStringLiteral("to");
// The open-file dialog shows .BIN and .bin files alike: file names are case-sensitive here.
const QString kFileFilter = QStringLiteral("Binary file(*.BIN *.bin)");

// The open-file dialog, over the page.
QString chooseEdidFile(QWidget* page)
{
    QFileDialog dialog(page, QString(), QString(), kFileFilter);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFile);
    if (runModal(dialog) != QDialog::Accepted)
        return QString();
    return dialog.selectedFiles().value(0);
}

QString inputName(int input) { return QStringLiteral("IN%1").arg(input); }
QString outputName(int output) { return QStringLiteral("HDMI OUT%1").arg(outputLetter(output)); }


}  // namespace

QString CEDIDDlg::presetName(int index)
{
    return index >= 0 && index < kEdidPresetCount ? QString::fromLatin1(kEdidPresetNames[index]) : QString();
}

QString CEDIDDlg::edidName(int code)
{
    const decode::EdidCode c = decode::edidCode(code);
    switch (c.kind) {
    case decode::EdidCode::Kind::Preset:
        return presetName(c.index);
    case decode::EdidCode::Kind::CopyOfOutput:
        return QStringLiteral("COPY TX %1").arg(outputLetter(c.index));
    case decode::EdidCode::Kind::Unknown:
        break;
    }
    return QString();
}

CEDIDDlg::CEDIDDlg(Presenter& presenter, QWidget* parent)
    : PageWindow(presenter, parent, kTemplateWidth, kTemplateHeight, /*swallowSpace=*/true)
    , popups_(presenter.popups())
    , chooseFile_([this] { return chooseEdidFile(this); })
{
    setAccessibleName(QStringLiteral("EDID"));
    // Every control is named for screen readers: by its caption, or by the
    // row it belongs to where it has none.
    auto named = [](QWidget* w, const QString& name) {
        w->setAccessibleName(name);
        return w;
    };
    auto label = [&](int id, const QString& text, int x, int y, int w, int h) {
        return named(place(id, new QLabel(text, this), x, y, w, h), text);
    };
    auto button = [&](int id, const QString& text, int x, int y, int w, int h, const QString& description) {
        auto* b = place(id, new QPushButton(text, this), x, y, w, h);
        named(b, text)->setAccessibleDescription(description);
        return b;
    };
    auto targetList = [&](int id, int x, int y, const QString& name) {
        auto* l = place(id, new QComboBox(this), x, y, 62, 13);
        for (int n = 1; n <= kPortCount; ++n)
            l->addItem(inputName(n));
        l->addItem(kAllInputs);
        named(l, name);
    };

    named(place(ctl::ManualGroup, new QGroupBox(QStringLiteral("Manual Mode"), this), 7, 6, 329, 98),
          QStringLiteral("Manual Mode"));

    const QString setMode = QStringLiteral("Set EDID Mode");
    label(ctl::PresetLabel, setMode, 15, 22, 58, 8);
    auto* presets = place(ctl::PresetList, new QComboBox(this), 75, 19, 110, 13);
    // Filled at explicit positions, so the list keeps the switch's numbering.
    for (int i = 0; i < kEdidPresetCount; ++i)
        presets->insertItem(i, presetName(i));
    named(presets, setMode);
    label(ctl::PresetTo, kTo, 191, 22, 10, 8);
    targetList(ctl::PresetTarget, 204, 19, setMode + QLatin1Char(' ') + kTo);
    button(ctl::PresetSet, kSet, 274, 18, 52, 14, setMode);

    const QString copyFrom = QStringLiteral("Copy EDID From");
    label(ctl::CopyLabel, copyFrom, 15, 42, 58, 8);
    auto* outputs = place(ctl::CopySource, new QComboBox(this), 75, 39, 110, 13);
    for (int o = 1; o <= kPortCount; ++o)
        outputs->addItem(outputName(o));
    named(outputs, copyFrom);
    label(ctl::CopyTo, kTo, 191, 42, 10, 8);
    targetList(ctl::CopyTarget, 204, 39, QStringLiteral("Copy EDID to"));
    button(ctl::CopySet, kSet, 274, 38, 52, 14, QStringLiteral("Copy EDID"));

    const QString openEdid = QStringLiteral("Open EDID");
    label(ctl::FileLabel, openEdid, 15, 62, 58, 8);
    button(ctl::FileChoose, QStringLiteral("..."), 75, 59, 18, 14, QStringLiteral("Choose an EDID file"));
    auto* path = place(ctl::FilePath, new QLineEdit(this), 96, 59, 89, 13);
    path->setReadOnly(true);
    named(path, openEdid);
    label(ctl::FileTo, kTo, 191, 62, 10, 8);
    targetList(ctl::FileTarget, 204, 59, openEdid + QLatin1Char(' ') + kTo);
    button(ctl::FileSet, kSet, 274, 58, 52, 14, QStringLiteral("Upload the EDID file"));
    auto* summary = place(ctl::FileSummary, new QLabel(this), 75, 78, 251, 20);
    summary->setWordWrap(true);
    summary->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    summary->setTextInteractionFlags(Qt::TextSelectableByMouse);
    setFileSummary(QString());

    auto* listGroup = new QGroupBox(QStringLiteral("Input EDID List"), this);
    listGroup->setGeometry(dluRect(7, 110, 329, 158));
    listGroup->setAccessibleName(listGroup->title());
    for (int n = 1; n <= kPortCount; ++n) {
        const int y = 125 + 14 * (n - 1);
        label(ctl::LineCaption[n - 1], inputName(n) + QLatin1Char(':'), 20, y, 24, 8);
        place(ctl::Line[n - 1], new QLabel(this), 46, y, 280, 8);
        setLine(n, kDefaultEdid);
    }
    button(ctl::Status, QStringLiteral("Status"), 274, 248, 52, 14, QStringLiteral("Read back the EDID of every input"));
    // The group boxes stay behind the controls they frame.
    listGroup->lower();
    control(ctl::ManualGroup)->lower();

    // A list is read with the label before it.
    const std::pair<int, int> buddies[] = {{ctl::PresetLabel, ctl::PresetList}, {ctl::PresetTo, ctl::PresetTarget},
                                           {ctl::CopyLabel, ctl::CopySource},    {ctl::CopyTo, ctl::CopyTarget},
                                           {ctl::FileLabel, ctl::FilePath},      {ctl::FileTo, ctl::FileTarget}};
    for (const auto& [labelId, buddyId] : buddies)
        controlAs<QLabel>(labelId)->setBuddy(control(buddyId));

    for (int id : {ctl::PresetList, ctl::PresetTarget, ctl::CopySource, ctl::CopyTarget, ctl::FileTarget})
        list(id)->setCurrentIndex(0);

    auto onClick = [this](int id, void (CEDIDDlg::*action)()) {
        connect(controlAs<QPushButton>(id), &QPushButton::clicked, this, action);
    };
    onClick(ctl::PresetSet, &CEDIDDlg::presetSetClicked);
    onClick(ctl::CopySet, &CEDIDDlg::copySetClicked);
    onClick(ctl::FileChoose, &CEDIDDlg::chooseFileClicked);
    onClick(ctl::FileSet, &CEDIDDlg::uploadSetClicked);
    onClick(ctl::Status, &CEDIDDlg::statusClicked);
}

QComboBox* CEDIDDlg::list(int id) const { return controlAs<QComboBox>(id); }

int CEDIDDlg::targetOf(int listId) const
{
    const int index = list(listId)->currentIndex();
    return index == kAllInputsIndex ? 0 : index + 1;
}

void CEDIDDlg::setLine(int input, const QString& text)
{
    // A screen reader reads the line with its input: "IN3: 4K2K60,HD Audio 7.1".
    QLabel* line = controlAs<QLabel>(ctl::Line[input - 1]);
    line->setText(text);
    line->setAccessibleName(inputName(input) + QStringLiteral(": ") + text);
}

void CEDIDDlg::setFileSummary(const QString& summary)
{
    QLabel* label = controlAs<QLabel>(ctl::FileSummary);
    label->setText(summary);
    label->setAccessibleName(summary.isEmpty() ? QStringLiteral("EDID file summary")
                                               : QStringLiteral("EDID file: ") + summary);
}

// --- buttons ------------------------------------------------------------------

void CEDIDDlg::startSetting(Hold hold, EdidSet* op)
{
    presenter_.run(std::move(hold), op, [this](Outcome outcome, Hold held) {
        if (outcome == Outcome::Done)
            showResult(text::SetSuccessfully);
        else if (outcome == Outcome::Refused)
            showResult(text::NoValidData);
        else
            presenter_.timeOut(std::move(held));
    });
    popups_.showBusy(text::Setting);
}

void CEDIDDlg::presetSetClicked()
{
    Hold hold = presenter_.acquire();
    if (!hold)
        return;
    startSetting(std::move(hold), EdidSet::preset(presenter_.session(), std::max(0, list(ctl::PresetList)->currentIndex()),
                                                  targetOf(ctl::PresetTarget)));
}

void CEDIDDlg::copySetClicked()
{
    Hold hold = presenter_.acquire();
    if (!hold)
        return;
    startSetting(std::move(hold),
                 EdidSet::copy(presenter_.session(), list(ctl::CopySource)->currentIndex() + 1, targetOf(ctl::CopyTarget)));
}

void CEDIDDlg::uploadSetClicked()
{
    Hold hold = presenter_.acquire();
    if (!hold)
        return;
    if (controlAs<QLineEdit>(ctl::FilePath)->text().isEmpty())
        return;  // no file chosen: nothing to send
    EdidSet::Block block;
    std::copy_n(edidBuffer_.begin(), block.size(), block.begin());
    startSetting(std::move(hold), EdidSet::upload(presenter_.session(), block, targetOf(ctl::FileTarget)));
}

void CEDIDDlg::chooseFileClicked()
{
    // Only between exchanges; choosing sends nothing.
    if (presenter_.busy())
        return;
    const QString path = chooseFile_ ? chooseFile_() : QString();
    if (!path.isEmpty())
        loadFile(path);
}

void CEDIDDlg::loadFile(const QString& path)
{
    // A file longer than the longest valid one is a bad EDID file like any other.
    const SmallFile file = readSmallFile(path, edidfile::kMaxFileSize);
    if (!file.ok()) {
        if (file.refusal == FileRefusal::TooLarge)
            showRejection(path, QStringLiteral("more than %1 bytes").arg(edidfile::kMaxFileSize));
        popups_.showMessage(refusalText(file.refusal, text::BadEdidFile));
        return;
    }
    const QByteArray& bytes = file.bytes;
    const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.constData());
    const auto size = static_cast<std::size_t>(bytes.size());
    // Checked before it is copied: a rejected file leaves the last accepted
    // one in the buffer, the one the path box still shows.
    const edidfile::Verdict verdict = edidfile::check(data, size);
    if (verdict != edidfile::Verdict::Accepted) {
        showRejection(path, QString::fromStdString(edidfile::reason(verdict, data, size)));
        popups_.showMessage(text::BadEdidFile);
        return;
    }
    edidBuffer_.fill(0);
    std::copy(data, data + size, edidBuffer_.begin() + 1);
    auto* box = controlAs<QLineEdit>(ctl::FilePath);
    const QString full = QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath());
    box->setText(full);
    box->setToolTip(full);
    loadedSummary_ = QString::fromStdString(edidfile::describe(data, size));
    setFileSummary(loadedSummary_);
}

void CEDIDDlg::showRejection(const QString& path, const QString& why)
{
    // The summary line says why; the file loaded before, if any, stays loaded.
    QString summary = QStringLiteral("Bad EDID file \u201C%1\u201D: %2").arg(QFileInfo(path).fileName(), why);
    if (!controlAs<QLineEdit>(ctl::FilePath)->text().isEmpty())
        summary += QStringLiteral("\nStill loaded: ") + loadedSummary_;
    setFileSummary(summary);
}

void CEDIDDlg::statusClicked()
{
    Hold hold = presenter_.acquire();
    if (!hold)
        return;
    readStatus(std::move(hold), Purpose::Operator);
}

void CEDIDDlg::enter(Hold hold) { readStatus(std::move(hold), Purpose::PageEntry); }

void CEDIDDlg::readStatus(Hold hold, Purpose purpose)
{
    auto* read = new EdidRead(presenter_.session(), purpose);
    connect(read, &EdidRead::edidReported, this, &CEDIDDlg::showEdid);
    presenter_.run(std::move(hold), read, [this](Outcome outcome, Hold held) {
        if (outcome == Outcome::TimedOut) {
            presenter_.timeOut(std::move(held));
            return;
        }
        popups_.closeBusy();
    });
}

Operation* CEDIDDlg::followRead()
{
    auto* read = new EdidRead(presenter_.session(), Purpose::PageEntry);
    connect(read, &EdidRead::edidReported, this, &CEDIDDlg::showEdid);
    return read;
}

void CEDIDDlg::showEdid(int input, int code)
{
    // A code that names nothing leaves the line as it was.
    const QString name = edidName(code);
    if (!name.isEmpty())
        setLine(input, name);
}

void CEDIDDlg::showResult(const QString& text)
{
    popups_.setBusyText(text);
    popups_.busyResult();
    closeResult_.start(kResultShownMs, [this] { popups_.closeBusy(); });
}

}  // namespace talvane
