#include "panellocks.h"

#include <QJsonArray>
#include <QJsonObject>

#include "link/hubchannel.h"
#include "link/tcplink.h"
#include "ops/connection.h"
#include "pages/matrixpage.h"

namespace talvane {

namespace ch = hubchannel;

namespace {

int outputOf(const QJsonValue& v)
{
    const QString s = v.toString();
    return s.size() == 1 && s[0] >= u'A' && s[0] < QChar(u'A' + kPortCount) ? s[0].unicode() - u'A' + 1 : 0;
}

}  // namespace

PanelLocks::PanelLocks(Connection& connection, QObject* parent)
    : QObject(parent)
    , connection_(connection)
{
    // Once greeted the panel's connection to the hub's control port is
    // there to be named as this panel's.
    connect(&connection_, &Connection::greeted, this, [this] { start(); });
    connect(&connection_, &Connection::lost, this, [this] { stop(); });
    connect(&connection_, &Connection::closed, this, [this] { stop(); });
}

PanelLocks::~PanelLocks() = default;

void PanelLocks::setPage(CMatrixDlg* page)
{
    page_ = page;
    applyTo(page);
}

void PanelLocks::applyTo(CMatrixDlg* page)
{
    if (!page)
        return;
    if (!shared()) {
        page->setSharedLocks(nullptr);
        return;
    }
    page->setSharedLocks([this](int output, bool lock) { request(output, lock); });
    for (int o = 1; o <= kPortCount; ++o)
        page->showLock(o, held_[o - 1].holder, held_[o - 1].mine);
}

void PanelLocks::start()
{
    const std::optional<HubEntry>& hub = connection_.throughHub();
    const TcpLink* link = connection_.hubLink();
    if (!hub || hub->managePath.isEmpty() || !link || channel_)
        return;
    channel_ = std::make_unique<ch::Client>();
    connect(channel_.get(), &ch::Client::changeSeen, this, &PanelLocks::changeSeen);
    connect(channel_.get(), &ch::Client::lost, this, [this] {
        // The hub went, or refused this panel: the page keeps its own locks again.
        QMetaObject::invokeMethod(this, [this] { stop(); }, Qt::QueuedConnection);
    });
    const QJsonObject control{{ch::key::Address, link->localAddress().toString()}, {ch::key::Port, int(link->localPort())}};
    connect(channel_.get(), &ch::Client::connected, this, [this, control] {
        channel_->request({{ch::key::Op, ch::op::Hello}, {ch::key::As, ch::as::Panel}, {ch::key::Control, control}},
                          [this](const QJsonObject& hello) {
                              if (!hello.value(ch::key::Ok).toBool())
                                  return;
                              channel_->request({{ch::key::Op, ch::op::Watch}}, nullptr);
                              channel_->request({{ch::key::Op, ch::op::Locks}}, [this, hello](const QJsonObject& a) {
                                  if (!a.value(ch::key::Ok).toBool())
                                      return;
                                  for (Held& h : held_)
                                      h = Held();
                                  for (const QJsonValue& v : a.value(ch::key::Locks).toArray()) {
                                      const QJsonObject l = v.toObject();
                                      if (const int o = outputOf(l.value(ch::key::Output)))
                                          held_[o - 1] = {l.value(ch::key::Holder).toString(), l.value(ch::key::Mine).toBool()};
                                  }
                                  name_ = hello.value(ch::key::Holder).toString();
                                  applyTo(page_);
                              });
                          });
    });
    channel_->connectTo(hub->managePath);
}

void PanelLocks::stop()
{
    channel_.reset();
    name_.clear();
    for (Held& h : held_)
        h = Held();
    applyTo(page_);
}

void PanelLocks::request(int output, bool lock)
{
    if (!channel_)
        return;
    channel_->request({{ch::key::Op, lock ? ch::op::Lock : ch::op::Unlock}, {ch::key::Output, QString(QLatin1Char(outputLetter(output)))}},
                      [this](const QJsonObject& a) {
                          if (!a.value(ch::key::Ok).toBool() && a.contains(ch::key::Ok))
                              emit statusMessage(a.value(ch::key::Error).toString());
                      });
}

void PanelLocks::changeSeen(const QJsonObject& e)
{
    const QString kind = e.value(ch::key::Event).toString();
    if (kind == ch::event::FrontPanel) {
        emit statusMessage(ch::text(e));
        return;
    }
    if (kind != ch::event::Lock || !shared())
        return;
    const int o = outputOf(e.value(ch::key::Output));
    if (!o)
        return;
    const QString holder = e.value(ch::key::Holder).toString();
    held_[o - 1] = {holder, !holder.isEmpty() && holder == name_};
    if (page_)
        page_->showLock(o, held_[o - 1].holder, held_[o - 1].mine);
}

}  // namespace talvane
