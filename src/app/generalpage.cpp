#include "generalpage.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QSignalBlocker>

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
const QString kFriendlyComMark = QStringLiteral("(COM");

// The status chain: input 1, output A, input 2, output B, ... output H.
struct StatusStep {
    CommandId query;
    int port;
    int timer;  // first timer of the step's pair
    int label;
};
constexpr StatusStep kStatusChain[] = {
    {cmd::InputStatusQuery, 1, 2000, 1026}, {cmd::OutputStatusQuery, 1, 2100, 1034},
    {cmd::InputStatusQuery, 2, 2002, 1027}, {cmd::OutputStatusQuery, 2, 2102, 1035},
    {cmd::InputStatusQuery, 3, 2004, 1028}, {cmd::OutputStatusQuery, 3, 2104, 1036},
    {cmd::InputStatusQuery, 4, 2006, 1029}, {cmd::OutputStatusQuery, 4, 2106, 1037},
    {cmd::InputStatusQuery, 5, 2008, 1030}, {cmd::OutputStatusQuery, 5, 2108, 1038},
    {cmd::InputStatusQuery, 6, 2010, 1031}, {cmd::OutputStatusQuery, 6, 2110, 1039},
    {cmd::InputStatusQuery, 7, 2012, 1032}, {cmd::OutputStatusQuery, 7, 2114, 1040},
    {cmd::InputStatusQuery, 8, 2014, 1033}, {cmd::OutputStatusQuery, 8, 2112, 1041},
};
constexpr int kStatusSteps = int(sizeof kStatusChain / sizeof kStatusChain[0]);

// Extended factory reset: reply k to the route of output k stops `stop` and
// arms `arm` after sending the next command.
struct ChainStep {
    int stop;
    int arm;
};
constexpr ChainStep kFactoryRoute[] = {
    {5002, 5006}, {5006, 5010}, {5010, 5014}, {5014, 5018}, {5018, 5020}, {5020, 5022}, {5022, 5024}, {5024, 5000},
};
constexpr ChainStep kArcOff[] = {{5004, 5008}, {5008, 5012}, {5012, 5016}, {5016, 5000}};
constexpr ChainStep kArcQuery[] = {{2108, 2110}, {2110, 2114}, {2114, 2112}, {2112, 0}};
constexpr int kFactoryResetFirstRoute = 5002;
constexpr int kFactoryResetInput = 3;   // the sequence starts with input 3 to output 1
constexpr int kFactoryResetRouteInput = 1;

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
    // both emit it, while the page's own setChecked() calls are blocked.
    connect(checkBox(ctl::EnableBeep), &QCheckBox::toggled, this, &GeneralPage::beepToggled);
    connect(checkBox(ctl::PowerOn), &QCheckBox::toggled, this, &GeneralPage::powerToggled);
    engine_.setReplyHandler(Page::General, this);
    engine_.setPortListRefresh([this] { refreshPortList(); });
}

QLabel* GeneralPage::statusLabel(int id) const { return window_.controlAs<QLabel>(id); }

