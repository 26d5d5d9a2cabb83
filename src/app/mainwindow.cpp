#include "mainwindow.h"

#include <QAccessibleWidget>
#include <QCheckBox>
#include <QCloseEvent>
#include <QImage>
#include <QKeyEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QDialogButtonBox>
#include <QLabel>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QTime>
#include <QVBoxLayout>
#include <QWindow>

#include <iterator>

#include "app/controlids.h"
#include "app/generalpage.h"
#include "app/mainlayout.h"
#include "app/namesdialog.h"
#include "app/networkpanel.h"
#include "app/panellocks.h"
#include "controls/imagebutton.h"
#include "dialogs/modal.h"
#include "dialogs/popups.h"
#include "link/datagramsocket.h"
#include "link/serialport.h"
#include "link/tcplink.h"
#include "ops/labelstore.h"
#include "pages/edidpage.h"
#include "pages/matrixpage.h"
#include "pages/upgradepage.h"
#include "protocol/commands.h"
#include "resources/resources.h"

namespace talvane {

const QColor CTalvaneDlg::kBlue(30, 144, 225);

namespace {

// Tab label size in dialog units (all four share it).
constexpr int kTabWidth = 48;
constexpr int kTabHeight = 12;
// Where the page windows sit in the client area.
const QPoint kPageOrigin(1, 56);
const QPoint kUpgradePageOrigin(1, 70);

const QColor kBandEdge(30, 120, 255);
const QColor kSeparator(30, 120, 200);
const QColor kOutline(128, 128, 128, 50);
const QColor kStatusFrame(30, 120, 200, 50);
constexpr int kStatusFrameWidth = 314;
constexpr int kStatusFrameHeight = 260;
constexpr int kLinkStatusHeight = 20;
// The "Follow changes" box in the header band, right of the tabs (pixels from
// the window's right edge, and its size).
constexpr int kFollowBoxRight = 8;
constexpr int kFollowBoxWidth = 150;
constexpr int kFollowBoxHeight = 20;
constexpr int kNamesGap = 8;
constexpr int kTakeBoxGap = 6;  // between "Take mode" and "Follow changes"

struct TabDef {
    Page page;
    int id;
    const char* caption;
};
const TabDef kTabs[] = {
    {Page::General, ctl::TabGeneral, "General"},
    {Page::Edid, ctl::TabEdid, "EDID"},
    {Page::Matrix, ctl::TabMatrix, "Matrix"},
    {Page::Upgrade, ctl::TabUpgrade, "Upgrade"},
};

// A tab of the header band. The labels take no mouse events; the window tells
// the tabs apart by position. Assistive tools see each as a page tab whose
// press action is a click on it (refused, like a click, while a command is
// outstanding), selected while its page is shown. (A class of its own, because
// the accessible interface of a plain label comes from Qt's own factory.)
class TabLabel : public QLabel {
    Q_OBJECT
public:
    TabLabel(const QString& text, Page page, QWidget* parent) : QLabel(text, parent), page_(page) {}
    Page page() const { return page_; }

private:
    Page page_;
};

class TabAccessible : public QAccessibleWidget {
public:
    explicit TabAccessible(TabLabel* label) : QAccessibleWidget(label, QAccessible::PageTab) {}

    QStringList actionNames() const override { return {pressAction()}; }
    void doAction(const QString& name) override
    {
        // Queued, as a button's press action is: a click may open a box with
        // its own event loop, and the tool that asked waits for an answer.
        if (name == pressAction())
            if (CTalvaneDlg* w = mainWindow())
                QMetaObject::invokeMethod(
                    w, [w, at = widget()->geometry().center()] { w->pressAt(at); }, Qt::QueuedConnection);
    }
    QAccessible::State state() const override
    {
        QAccessible::State s = QAccessibleWidget::state();
        s.selectable = true;
        const CTalvaneDlg* w = mainWindow();
        s.selected = w && w->currentPage() == static_cast<TabLabel*>(widget())->page();
        return s;
    }

private:
    CTalvaneDlg* mainWindow() const { return qobject_cast<CTalvaneDlg*>(widget()->parentWidget()); }
};

// Set on the controls placed beyond the window's right edge: they exist and
// are written to, but nobody sees them, so nobody hears of them either.
const char kOffscreenProperty[] = "talvaneOffscreen";

bool offscreen(const QObject* o) { return o->property(kOffscreenProperty).toBool(); }

// The main window as assistive tools see it: its controls, less the
// off-screen ones.
class MainWindowAccessible : public QAccessibleWidget {
public:
    explicit MainWindowAccessible(QWidget* w) : QAccessibleWidget(w, QAccessible::Dialog) {}

