#include "generalpage.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QSignalBlocker>
#include <QTime>

#include <algorithm>
#include <map>

#include "app/controlids.h"
#include "app/mainwindow.h"
#include "dialogs/popups.h"
#include "link/serialport.h"
#include "protocol/commands.h"
#include "protocol/replies.h"

namespace talvane {

namespace {

const QString kComPrefix = QStringLiteral("COM");
const char kStaleProperty[] = "stale";
const QString kFriendlyComMark = QStringLiteral("(COM");

// The status chain: input 1, output A, input 2, output B, ... output H.
struct StatusStep {
    CommandId query;
    int port;
};
constexpr int kStatusSteps = 2 * kPortCount;
constexpr StatusStep statusStep(int s)
{
    return {s % 2 == 0 ? cmd::InputStatusQuery : cmd::OutputStatusQuery, s / 2 + 1};
}
bool isInputQuery(CommandId id) { return id == cmd::InputStatusQuery; }
// First timer of a step's pair, and the label its answer fills.
int stepTimer(const StatusStep& step)
{
    return isInputQuery(step.query) ? mtimer::StatusInput[step.port - 1] : mtimer::StatusOutput[step.port - 1];
}
int stepLabel(const StatusStep& step)
{
    return (isInputQuery(step.query) ? ctl::StatusInput1 : ctl::StatusOutputA) + step.port - 1;
}
CommandFrame stepQuery(const StatusStep& step)
{
    return isInputQuery(step.query) ? build::inputStatusQuery(step.port) : build::outputStatusQuery(step.port);
}

constexpr int kArcChainOutputs = 4;     // the ARC chains the page carries on cover outputs A..D
constexpr int kFactoryResetInput = 3;   // the extended factory reset starts with input 3 to output 1
constexpr int kFactoryResetRouteInput = 1;

bool isPort(int n) { return n >= 1 && n <= kPortCount; }

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
        .arg(QChar(QLatin1Char(char('A' + output - 1))))
        .arg(connected ? QStringLiteral("Connect") : QStringLiteral("Disconnect"));
}

GeneralPage::GeneralPage(CTalvaneDlg& window, RequestEngine& engine, CSerialPort& port, Popups& popups)
    : window_(window)
    , engine_(engine)
    , port_(port)
    , popups_(popups)
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
    engine_.setReplyHandler(Page::General, this);

    // The list follows the ports' changes while it is enabled (COM mode, no
    // port open), and costs nothing otherwise.
    QComboBox* list = window_.controlAs<QComboBox>(ctl::PortList);
    connect(&portWatcher_, &PortWatcher::changed, this, &GeneralPage::refreshPortList);
    list->installEventFilter(this);
    portWatcher_.setActive(list->isEnabled());
}

bool GeneralPage::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::EnabledChange && watched == window_.control(ctl::PortList))
        portWatcher_.setActive(static_cast<QWidget*>(watched)->isEnabled());
    return QObject::eventFilter(watched, event);
}

QLabel* GeneralPage::statusLabel(int id) const { return window_.controlAs<QLabel>(id); }