void GeneralPage::setStatusText(int id, const QString& text)
{
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
    // Why ports may be missing (no permission), on the list itself.
    QComboBox* list = window_.controlAs<QComboBox>(ctl::PortList);
    if (list->toolTip() != hint) {
        list->setToolTip(hint);
        list->setAccessibleDescription(hint);
    }

    std::vector<std::uint8_t> numbers;
    std::map<int, QString> tooltips;  // friendly name and device path per port
    for (const SerialPortRecord& r : found) {
        if (int(numbers.size()) >= kMaxPorts)
            break;
        const int n = portNumberInFriendlyName(r.friendlyName);
        if (n < 0)
            continue;
        numbers.push_back(std::uint8_t(n));
        tooltips.emplace(n, r.friendlyName + QLatin1Char('\n') + r.devicePath);
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
    if (open)
        engine_.timers().stop(mtimer::PortListRefresh);
    else
        engine_.timers().arm(mtimer::PortListRefresh, mtime::PortListRefresh);
}

void GeneralPage::connectClicked()
{
    if (engine_.serialOpen()) {
        port_.RequestStop();
        closePortList(false);
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
    // The greeting: no Acquire, no timer; the reply brings power and beeper state.
    engine_.sendCommand(build::powerStateQuery());
}

void GeneralPage::onLinkLost(quintptr wParam)
{
    if (wParam != 1)
        return;
    port_.RequestStop();
    closePortList(false);
}

// --- buttons ------------------------------------------------------------------

void GeneralPage::statusClicked()
{
    if (!engine_.acquire())
        return;
    clearStatus();
    startCommand(build::inputStatusQuery(1), kStatusChain[0].timer, mtime::Command);
    popups_.showBusy(text::GettingStatus);
}

void GeneralPage::clearStatus()
{
    for (int i = 0; i < ctl::StatusLabelCount; ++i)
        setStatusText(ctl::StatusInput1 + i, QString());
}

void GeneralPage::beepToggled(bool checked)
{
    setChecked(ctl::EnableBeep, !checked);  // only a reply changes the mark
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
    setChecked(ctl::PowerOn, !checked);
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
    startCommand(build::routeSet(kFactoryResetInput, 1), kFactoryResetFirstRoute, mtime::Command);
    popups_.showBusy(text::Setting);
}

// --- replies ------------------------------------------------------------------

void GeneralPage::handleReply(const CommandFrame& f)
{
    const CommandId id = commandIdOf(f);
    const std::uint8_t p4 = f[pos::P1];
    const std::uint8_t p5 = f[pos::P2];
    const std::uint8_t p6 = f[pos::P3];
    const std::uint8_t p10 = f[pos::P7];
    TimerHost& timers = engine_.timers();
    auto stopPair = [&timers](int even) {
        timers.stop(even);
        timers.stop(even + 1);
    };

    if (id == cmd::PowerStateQuery) {
        if (p4 == kStateOn) {
            timers.stop(mtimer::PageEntry);
            setChecked(ctl::PowerOn, true);
            engine_.sendCommand(build::beepStateQuery());
            engine_.setReady();
        } else if (p4 == kStateOff) {
            timers.stop(mtimer::PageEntry);
            setChecked(ctl::PowerOn, false);
            popups_.closeBusy();
            popups_.showMessage(text::PowerOff);
            engine_.setReady();
        }
    } else if (id == cmd::PowerSet && p4 == 0 && p6 == kStateOn) {
        stopPair(mtimer::PowerOn);
        setChecked(ctl::PowerOn, true);
        timers.arm(mtimer::PowerOnResult, mtime::PowerOnResult);
        engine_.setReady();
    } else if (id == cmd::PowerSet && p4 == 0 && p6 == kStateOff) {
        setChecked(ctl::PowerOn, false);
        engine_.setReady();
    } else if (id == cmd::Reboot && p4 == 0) {
        stopPair(mtimer::Reboot);
        setChecked(ctl::PowerOn, true);
        timers.arm(mtimer::RebootResult, mtime::RebootResult);
    } else if (id == cmd::FactoryReset && p4 == 0) {
        stopPair(mtimer::FactoryReset);
        setChecked(ctl::EnableBeep, true);
        engine_.setReady();
        timers.arm(mtimer::FactoryResetResult, mtime::FactoryResetResult);
    } else if ((id == cmd::InputStatusQuery || id == cmd::OutputStatusQuery) && p4 >= 1 && p4 <= kPortCount) {
        statusStep(f);
    } else if (id == cmd::BeepStateQuery && p4 == 0) {
        setChecked(ctl::EnableBeep, p6 == 0);
    } else if (id == cmd::BeepSet && p10 == 0 && p4 == 0) {
        setChecked(ctl::EnableBeep, p6 == kBeepOnValue);
    } else if (id == cmd::BeepSet && p10 == kFactoryResetMarker) {
        setChecked(ctl::EnableBeep, true);
        timers.arm(mtimer::ExtResetResult, mtime::ExtResetResult);
    } else if (id == cmd::EdidSetAll && p4 == 0 && p5 == 0 && p6 == kFactoryEdidPos6) {
        stopPair(mtimer::ExtResetFirst);
        engine_.sendCommand(build::beepSetFactoryMarker());
    } else if (id == cmd::RouteSet && p4 == 0 && p6 >= 1 && p6 <= kPortCount) {
        factoryRouteStep(p6);
    } else if (id == cmd::ArcSet && p4 == 0 && p6 >= 1 && p6 <= 4 && p10 == kStateOff) {
        arcStep(p6);
    } else if (id == cmd::ArcQuery && p6 >= 1 && p6 <= 4) {
        arcQueryStep(p6);
    }
}

void GeneralPage::statusStep(const CommandFrame& f)
{
    const CommandId id = commandIdOf(f);
    const int port = f[pos::P1];
    int s = 0;
    while (s < kStatusSteps && !(kStatusChain[s].query == id && kStatusChain[s].port == port))
        ++s;
    if (s == kStatusSteps)
        return;
    const StatusStep& step = kStatusChain[s];
    engine_.timers().stop(step.timer);
    engine_.timers().stop(step.timer + 1);
    const bool connected = f[pos::P3] == 0;
    setStatusText(step.label, step.query == cmd::InputStatusQuery ? inputStatusText(port, connected)
                                                                 : outputStatusText(port, connected));
    if (s + 1 < kStatusSteps) {
        const StatusStep& next = kStatusChain[s + 1];
        startCommand(next.query == cmd::InputStatusQuery ? build::inputStatusQuery(next.port)
                                                         : build::outputStatusQuery(next.port),
                     next.timer, mtime::Command);
        return;
    }
    engine_.setReady();
    popups_.closeBusy();
}

void GeneralPage::factoryRouteStep(int k)
{
    const ChainStep& step = kFactoryRoute[k - 1];
    engine_.timers().stop(step.stop);
    engine_.timers().stop(step.stop + 1);
    startCommand(k < kPortCount ? build::routeSet(kFactoryResetRouteInput, k + 1) : build::edidFactoryPreset(),
                 step.arm, mtime::Command);
}

void GeneralPage::arcStep(int k)
{
    const ChainStep& step = kArcOff[k - 1];
    engine_.timers().stop(step.stop);
    engine_.timers().stop(step.stop + 1);
    startCommand(k < 4 ? build::arcSet(k + 1, false) : build::edidFactoryPreset(), step.arm, mtime::Command);
}

void GeneralPage::arcQueryStep(int k)
{
    const ChainStep& step = kArcQuery[k - 1];
    engine_.timers().stop(step.stop);
    engine_.timers().stop(step.stop + 1);
    if (k < 4) {
        startCommand(build::arcQuery(k + 1), step.arm, mtime::Command);
        return;
    }
    engine_.setReady();
    popups_.closeBusy();
}

}  // namespace talvane