    int childCount() const override { return int(children().size()); }
    QAccessibleInterface* child(int index) const override
    {
        const QList<QWidget*> list = children();
        return index >= 0 && index < list.size() ? QAccessible::queryAccessibleInterface(list.at(index)) : nullptr;
    }
    int indexOfChild(const QAccessibleInterface* child) const override
    {
        return child && child->object() ? int(children().indexOf(qobject_cast<QWidget*>(child->object()))) : -1;
    }

private:
    QList<QWidget*> children() const
    {
        QList<QWidget*> out;
        for (QObject* o : widget()->children()) {
            auto* w = qobject_cast<QWidget*>(o);
            if (w && !w->isWindow() && !qobject_cast<QMenu*>(w) && !offscreen(w))
                out << w;
        }
        return out;
    }
};

// An off-screen control, should a tool reach it all the same (a change of
// its text is reported from it): invisible, with no text to read.
class OffscreenAccessible : public QAccessibleWidget {
public:
    explicit OffscreenAccessible(QWidget* w) : QAccessibleWidget(w, QAccessible::NoRole) {}
    QString text(QAccessible::Text) const override { return {}; }
    QAccessible::State state() const override
    {
        QAccessible::State s;
        s.invisible = true;
        s.offscreen = true;
        return s;
    }
    int childCount() const override { return 0; }
    QAccessibleInterface* child(int) const override { return nullptr; }
    QStringList actionNames() const override { return {}; }
};

// An interface made before the factory below could have its say (a widget
// announces itself while it is constructed, when a tool is listening) is made
// again by it.
template <class Wanted>
void remakeAccessible(QObject* object)
{
    QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(object);
    if (!iface || dynamic_cast<Wanted*>(iface))
        return;
    QAccessible::deleteAccessibleInterface(QAccessible::uniqueId(iface));
}

QAccessibleInterface* tabAccessibleFactory(const QString&, QObject* object)
{
    if (auto* tab = qobject_cast<TabLabel*>(object))
        return new TabAccessible(tab);
    if (auto* window = qobject_cast<CTalvaneDlg*>(object))
        return new MainWindowAccessible(window);
    if (object && object->isWidgetType() && offscreen(object))
        return new OffscreenAccessible(static_cast<QWidget*>(object));
    return nullptr;
}

QFont captionFontOf()
{
    QFont f;
    f.setFamilies({QStringLiteral("Arial"), QStringLiteral("Liberation Sans"), QStringLiteral("DejaVu Sans")});
    f.setPixelSize(16);
    f.setWeight(QFont::Bold);
    return f;
}

}  // namespace

CTalvaneDlg::CTalvaneDlg(QWidget* parent, const QString& settingsPath)
    : TemplateDialog(parent, Qt::Window | Qt::FramelessWindowHint)
    , connection_(std::make_unique<Connection>())
    , presenter_(std::make_unique<Presenter>(*connection_, Popups::instance(), [this] { return linkMode_; }))
    , settings_(settingsPath)
    , udp_(std::make_unique<DatagramSocket>())
    , captionFont_(captionFontOf())
    , captionText_(QString::fromUtf8(caption::Window) + QStringLiteral(TALVANE_VERSION))
    , presetsPath_(PresetStore::defaultPath())
    , labels_(std::make_unique<LabelStore>())
{
    setWindowTitle(captionText_);
    setFixedSize(dluSize(kTemplateWidth, kTemplateHeight));
    setAttribute(Qt::WA_OpaquePaintEvent);
    Popups::instance().setOwner(this);

    createHeader();
    createFollowBox();
    remakeAccessible<MainWindowAccessible>(this);
    createGeneralControls();
    // Below the pages, on every page: what the link is doing.
    linkStatus_ = new QStatusBar(this);
    linkStatus_->setSizeGripEnabled(false);
    linkStatus_->setGeometry(1, height() - kLinkStatusHeight - 1, width() - 2, kLinkStatusHeight);
    setLinkStatus(QString::fromUtf8(caption::NotConnected));
    followConnection();
    locks_ = std::make_unique<PanelLocks>(*connection_);
    connect(locks_.get(), &PanelLocks::statusMessage, this, &CTalvaneDlg::setLinkStatus);
    installKeySwallower(this);
    // Ctrl+Tab and the like change page wherever the focus is on the window.
    qApp->installEventFilter(this);

    logs_.setLogs(controlAs<QPlainTextEdit>(ctl::ReceiveLog), controlAs<QPlainTextEdit>(ctl::SendLog));
    session().addObserver(&logs_);
    connection_->setGreeting(true);
    updateTabColours();
    showPageWindows();

    general_ = std::make_unique<GeneralPage>(*this, *presenter_);
    network_ = std::make_unique<NetworkPanel>(*this, *presenter_, *udp_);
    // Start in COM mode with the COM controls usable.
    network_->setLinkMode(LinkMode::Com);
    general_->clearStatus();
    general_->refreshPortList();
}

CTalvaneDlg::~CTalvaneDlg()
{
    // Nothing is reported any more: the window is going.
    connection_->follower().setEnabled(false);
    session().shutDown();
    network_.reset();
    udp_.reset();
    // The pages go before the presenter and the session they use (as children they would outlive them).
    delete edidPage_;
    delete matrixPage_;
    delete upgradePage_;
    general_.reset();
    connection_.reset();
    if (Popups::instance().owner() == this)
        Popups::instance().setOwner(nullptr);
}

void CTalvaneDlg::createHeader()
{
    closeButton_ = new CImageButton(this);
    minimizeButton_ = new CImageButton(this);
    registerControl(ctl::Close, closeButton_);
    registerControl(ctl::Minimize, minimizeButton_);
    struct {
        CImageButton* button;
        int iconIn;
        int iconOut;
        const char* tip;
    } const buttons[] = {{closeButton_, res::IconCloseIn, res::IconCloseOut, "Close"},
                         {minimizeButton_, res::IconMinimizeIn, res::IconMinimizeOut, "Minimize"}};
    for (const auto& b : buttons) {
        b.button->setDrawBorder(false);
        b.button->setIcons(res::icon(b.iconIn), res::icon(b.iconOut));
        b.button->setTooltipText(QString::fromLatin1(b.tip));
        for (auto slot : {CImageButton::BackgroundOut, CImageButton::BackgroundFocus, CImageButton::BackgroundIn})
            b.button->setColor(slot, kBlue);
    }
    connect(closeButton_, &QPushButton::clicked, this, &CTalvaneDlg::requestClose);
    connect(minimizeButton_, &QPushButton::clicked, this, [this] { showMinimized(); });

    static const bool tabFactoryInstalled = (QAccessible::installFactory(tabAccessibleFactory), true);
    Q_UNUSED(tabFactoryInstalled);
    for (const TabDef& t : kTabs) {
        auto* label = new TabLabel(QString::fromLatin1(t.caption), t.page, this);
        label->setFont(captionFont_);
        label->setAlignment(Qt::AlignCenter);
        label->setAutoFillBackground(true);
        // Clicks go to the window, which tells the tabs apart by position.
        label->setAttribute(Qt::WA_TransparentForMouseEvents);
        label->setAccessibleName(label->text());
        label->resize(dluSize(kTabWidth, kTabHeight));
        registerControl(t.id, label);
    }
    layoutHeader();
}

void CTalvaneDlg::createGeneralControls()
{
    for (const mainlayout::Placement& c : mainlayout::generalControls()) {
        QWidget* w = mainlayout::makeControl(c, this);
        generalControls_ << place(c.id, w, c.rect.x(), c.rect.y(), c.rect.width(), c.rect.height());
        if (!c.offscreen)
            continue;
        // Out of sight, out of the keyboard's way and of the screen reader's.
        w->setFocusPolicy(Qt::NoFocus);
        w->setProperty(kOffscreenProperty, true);
        remakeAccessible<OffscreenAccessible>(w);
        if (auto* edit = qobject_cast<QPlainTextEdit*>(w))
            edit->viewport()->setFocusPolicy(Qt::NoFocus);
    }
    auto* devices = controlAs<QComboBox>(ctl::DeviceList);
    // Names for screen readers and automation where a control has no text of its own.
    // The two lists are labelled by their captions (a screen reader reads
    // "Port" with the list); their names also hold while they are empty.
    controlAs<QLabel>(ctl::PortLabel)->setBuddy(control(ctl::PortList));
    controlAs<QLabel>(ctl::SwitcherIpLabel)->setBuddy(devices);
    controlAs<QComboBox>(ctl::PortList)->setAccessibleName(QStringLiteral("Port"));
    devices->setAccessibleName(QStringLiteral("Switcher IP"));
    control(ctl::ReceiveLog)->setAccessibleName(QStringLiteral("Receive"));
    control(ctl::SendLog)->setAccessibleName(QStringLiteral("Send"));
}

void CTalvaneDlg::createFollowBox()
{
    followBox_ = new QCheckBox(QString::fromUtf8(caption::FollowChanges), this);
    registerControl(ctl::FollowChanges, followBox_);
    followBox_->setAccessibleName(followBox_->text());
    // White on the header's blue, as the tabs.
    QPalette pal = followBox_->palette();
    pal.setColor(QPalette::WindowText, Qt::white);
    followBox_->setPalette(pal);
    followBox_->resize(kFollowBoxWidth, kFollowBoxHeight);
    // Take mode belongs to the Matrix page; it stands beside "Follow changes"
    // so that it shows on every page, as the mode the routes are made in.
    takeBox_ = new QCheckBox(QString::fromUtf8(caption::TakeMode), this);
    registerControl(ctl::TakeMode, takeBox_);
    takeBox_->setAccessibleName(takeBox_->text());
    takeBox_->setPalette(pal);
    takeBox_->resize(takeBox_->sizeHint().width(), kFollowBoxHeight);
    takeBox_->setChecked(settings_.takeMode());
    connect(takeBox_, &QCheckBox::toggled, this, [this](bool on) {
        settings_.setTakeMode(on);
        if (matrixPage_)
            matrixPage_->setTakeMode(on);
    });
    namesButton_ = new QPushButton(QString::fromUtf8(caption::Names), this);
    registerControl(ctl::Names, namesButton_);
    namesButton_->setAccessibleName(namesButton_->text());
    namesButton_->resize(namesButton_->sizeHint().width(), kFollowBoxHeight + 2);
    connect(namesButton_, &QPushButton::clicked, this, &CTalvaneDlg::namesClicked);
    follower().setRead([this] { return followRead(); });
    // Remembered between runs.
    followBox_->setChecked(settings_.followChanges());
    follower().setEnabled(followBox_->isChecked());
    connect(followBox_, &QCheckBox::toggled, this, [this](bool on) {
        follower().setEnabled(on);
        settings_.setFollowChanges(on);
    });
    // A background read that gets no answer opens no box: the status line says it.
    connect(&follower(), &Follower::unanswered, this, [this] {
        // A link that went away says so itself.
        if (!linkOpen())
            return;
        if (linkStatus() != silenceStatus_)
            statusBeforeSilence_ = linkStatus();
        silenceStatus_ = QString::fromUtf8(caption::NoAnswerFrom).arg(linkName(), timeOfDay());
        setLinkStatus(silenceStatus_);
    });
    // The switch answers again: the status line says what it said before.
    connect(&follower(), &Follower::answered, this, [this] {
        if (!silenceStatus_.isEmpty() && linkStatus() == silenceStatus_)
            setLinkStatus(statusBeforeSilence_);
        silenceStatus_.clear();
    });
}

void CTalvaneDlg::setLabelsPath(const QString& path)
{
    labels_ = std::make_unique<LabelStore>(path);
    labelsDamageReported_ = false;
}

void CTalvaneDlg::applyLabels()
{
    // Read again each time: talvane-ctl may have changed the names meanwhile.
    if (!labels_->load() && !labelsDamageReported_) {
        labelsDamageReported_ = true;
        QMetaObject::invokeMethod(
            this, [this] { Popups::instance().showMessage(QString::fromUtf8(caption::LabelsDamaged).arg(labels_->error())); },
            Qt::QueuedConnection);
    }
    const QString key = switchKey();
    const PortLabels names = key.isEmpty() || labels_->damaged() ? PortLabels{} : labels_->labels(key);
    general_->setPortLabels(names);
    if (matrixPage_)
        matrixPage_->setPortLabels(names);
}

void CTalvaneDlg::namesClicked()
{
    const QString key = switchKey();
    if (key.isEmpty()) {
        Popups::instance().showMessage(QString::fromUtf8(caption::NamesNeedSwitch));
        return;
    }
    if (!labels_->load()) {
        labelsDamageReported_ = true;
        Popups::instance().showMessage(QString::fromUtf8(caption::LabelsDamaged).arg(labels_->error()));
        return;
    }
    NamesDialog dialog(labels_->labels(key), this);
    if (runModal(dialog) != QDialog::Accepted)
        return;
    if (!labels_->setLabels(key, dialog.labels()) || !labels_->save())
        Popups::instance().showMessage(QString::fromUtf8(caption::LabelsNotSaved).arg(labels_->error()));
    applyLabels();
}

Operation* CTalvaneDlg::followRead()
{
    switch (page_) {
    case Page::General:
        return general_ ? general_->followRead() : nullptr;
    case Page::Edid:
        return edidPage_ ? edidPage_->followRead() : nullptr;
    case Page::Matrix:
        return matrixPage_ ? matrixPage_->followRead() : nullptr;
    case Page::Upgrade:
        break;
    }
    return nullptr;
}

QString CTalvaneDlg::linkName() const { return connection_->address(kindOf(linkMode_)).shortName(); }

QString CTalvaneDlg::switchKey() const { return connection_->address(kindOf(linkMode_)).key(); }

void CTalvaneDlg::layoutHeader()
{
    const QRect r = rect();
    closeButton_->setGeometry(r.right() + 1 - 26, r.top() + 1, 25, 25);
    minimizeButton_->setGeometry(r.right() + 1 - 51, r.top() + 1, 25, 25);
    const QSize tab = control(ctl::TabGeneral)->size();
    int i = 0;
    for (const TabDef& t : kTabs) {
        control(t.id)->move(r.left() + 1 + i * (tab.width() + 1), r.top() + kHeaderHeight - tab.height());
        ++i;
    }
    if (followBox_)
        followBox_->move(r.right() + 1 - kFollowBoxRight - followBox_->width(),
                         r.top() + kHeaderHeight - tab.height() + (tab.height() - followBox_->height()) / 2);
    if (takeBox_ && followBox_)
        takeBox_->move(followBox_->x() - kTakeBoxGap - takeBox_->width(), followBox_->y());
    if (namesButton_ && takeBox_)
        namesButton_->move(takeBox_->x() - kNamesGap - namesButton_->width(),
                           r.top() + kHeaderHeight - tab.height() + (tab.height() - namesButton_->height()) / 2);
}

QLabel* CTalvaneDlg::tabLabel(Page page) const
{
    for (const TabDef& t : kTabs)
        if (t.page == page)
            return controlAs<QLabel>(t.id);
    return nullptr;
}

void CTalvaneDlg::updateTabColours()
{
    for (const TabDef& t : kTabs) {
        QLabel* label = controlAs<QLabel>(t.id);
        QPalette pal = label->palette();
        const bool current = t.page == page_;
        pal.setColor(QPalette::Window, current ? palette().color(QPalette::Button) : kBlue);
        pal.setColor(QPalette::WindowText, current ? QColor(Qt::black) : QColor(Qt::white));
        label->setPalette(pal);
        label->update();
    }
}

namespace {

// A one-pixel frame just inside `r` in the translucent `colour` over the
// opaque `under`, filled as four opaque strips of the colour the two make. A
// pen's rectangle gives the same pixels, but the raster engine blends a
// translucent line span by span and hands a tall one (the window's outline)
// to its thread pool, and the window's first paint then waits for its threads.
void drawFrame(QPainter& p, const QRect& r, const QColor& colour, const QColor& under)
{
    QImage mixed(1, 1, QImage::Format_ARGB32_Premultiplied);
    mixed.fill(under);
    {
        QPainter blend(&mixed);
        blend.fillRect(mixed.rect(), colour);
    }
    const QColor opaque = mixed.pixelColor(0, 0);
    p.fillRect(QRect(r.left(), r.top(), r.width(), 1), opaque);
    p.fillRect(QRect(r.left(), r.bottom(), r.width(), 1), opaque);
    p.fillRect(QRect(r.left(), r.top() + 1, 1, r.height() - 2), opaque);
    p.fillRect(QRect(r.right(), r.top() + 1, 1, r.height() - 2), opaque);
}

}  // namespace

void CTalvaneDlg::paintEvent(QPaintEvent* e)
{
    layoutHeader();
    QPainter p(this);
    const QRect r = rect();
    const int w = r.width();
    const QColor face = palette().color(QPalette::Button);
    p.fillRect(r, face);

    drawFrame(p, r, kOutline, face);
    if (page_ == Page::General) {
        const QPoint label = control(ctl::StatusInput1)->pos();
        drawFrame(p, QRect(label.x() - 2, label.y() - 9, kStatusFrameWidth + 1, kStatusFrameHeight + 1), kStatusFrame,
                  face);
    }
    p.fillRect(QRect(1, 1, w - 2, kHeaderHeight - 1), kBlue);
    p.setPen(kBandEdge);
    p.drawLine(1, 1, w - 2, 1);
    p.drawLine(1, 1, 1, kHeaderHeight - 1);
    p.drawLine(w - 2, 1, w - 2, kHeaderHeight - 1);
    const QSize tab = control(ctl::TabGeneral)->size();
    p.setPen(kSeparator);
    for (int k = 1; k <= 3; ++k) {
        const int x = r.left() + k * tab.width() + k;
        p.drawLine(x, r.top() + 62 - tab.height(), x, r.top() + 76 - tab.height());
    }

    // Laying the caption out costs more than the rest of the paint: not for
    // the repaint of a control elsewhere, as each answer shown asks for.
    const QRect caption(QPoint(1, 1), QPoint(kCaptionRight, kCaptionBottom));
    if (!e->region().intersects(caption))
        return;
    p.setFont(captionFont_);
    p.setPen(Qt::white);
    p.drawText(caption, Qt::AlignCenter | Qt::TextSingleLine, captionText_);
}

void CTalvaneDlg::pressAt(const QPoint& pos)
{
    for (const TabDef& t : kTabs) {
        if (!control(t.id)->geometry().contains(pos))
            continue;
        if (!ready())
            return;  // an operation holds the switch: the page does not change
        page_ = t.page;
        updateTabColours();
        update();
        enterPage(t.page);
        return;
    }
    emit systemMoveRequested();
    if (windowHandle())
        windowHandle()->startSystemMove();
}

void CTalvaneDlg::stepPage(int step)
{
    const int count = int(std::size(kTabs));
    int at = 0;
    while (at < count && kTabs[at].page != page_)
        ++at;
    const TabDef& next = kTabs[((at + step) % count + count) % count];
    pressAt(control(next.id)->geometry().center());
}

bool CTalvaneDlg::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() != QEvent::KeyPress || !watched->isWidgetType()
        || static_cast<QWidget*>(watched)->window() != this)
        return TemplateDialog::eventFilter(watched, event);
    const auto* key = static_cast<QKeyEvent*>(event);
    const Qt::KeyboardModifiers mods = key->modifiers() & ~Qt::KeypadModifier;
    int step = 0;
    if (mods == Qt::ControlModifier && (key->key() == Qt::Key_Tab || key->key() == Qt::Key_PageDown))
        step = 1;
    else if (mods == Qt::ControlModifier && key->key() == Qt::Key_PageUp)
        step = -1;
    else if (mods == (Qt::ControlModifier | Qt::ShiftModifier) && (key->key() == Qt::Key_Backtab || key->key() == Qt::Key_Tab))
        step = -1;
    if (!step)
        return TemplateDialog::eventFilter(watched, event);
    stepPage(step);
    return true;
}

