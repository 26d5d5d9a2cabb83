#include "generalpage.h"

#include <QCheckBox>
#include <QComboBox>
#include <QEvent>
#include <QLabel>
#include <QPushButton>
#include <QSignalBlocker>
#include <QTime>

#include <algorithm>
#include <map>
#include <memory>

#include "app/controlids.h"
#include "app/mainwindow.h"
#include "dialogs/popups.h"
#include "link/serialport.h"
#include "ops/limits.h"
#include "ops/power.h"
#include "ops/status.h"
#include "protocol/commands.h"

namespace talvane {

namespace {

const QString kComPrefix = QStringLiteral("COM");
// A port's name goes on a second status line, smaller, in the gap before the next.
constexpr qreal kNameLineScale = 0.85;
const char kStaleProperty[] = "stale";
const QString kFriendlyComMark = QStringLiteral("(COM");

// The General page's entry query: 7 s, not resent.

}  // namespace

int parsePortNumber(const QString& digits)
{
    const int length = int(digits.size());
    if (length < 1 || length > 3)
        return 0;
    int value = 0;
    for (QChar c : digits)
        value = value * 10 + (c >= QLatin1Char('0') && c <= QLatin1Char('9') ? c.unicode() - '0' : 0);
    return value % 256;
}

int portNumberInFriendlyName(const QString& friendlyName)
{
    const int start = int(friendlyName.indexOf(kFriendlyComMark));
    if (start < 0)
        return -1;
    const int from = start + int(kFriendlyComMark.size());
    const int end = int(friendlyName.indexOf(QLatin1Char(')'), from));
    return parsePortNumber(end < 0 ? friendlyName.mid(from) : friendlyName.mid(from, end - from));
}

QString GeneralPage::inputStatusText(int input, bool connected)
{
    return QStringLiteral("HDMI IN%1: %2").arg(input).arg(connected ? QStringLiteral("Connect") : QStringLiteral("Disconnect"));
}

QString GeneralPage::outputStatusText(int output, bool connected)
{
    return QStringLiteral("HDMI OUT%1: %2")
        .arg(outputLetter(output))
        .arg(connected ? QStringLiteral("Connect") : QStringLiteral("Disconnect"));
}

GeneralPage::GeneralPage(CTalvaneDlg& window, Presenter& presenter)
    : window_(window)
    , presenter_(presenter)
    , connection_(presenter.connection())
    , popups_(presenter.popups())
    , enumerate_([](std::vector<SerialPortRecord>& out, QString& error, QString& hint) {
        return enumerateSerialPorts(out, error, hint);
    })
{
    auto onClick = [this](int id, void (GeneralPage::*action)()) {
        connect(window_.controlAs<QPushButton>(id), &QPushButton::clicked, this, action);
    };
    onClick(ctl::Connect, &GeneralPage::connectClicked);
    onClick(ctl::Status, &GeneralPage::statusClicked);
    onClick(ctl::ClearStatus, &GeneralPage::clearStatus);
    onClick(ctl::FactoryReset, &GeneralPage::factoryResetClicked);
    onClick(ctl::Reboot, &GeneralPage::rebootClicked);
    onClick(ctl::ClearLogs, &GeneralPage::clearLogsClicked);
    onClick(ctl::ExtFactoryReset, &GeneralPage::extendedFactoryResetClicked);
    // Check boxes act on toggled: a click and an accessibility Toggle action
    // both emit it, while the page's own setChecked() calls are blocked. The
    // mark goes back at once; the action runs once the click has returned,
    // because a check box does not redraw itself while its click is still
    // running, and the action may wait in a popup for the reply that sets it.
    auto onToggle = [this](int id, void (GeneralPage::*action)(bool)) {
        connect(checkBox(id), &QCheckBox::toggled, this, [this, id, action](bool checked) {
            setChecked(id, !checked);
            QMetaObject::invokeMethod(this, [this, action, checked] { (this->*action)(checked); }, Qt::QueuedConnection);
        });
    };
    onToggle(ctl::EnableBeep, &GeneralPage::beepToggled);
    onToggle(ctl::PowerOn, &GeneralPage::powerToggled);
    // The list follows the ports' changes while it is enabled (COM mode, no
    // port open), and costs nothing otherwise.
    QComboBox* list = window_.controlAs<QComboBox>(ctl::PortList);
    connect(&portWatcher_, &PortWatcher::changed, this, &GeneralPage::refreshPortList);
    list->installEventFilter(this);
    portWatcher_.setActive(list->isEnabled());

    QCheckBox* reconnect = checkBox(ctl::Reconnect);
    setChecked(ctl::Reconnect, window_.settings().reconnect());
    connection_.setReconnect(window_.settings().reconnect());
    connect(reconnect, &QCheckBox::toggled, this, [this](bool on) {
        window_.settings().setReconnect(on);
        connection_.setReconnect(on);
    });
    followConnection();
}

void GeneralPage::followConnection()
{
    using Kind = Connection::LinkKind;
    connect(&connection_, &Connection::opened, this, [this](bool reconnected) {
        if (connection_.kind() != Kind::Serial)
            return;
        closePortList(true);
        const QString name = connection_.address().shortName();
        window_.settings().setLastPort(name);
        if (reconnected) {
            QComboBox* list = window_.controlAs<QComboBox>(ctl::PortList);
            const int index = list->findText(name);
            if (index >= 0)
                list->setCurrentIndex(index);
        }
    });
    connect(&connection_, &Connection::lost, this, [this] {
        markLinkValuesStale();
        // The list opens again, and its watcher with it: the next change refreshes it.
        if (connection_.kind() == Kind::Serial)
            closePortList(false);
    });
    connect(&connection_, &Connection::closed, this, [this](Kind kind, bool wasOpen) {
        if (kind == Kind::Serial)
            closePortList(false);
        if (wasOpen)
            markLinkValuesStale();
    });
    // A hub that held the port did not take the connection.
    connect(&connection_, &Connection::openFailed, this, [this] {
        if (connection_.kind() == Kind::Serial)
            popups_.showMessage(text::OpenComFailed);
    });
    connect(&connection_, &Connection::powerReported, this, [this](bool on) {
        showPower(on);
        if (!on)
            poweredOff();
    });
    connect(&connection_, &Connection::beeperReported, this, [this](bool on) { showChecked(ctl::EnableBeep, on); });
}

bool GeneralPage::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::EnabledChange && watched == window_.control(ctl::PortList))
        portWatcher_.setActive(static_cast<QWidget*>(watched)->isEnabled());
    return QObject::eventFilter(watched, event);
}