void GeneralPage::setStatusText(int id, const QString& text)
{
    setStale(id, false);
    // A screen reader reads the label's name: the status itself, or which
    // port the label stands for while it is empty.
    const int index = id - ctl::StatusInput1;
    const QString empty = index < kPortCount ? QStringLiteral("HDMI IN%1 status").arg(index + 1)
                                             : QStringLiteral("HDMI OUT%1 status").arg(QChar('A' + index - kPortCount));
    QLabel* label = statusLabel(id);
    label->setText(text);
    label->setAccessibleName(text.isEmpty() ? empty : text);
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

void GeneralPage::startCommand(const CommandFrame& command, int timerId, int ms)
{
    engine_.sendCommand(command);
    engine_.timers().arm(timerId, ms);
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
    // Why ports may be missing (no permission), on the list itself.
    QComboBox* list = window_.controlAs<QComboBox>(ctl::PortList);
    if (list->toolTip() != hint) {
        list->setToolTip(hint);
        list->setAccessibleDescription(hint);
    }

    std::vector<std::uint8_t> numbers;
    std::map<int, QString> tooltips;  // friendly name and device path per port
    lastPorts_.clear();
    for (const SerialPortRecord& r : found) {
        if (int(numbers.size()) >= kMaxPorts)
            break;
        const int n = portNumberInFriendlyName(r.friendlyName);
        if (n < 0)
            continue;
        numbers.push_back(std::uint8_t(n));
        tooltips.emplace(n, r.friendlyName + QLatin1Char('\n') + r.devicePath);
        lastPorts_[n] = r.portDescription;
    }

    // Tooltips follow every refresh: a port may come back on another device path.
    auto updateTooltips = [&] {
        for (int i = 0; i < list->count(); ++i)
            list->setItemData(i, tooltips[parsePortNumber(list->itemText(i).mid(3))], Qt::ToolTipRole);
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
        list->setCurrentIndex(0);
    }
    updateTooltips();
    previousPorts_ = numbers;
}

void GeneralPage::closePortList(bool open)
{
    engine_.setSerialOpen(open);
    window_.controlAs<QPushButton>(ctl::Connect)->setText(QString::fromLatin1(open ? caption::Disconnect : caption::Connect));
    window_.control(ctl::PortList)->setEnabled(!open);
}

void GeneralPage::connectClicked()
{
    if (engine_.serialOpen()) {
        port_.RequestStop();
        closePortList(false);
        window_.setLinkStatus(QString::fromUtf8(caption::NotConnected));
        markLinkValuesStale();
        return;
    }
    QComboBox* list = window_.controlAs<QComboBox>(ctl::PortList);
    selectedPort_ = parsePortNumber(list->currentText().mid(3));
    if (!port_.Open(&window_, selectedPort_, serial::kBaudRate, serial::kParity, serial::kDataBits,
                    serial::kStopBits, CSerialPort::kMainWindowEventMask)) {
        popups_.showMessage(text::OpenComFailed);
        return;
    }
    port_.StartMonitorThread();
    engine_.resetAssembler();
    closePortList(true);
    const auto known = lastPorts_.find(selectedPort_);
    const QString what = known != lastPorts_.end() && !known->second.isEmpty()
                             ? known->second + QStringLiteral(", ") + port_.devicePath()
                             : port_.devicePath();
    window_.setLinkStatus(QString::fromUtf8(caption::ConnectedTo)
                              .arg(QStringLiteral("%1%2 (%3)").arg(kComPrefix).arg(selectedPort_).arg(what)));
    // The greeting: no Acquire, no timer; the reply brings power and beeper state.
    engine_.sendCommand(build::powerStateQuery());
}

void GeneralPage::closeSerialLink()
{
    const bool wasOpen = engine_.serialOpen();
    port_.RequestStop();
    closePortList(false);
    if (wasOpen) {
        window_.setLinkStatus(QString::fromUtf8(caption::NotConnected));
        markLinkValuesStale();
    }
}

void GeneralPage::onLinkLost(quintptr wParam)
{
    if (wParam != 1)
        return;
    const bool wasOpen = engine_.serialOpen();
    port_.RequestStop();
    closePortList(false);
    if (wasOpen) {
        window_.setLinkStatus(QString::fromUtf8(caption::LinkLostAt)
                                  .arg(kComPrefix + QString::number(selectedPort_),
                                       QTime::currentTime().toString(QStringLiteral("HH:mm:ss"))));
        markLinkValuesStale();
    }
}

// --- buttons ------------------------------------------------------------------

void GeneralPage::statusClicked()
{
    if (!engine_.acquire())
        return;
    clearStatus();
    startCommand(stepQuery(statusStep(0)), stepTimer(statusStep(0)), mtime::Command);
    popups_.showBusy(text::GettingStatus);
}

void GeneralPage::clearStatus()
{
    for (int i = 0; i < ctl::StatusLabelCount; ++i)
        setStatusText(ctl::StatusInput1 + i, QString());
}

void GeneralPage::beepToggled(bool checked)
{
    if (!engine_.acquire())
        return;
    engine_.sendCommand(build::beepSet(checked));
    engine_.setReady();
}

void GeneralPage::factoryResetClicked()
{
    if (!engine_.acquire())
        return;
    startCommand(build::factoryReset(), mtimer::FactoryReset, mtime::FactoryReset);
    popups_.showBusy(text::Setting);
}

void GeneralPage::rebootClicked()
{
    if (!engine_.acquire())
        return;
    startCommand(build::reboot(), mtimer::Reboot, mtime::Reboot);
    popups_.showBusy(text::Rebooting);
}

void GeneralPage::powerToggled(bool checked)
{
    if (!engine_.acquire())
        return;
    if (checked) {
        engine_.sendCommand(build::powerSet(true));
        engine_.setReady();
        engine_.timers().arm(mtimer::PowerOn, mtime::PowerOn);
        popups_.showBusy(text::Initializing);
        return;
    }
    const int answer = popups_.ask(text::AskPowerOff, /*question=*/false);
    engine_.setReady();
    if (answer == Popups::Ok)
        engine_.sendCommand(build::powerSet(false));
}

void GeneralPage::clearLogsClicked()
{
    engine_.clearLogs();
    engine_.setReady();
}

void GeneralPage::extendedFactoryResetClicked()
{
    if (!engine_.acquire())
        return;
    if (!popups_.noLongerRemind() && popups_.ask(text::AskFactoryReset, /*question=*/true) != Popups::Ok) {
        engine_.setReady();
        return;
    }
    startCommand(build::routeSet(kFactoryResetInput, 1), mtimer::ExtResetRoute[0], mtime::Command);
    popups_.showBusy(text::Setting);
}

// --- replies ------------------------------------------------------------------

void GeneralPage::handleReply(const CommandFrame& f)
{
    const CommandId id = commandIdOf(f);
    TimerHost& timers = engine_.timers();
    auto stopPair = [&timers](int first) {
        timers.stop(first);
        timers.stop(first + 1);
    };

    if (id == cmd::PowerStateQuery) {
        const std::uint8_t state = decode::powerState(f).state;
        if (state == kStateOn) {
            timers.stop(mtimer::PageEntry);
            showChecked(ctl::PowerOn, true);
            engine_.sendCommand(build::beepStateQuery());
            engine_.setReady();
        } else if (state == kStateOff) {
            timers.stop(mtimer::PageEntry);
            showChecked(ctl::PowerOn, false);
            popups_.closeBusy();
            popups_.showMessage(text::PowerOff);
            engine_.setReady();
        }
    } else if (id == cmd::PowerSet) {
        const decode::PowerSetAck a = decode::powerSetAck(f);
        if (a.status != 0)
            return;
        if (a.state == kStateOn) {
            stopPair(mtimer::PowerOn);
            showChecked(ctl::PowerOn, true);
            timers.arm(mtimer::PowerOnResult, mtime::PowerOnResult);
            engine_.setReady();
        } else if (a.state == kStateOff) {
            showChecked(ctl::PowerOn, false);
            engine_.setReady();
        }
    } else if (id == cmd::Reboot) {
        if (decode::ackStatus(f) != 0)
            return;
        stopPair(mtimer::Reboot);
        showChecked(ctl::PowerOn, true);
        timers.arm(mtimer::RebootResult, mtime::RebootResult);
    } else if (id == cmd::FactoryReset) {
        if (decode::ackStatus(f) != 0)
            return;
        stopPair(mtimer::FactoryReset);
        showChecked(ctl::EnableBeep, true);
        engine_.setReady();
        timers.arm(mtimer::FactoryResetResult, mtime::FactoryResetResult);
    } else if (id == cmd::InputStatusQuery || id == cmd::OutputStatusQuery) {
        const decode::PortStatus s = decode::portStatus(f);
        if (isPort(s.port))
            statusStepAnswered(id, s.port, s.connected);
    } else if (id == cmd::BeepStateQuery) {
        const decode::BeepState b = decode::beepState(f);
        if (b.status == 0)
            showChecked(ctl::EnableBeep, b.enabled);
    } else if (id == cmd::BeepSet) {
        const decode::BeepSetAck b = decode::beepSetAck(f);
        if (b.marker == 0 && b.status == 0) {
            showChecked(ctl::EnableBeep, b.on);
        } else if (b.marker == kFactoryResetMarker) {
            showChecked(ctl::EnableBeep, true);
            timers.arm(mtimer::ExtResetResult, mtime::ExtResetResult);
        }
    } else if (id == cmd::EdidSetAll) {
        const decode::EdidResult e = decode::edidResult(f);
        if (e.status == 0 && e.flag == 0 && e.target == kFactoryEdidPos6) {
            stopPair(mtimer::ExtResetEdid);
            engine_.sendCommand(build::beepSetFactoryMarker());
        }
    } else if (id == cmd::RouteSet) {
        const decode::RouteSetAck a = decode::routeSetAck(f);
        if (a.status == 0 && isPort(a.output))
            factoryRouteStep(a.output);
    } else if (id == cmd::ArcSet) {
        const decode::ArcSetAck a = decode::arcSetAck(f);
        if (a.status == 0 && a.output >= 1 && a.output <= kArcChainOutputs && a.state == kStateOff)
            arcStep(a.output);
    } else if (id == cmd::ArcQuery) {
        const int output = decode::arcAnswer(f).output;
        if (output >= 1 && output <= kArcChainOutputs)
            arcQueryStep(output);
    }
}

void GeneralPage::statusStepAnswered(CommandId query, int port, bool connected)
{
    const StatusStep step{query, port};
    TimerHost& timers = engine_.timers();
    const int timer = stepTimer(step);
    timers.stop(timer);
    timers.stop(timer + 1);
    setStatusText(stepLabel(step), isInputQuery(step.query) ? inputStatusText(step.port, connected)
                                                             : outputStatusText(step.port, connected));
    // Input n is step 2(n - 1), output n step 2n - 1.
    const int s = 2 * (step.port - 1) + (isInputQuery(step.query) ? 0 : 1);
    if (s + 1 < kStatusSteps) {
        const StatusStep next = statusStep(s + 1);
        startCommand(stepQuery(next), stepTimer(next), mtime::Command);
        return;
    }
    engine_.setReady();
    popups_.closeBusy();
}

void GeneralPage::factoryRouteStep(int k)
{
    engine_.timers().stop(mtimer::ExtResetRoute[k - 1]);
    engine_.timers().stop(mtimer::ExtResetRoute[k - 1] + 1);
    if (k < kPortCount)
        startCommand(build::routeSet(kFactoryResetRouteInput, k + 1), mtimer::ExtResetRoute[k], mtime::Command);
    else
        startCommand(build::edidFactoryPreset(), mtimer::ExtResetEdid, mtime::Command);
}

void GeneralPage::arcStep(int k)
{
    engine_.timers().stop(mtimer::ExtResetArcOff[k - 1]);
    engine_.timers().stop(mtimer::ExtResetArcOff[k - 1] + 1);
    if (k < kArcChainOutputs)
        startCommand(build::arcSet(k + 1, false), mtimer::ExtResetArcOff[k], mtime::Command);
    else
        startCommand(build::edidFactoryPreset(), mtimer::ExtResetEdid, mtime::Command);
}

void GeneralPage::arcQueryStep(int k)
{
    engine_.timers().stop(mtimer::ArcQuery[k - 1]);
    engine_.timers().stop(mtimer::ArcQuery[k - 1] + 1);
    if (k < kArcChainOutputs) {
        startCommand(build::arcQuery(k + 1), mtimer::ArcQuery[k], mtime::Command);
        return;
    }
    engine_.setReady();
    popups_.closeBusy();
}

}  // namespace talvane