void CTalvaneDlg::mousePressEvent(QMouseEvent* e)
{
    if (e->button() == Qt::LeftButton) {
        pressAt(e->position().toPoint());
        return;
    }
    TemplateDialog::mousePressEvent(e);
}

QMenu* CTalvaneDlg::createSystemMenu(QWidget* parent)
{
    auto* menu = new QMenu(parent);
    menu->addSeparator();
    QAction* about = menu->addAction(QString::fromUtf8(caption::AboutMenuItem));
    connect(about, &QAction::triggered, this, &CTalvaneDlg::showAbout);
    return menu;
}

void CTalvaneDlg::contextMenuEvent(QContextMenuEvent* e)
{
    if (e->pos().y() >= kHeaderHeight)
        return;
    QMenu* menu = createSystemMenu(this);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->popup(e->globalPos());
}

void CTalvaneDlg::showAbout()
{
    // Template 100, in the template font of its own ("MS Shell Dlg" 9 pt).
    QDialog about(this);
    about.setWindowTitle(QString::fromUtf8(caption::AboutTitle));
    QFont f;
    f.setFamilies({QStringLiteral("MS Shell Dlg"), QStringLiteral("DejaVu Sans")});
    f.setPointSize(9);
    about.setFont(f);
    auto* layout = new QVBoxLayout(&about);
    auto* textLabel = new QLabel(QString::fromUtf8(caption::AboutText).arg(QStringLiteral(TALVANE_VERSION)), &about);
    layout->addWidget(textLabel);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, &about);
    connect(buttons, &QDialogButtonBox::accepted, &about, &QDialog::accept);
    layout->addWidget(buttons);
    about.setAccessibleName(QString::fromUtf8(caption::AboutTitle));
    runModal(about);
}