QLabel* GeneralPage::statusLabel(int id) const { return window_.controlAs<QLabel>(id); }

void GeneralPage::setPortLabels(const PortLabels& labels)
{
    labels_ = labels;
    // The lines shown say the new names at once, greyed as they were.
    for (const auto& [id, connected] : shownStatus_) {
        const bool stale = isStale(id);
        const bool input = id < ctl::StatusOutputA;
        showStatus(input, id - (input ? ctl::StatusInput1 : ctl::StatusOutputA) + 1, connected);
        setStale(id, stale);
    }
}

void GeneralPage::setStatusText(int id, const QString& text, const QString& name)
{
    setStale(id, false);
    if (text.isEmpty())
        shownStatus_.erase(id);
    // A screen reader reads the label's name: the status itself, or which
    // port the label stands for while it is empty.
    const int index = id - ctl::StatusInput1;
    const QString empty = index < kPortCount ? QStringLiteral("HDMI IN%1 status").arg(index + 1)
                                             : QStringLiteral("HDMI OUT%1 status").arg(outputLetter(index - kPortCount + 1));
    QLabel* label = statusLabel(id);
    const int plainHeight = plainHeights_.emplace(id, label->height()).first->second;
    if (name.isEmpty()) {
        label->setTextFormat(Qt::PlainText);
        label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
        label->setContentsMargins(0, 0, 0, 0);
        label->resize(label->width(), plainHeight);
        label->setText(text);
        label->setToolTip(QString());
        label->setAccessibleName(text.isEmpty() ? empty : text);
        return;
    }
    // The name on a smaller second line, in the gap before the next status
    // line; a long one is cut short, the tooltip and the name hold it whole.
    QFont small = label->font();
    small.setPointSizeF(small.pointSizeF() * kNameLineScale);
    const QString shownName = QFontMetrics(small).elidedText(name, Qt::ElideRight, label->width());
    label->setTextFormat(Qt::RichText);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    // The status stays where it stands on a line without a name.
    const int top = std::max(0, (plainHeight - label->fontMetrics().height()) / 2);
    label->setContentsMargins(0, top, 0, 0);
    label->resize(label->width(), plainHeight + QFontMetrics(small).height());
    label->setText(text.toHtmlEscaped() + QStringLiteral("<br><span style=\"font-size:%1pt\">%2</span>")
                                              .arg(small.pointSizeF())
                                              .arg(shownName.toHtmlEscaped()));
    const QString whole = text + QStringLiteral(" \u00B7 ") + name;
    label->setToolTip(whole);
    label->setAccessibleName(whole);
}
QCheckBox* GeneralPage::checkBox(int id) const { return window_.controlAs<QCheckBox>(id); }