bool CTalvaneDlg::mayClose()
{
    if (!upgradePage_ || !upgradePage_->transferRunning())
        return true;
    // Abandoning a switch half-way through an image may leave it unusable.
    if (Popups::instance().ask(text::AskStopUpgrade, /*question=*/true) != Popups::Ok)
        return false;
    upgradePage_->stopUpgrade();
    return true;
}

void CTalvaneDlg::requestClose()
{
    if (mayClose())
        QCoreApplication::quit();
}

void CTalvaneDlg::closeEvent(QCloseEvent* e)
{
    // A close from the window manager ends the program like the Close button.
    if (!mayClose()) {
        e->ignore();
        return;
    }
    e->accept();
    QCoreApplication::quit();
}

void CTalvaneDlg::setLinkStatus(const QString& text)
{
    onFirstAnswer_ = nullptr;
    linkStatus_->showMessage(text);
    // Screen readers announce the status bar by its name.
    linkStatus_->setAccessibleName(QString::fromUtf8(caption::LinkStatusName) + QStringLiteral(": ") + text);
}

QString CTalvaneDlg::linkStatus() const { return linkStatus_->currentMessage(); }

void CTalvaneDlg::linkOpened(const QString& where, std::function<QString()> answered)
{
    setLinkStatus(QString::fromUtf8(caption::PortOpenNoAnswer).arg(where));
    onFirstAnswer_ = std::move(answered);
}

QString CTalvaneDlg::timeOfDay() { return QTime::currentTime().toString(QStringLiteral("HH:mm:ss")); }

void CTalvaneDlg::refreshPage()
{
    if (page_ != Page::General && pageWindow(page_) && ready())
        enterPage(page_);
}

void CTalvaneDlg::setLinkMode(LinkMode mode)
{
    linkMode_ = mode;
    connection_->setKind(kindOf(mode));
}

void CTalvaneDlg::setLink(LinkMode mode, Link* l) { connection_->setLink(kindOf(mode), l); }

bool CTalvaneDlg::linkOpen() const { return connection_->isOpen(); }

void CTalvaneDlg::followConnection()
{
    Connection& c = *connection_;
    connect(&c, &Connection::opened, this, [this](bool reconnected) {
        // A switch just connected: its names show.
        applyLabels();
        const SwitchAddress a = connection_->address();
        linkOpened(a.shortName(), [a, reconnected] {
            return reconnected ? QString::fromUtf8(caption::ReconnectedAt).arg(a.longName(), timeOfDay())
                               : QString::fromUtf8(caption::ConnectedTo).arg(a.longName());
        });
    });
    connect(&c, &Connection::answeredFirst, this, [this] {
        if (!onFirstAnswer_)
            return;
        const auto text = std::move(onFirstAnswer_);
        onFirstAnswer_ = nullptr;
        setLinkStatus(text());
    });
    connect(&c, &Connection::openFailed, this, [this](const QString& why) {
        // The button keeps reading "Connect"; the status line says why.
        setLinkStatus(QString::fromUtf8(caption::CannotConnect).arg(connection_->address().shortName(), why));
    });
    connect(&c, &Connection::lost, this, [this] {
        setLinkStatus(QString::fromUtf8(caption::LinkLostAt).arg(connection_->address().shortName(), timeOfDay()));
    });
    connect(&c, &Connection::closed, this,
            [this] { setLinkStatus(QString::fromUtf8(caption::NotConnected)); });
    // Opened again after a loss: once greeted, the page shown is read again.
    connect(&c, &Connection::greeted, this, [this](bool reconnected) {
        if (reconnected)
            refreshPage();
    });
}