void GeneralPage::showChecked(int id, bool on)
{
    setChecked(id, on);
    setStale(id, false);
}

bool GeneralPage::isStale(int id) const { return window_.control(id)->property(kStaleProperty).toBool(); }

void GeneralPage::setStale(int id, bool stale)
{
    QWidget* w = window_.control(id);
    if (isStale(id) == stale)
        return;
    w->setProperty(kStaleProperty, stale);
    if (stale) {
        // Greyed like disabled text, but still enabled: a click still acts.
        QPalette pal = w->palette();
        const QColor grey = pal.color(QPalette::Disabled, QPalette::WindowText);
        for (auto group : {QPalette::Active, QPalette::Inactive})
            for (auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
                pal.setColor(group, role, grey);
        w->setPalette(pal);
        w->setAccessibleDescription(QString::fromUtf8(caption::NotLive));
    } else {
        w->setPalette(QPalette());
        w->setAccessibleDescription(QString());
    }
}

void GeneralPage::markLinkValuesStale()
{
    for (int i = 0; i < ctl::StatusLabelCount; ++i)
        setStale(ctl::StatusInput1 + i, true);
    setStale(ctl::PowerOn, true);
    setStale(ctl::EnableBeep, true);
}

void GeneralPage::setChecked(int id, bool on)
{
    QCheckBox* box = checkBox(id);
    const QSignalBlocker block(box);
    box->setChecked(on);
}

// --- port list and connection -----------------------------------------------

void GeneralPage::refreshPortList()
{
    std::vector<SerialPortRecord> found;
    QString error;
    QString hint;
    if (!enumerate_(found, error, hint))
        return;  // keep the list as it is
    portWatcher_.setNodes(presentSerialDevices());
    records_ = found;
    // Whatever the list shows, a port that came back is opened again.
    struct AfterRefresh {
        GeneralPage* page;
        ~AfterRefresh() { page->connection_.portsListed(page->records_); }
    } afterRefresh{this};
    // Why ports may be missing (no permission), on the list itself.
    QComboBox* list = window_.controlAs<QComboBox>(ctl::PortList);
    if (list->toolTip() != hint) {
        list->setToolTip(hint);
        list->setAccessibleDescription(hint);
    }

    std::vector<std::uint8_t> numbers;
    std::map<int, QString> tooltips;  // friendly name and device path per port
    std::map<int, QString> throughHub;  // "through the hub at ..." for a port a hub holds
    lastPorts_.clear();
    for (const SerialPortRecord& r : found) {
        if (int(numbers.size()) >= kMaxPorts)
            break;
        const int n = portNumberInFriendlyName(r.friendlyName);
        if (n < 0)
            continue;
        numbers.push_back(std::uint8_t(n));
        QString tip = r.friendlyName + QLatin1Char('\n') + r.devicePath;
        if (!r.hub.isEmpty()) {
            throughHub[n] = SwitchAddress::throughHub(r.hub);
            tip += QLatin1Char('\n') + throughHub[n];
        }
        tooltips.emplace(n, tip);
        lastPorts_[n] = r.portDescription;
    }

    // Tooltips follow every refresh: a port may come back on another device
    // path, or be taken or left by a hub.
    auto updateTooltips = [&] {
        for (int i = 0; i < list->count(); ++i) {
            const int n = parsePortNumber(list->itemText(i).mid(3));
            list->setItemData(i, tooltips[n], Qt::ToolTipRole);
            list->setItemData(i, throughHub[n], Qt::AccessibleDescriptionRole);
        }
    };
    if (numbers.empty()) {
        list->clear();
        previousPorts_.clear();
        return;
    }
    std::stable_sort(numbers.begin(), numbers.end());
    if (numbers == previousPorts_) {
        updateTooltips();
        return;
    }

    auto entryText = [](int n) { return kComPrefix + QString::number(n); };

    const int selectedIndex = list->currentIndex();
    const int selected = selectedIndex >= 0 ? parsePortNumber(list->currentText().mid(3)) : -1;
    const auto kept = std::find(numbers.begin(), numbers.end(), std::uint8_t(selected & 0xFF));
    if (selected >= 0 && kept != numbers.end()) {
        // Rebuild around the selected entry so that it stays selected.
        for (int i = list->count() - 1; i >= 0; --i)
            if (i != selectedIndex)
                list->removeItem(i);
        int before = 0;
        for (auto it = numbers.begin(); it != numbers.end(); ++it) {
            if (it == kept)
                continue;
            if (it < kept)
                list->insertItem(before++, entryText(*it));
            else
                list->addItem(entryText(*it));
        }
        list->setCurrentIndex(before);
    } else {
        list->clear();
        for (std::uint8_t n : numbers)
            list->addItem(entryText(n));
        list->setCurrentIndex(preferredIndex());
    }
    updateTooltips();
    previousPorts_ = numbers;
}

int GeneralPage::preferredIndex() const
{
    QComboBox* list = window_.controlAs<QComboBox>(ctl::PortList);
    const int last = list->findText(window_.settings().lastPort());
    if (last >= 0)
        return last;
    // A registered port or a USB adapter is far likelier the switch than a
    // built-in COM1 (often no more than a header on the board).
    for (int i = 0; i < list->count(); ++i) {
        const int n = parsePortNumber(list->itemText(i).mid(3));
        for (const SerialPortRecord& r : records_)
            if (r.comNumber == n && (r.usb || n > com::kLastKernel))
                return i;
    }
    return 0;
}

void GeneralPage::closePortList(bool open)
{
    window_.controlAs<QPushButton>(ctl::Connect)->setText(QString::fromLatin1(open ? caption::Disconnect : caption::Connect));
    window_.control(ctl::PortList)->setEnabled(!open);
}

void GeneralPage::connectClicked()
{
    if (connection_.link(Connection::LinkKind::Serial)->isOpen()) {
        connection_.close();
        return;
    }
    QComboBox* list = window_.controlAs<QComboBox>(ctl::PortList);
    const int number = parsePortNumber(list->currentText().mid(3));
    const auto known = lastPorts_.find(number);
    const SwitchAddress port = SwitchAddress::serial(number, known != lastPorts_.end() ? known->second : QString());
    // The connection greets the switch once the port is open (through its
    // hub, once the hub has taken the connection).
    const Connection::OpenResult result = connection_.openSerial(port);
    if (result != Connection::OpenResult::Opened && result != Connection::OpenResult::ThroughHub)
        popups_.showMessage(text::OpenComFailed);
}

// --- what the switch reports ---------------------------------------------------

void GeneralPage::enter(Hold hold)
{
    // The entry query is guarded, so a switch that never answers cannot
    // leave the program busy for good.
    auto* read = new PowerStateRead(presenter_.session(), Purpose::PageEntry);
    auto on = std::make_shared<bool>(false);
    connect(read, &PowerStateRead::powerReported, this, [this, on](bool reported) {
        *on = reported;
        showPower(reported);
    });
    presenter_.run(std::move(hold), read, [this, on](Outcome outcome, Hold held) {
        if (outcome == Outcome::TimedOut) {
            presenter_.timeOut(std::move(held), /*closeBusy=*/false);
            return;
        }
        if (*on) {
            held.end();
            readBeep();
            return;
        }
        poweredOff();  // the switch is free once the box is closed
    });
}

void GeneralPage::showPower(bool on) { showChecked(ctl::PowerOn, on); }

void GeneralPage::poweredOff()
{
    popups_.closeBusy();
    popups_.showMessage(text::PowerOff);
}

void GeneralPage::readBeep(std::function<void()> then)
{
    auto* read = new BeepStateRead(presenter_.session());
    connect(read, &BeepStateRead::beepReported, this, [this, then](bool on) {
        showChecked(ctl::EnableBeep, on);
        if (then)
            then();
    });
    presenter_.runner().runBackground(read);
}

void GeneralPage::showStatus(bool input, int port, bool connected)
{
    const int id = (input ? ctl::StatusInput1 : ctl::StatusOutputA) + port - 1;
    const QString& name = (input ? labels_.inputs : labels_.outputs)[std::size_t(port - 1)];
    const QString text = input ? inputStatusText(port, connected) : outputStatusText(port, connected);
    setStatusText(id, text, name);
    shownStatus_[id] = connected;
}

void GeneralPage::showResultLater(Hold hold, int waitMs, const QString& text, int closeMs, bool releaseAtResult,
                                  std::function<void()> then)
{
    auto held = std::make_shared<Hold>(std::move(hold));
    resultTimer_.start(waitMs, [this, held, text, closeMs, releaseAtResult, then] {
        popups_.setBusyText(text);
        popups_.busyResult();
        if (releaseAtResult)
            held->end();
        resultTimer_.start(closeMs, [this, held, then] {
            popups_.closeBusy();
            if (then)
                then();
            held->end();
        });
    });
}

// --- buttons ------------------------------------------------------------------

void GeneralPage::statusClicked()
{
    Hold hold = presenter_.acquire();
    if (!hold)
        return;
    clearStatus();
    auto* read = new PortStatusRead(presenter_.session());
    connect(read, &PortStatusRead::portReported, this, &GeneralPage::showStatus);
    presenter_.run(std::move(hold), read, [this](Outcome outcome, Hold held) {
        if (outcome == Outcome::TimedOut) {
            presenter_.timeOut(std::move(held));
            return;
        }
        held.end();
        popups_.closeBusy();
    });
    popups_.showBusy(text::GettingStatus);
}

Operation* GeneralPage::followRead()
{
    auto* read = new PortStatusRead(presenter_.session());
    connect(read, &PortStatusRead::portReported, this, &GeneralPage::showStatus);
    return read;
}

void GeneralPage::clearStatus()
{
    for (int i = 0; i < ctl::StatusLabelCount; ++i)
        setStatusText(ctl::StatusInput1 + i, QString());
}

void GeneralPage::beepToggled(bool checked)
{
    // The operator may go on at once (the hold ends here); the answer sets the mark.
    if (!presenter_.acquire())
        return;
    auto* op = new BeepSet(presenter_.session(), checked);
    connect(op, &BeepSet::beepReported, this, [this](bool on) { showChecked(ctl::EnableBeep, on); });
    presenter_.runner().runBackground(op);
}

void GeneralPage::factoryResetClicked()
{
    Hold hold = presenter_.acquire();
    if (!hold)
        return;
    presenter_.run(std::move(hold), new FactoryReset(presenter_.session()), [this](Outcome outcome, Hold held) {
        if (outcome != Outcome::Done) {
            presenter_.timeOut(std::move(held));
            return;
        }
        showChecked(ctl::EnableBeep, true);
        showResultLater(std::move(held), general::FactoryResetResultMs, text::SetSuccessfully,
                        general::FactoryResetCloseMs, true);
    });
    popups_.showBusy(text::Setting);
}

void GeneralPage::rebootClicked()
{
    Hold hold = presenter_.acquire();
    if (!hold)
        return;
    presenter_.run(std::move(hold), new Reboot(presenter_.session()), [this](Outcome outcome, Hold held) {
        if (outcome != Outcome::Done) {
            presenter_.timeOut(std::move(held));
            return;
        }
        showChecked(ctl::PowerOn, true);
        showResultLater(std::move(held), general::RebootResultMs, text::RebootSuccessfully, general::RebootCloseMs,
                        false);
    });
    popups_.showBusy(text::Rebooting);
}

void GeneralPage::powerToggled(bool checked)
{
    Hold hold = presenter_.acquire();
    if (!hold)
        return;
    if (checked) {
        presenter_.run(std::move(hold), new PowerSet(presenter_.session(), true), [this](Outcome outcome, Hold held) {
            if (outcome != Outcome::Done) {
                presenter_.timeOut(std::move(held));
                return;
            }
            showChecked(ctl::PowerOn, true);
            // Once the result has shown, the beeper is read again.
            showResultLater(std::move(held), general::PowerOnResultMs, text::InitializingSuccessfully,
                            general::PowerOnCloseMs, false, [this] { readBeep(); });
        });
        popups_.showBusy(text::Initializing);
        return;
    }
    const int answer = popups_.ask(text::AskPowerOff, /*question=*/false);
    hold.end();
    if (answer != Popups::Ok)
        return;
    auto* op = new PowerSet(presenter_.session(), false);
    connect(op, &Operation::finished, this, [this](Outcome outcome) {
        if (outcome == Outcome::Done)
            showChecked(ctl::PowerOn, false);
    });
    presenter_.runner().runBackground(op);
}

void GeneralPage::clearLogsClicked()
{
    window_.logView().clear();
    // Also the operator's way out of a hold that nothing ends.
    presenter_.runner().forceRelease();
}

void GeneralPage::extendedFactoryResetClicked()
{
    Hold hold = presenter_.acquire();
    if (!hold)
        return;
    if (!popups_.noLongerRemind() && popups_.ask(text::AskFactoryReset, /*question=*/true) != Popups::Ok)
        return;
    auto* op = new ExtendedFactoryReset(presenter_.session());
    connect(op, &ExtendedFactoryReset::beepReported, this, [this](bool on) { showChecked(ctl::EnableBeep, on); });
    presenter_.run(std::move(hold), op, [this](Outcome outcome, Hold held) {
        if (outcome != Outcome::Done) {
            presenter_.timeOut(std::move(held));
            return;
        }
        showResultLater(std::move(held), general::ExtResetResultMs, text::SetSuccessfully, general::ExtResetCloseMs,
                        true);
    });
    popups_.showBusy(text::Setting);
}

}  // namespace talvane