QWidget* CTalvaneDlg::pageWindow(Page page) const
{
    switch (page) {
    case Page::Edid:
        return edidPage_;
    case Page::Matrix:
        return matrixPage_;
    case Page::Upgrade:
        return upgradePage_;
    case Page::General:
        break;
    }
    return nullptr;
}

QWidget* CTalvaneDlg::ensurePageWindow(Page page)
{
    switch (page) {
    case Page::Edid:
        if (!edidPage_) {
            edidPage_ = new CEDIDDlg(*presenter_, this);
                    }
        return edidPage_;
    case Page::Matrix:
        if (!matrixPage_) {
            matrixPage_ = new CMatrixDlg(*presenter_, this, presetsPath_, [this] { return switchKey(); });
            matrixPage_->setTakeMode(takeBox_ && takeBox_->isChecked());
            connect(matrixPage_, &CMatrixDlg::statusMessage, this, &CTalvaneDlg::setLinkStatus);
            locks_->setPage(matrixPage_);
                    }
        return matrixPage_;
    case Page::Upgrade:
        if (!upgradePage_) {
            upgradePage_ = new CFWDlg(*presenter_, this);
                    }
        return upgradePage_;
    case Page::General:
        break;
    }
    return nullptr;
}

void CTalvaneDlg::showPageWindows()
{
    const Page current = page_;
    for (QWidget* w : generalControls_)
        w->setVisible(current == Page::General);
    for (Page p : {Page::Edid, Page::Matrix, Page::Upgrade})
        if (QWidget* w = pageWindow(p))
            w->setVisible(p == current);
}

void CTalvaneDlg::enterPage(Page page)
{
    QWidget* window = ensurePageWindow(page);
    showPageWindows();
    if (window)
        window->move(page == Page::Upgrade ? kUpgradePageOrigin : kPageOrigin);
    if (Hold hold = presenter_->acquire()) {
        switch (page) {
        case Page::General:
            general_->enter(std::move(hold));
            break;
        case Page::Edid:
            edidPage_->enter(std::move(hold));
            break;
        case Page::Matrix:
            matrixPage_->enter(std::move(hold));
            break;
        case Page::Upgrade:
            upgradePage_->enter(std::move(hold));
            break;
        }
    }
    // The names are read while the page's first query is on the line.
    applyLabels();
}

}  // namespace talvane

#include "mainwindow.moc"
