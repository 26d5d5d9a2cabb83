#include "session.h"

#include <algorithm>

namespace talvane {

Session::Session(Clock* clock, QObject* parent)
    : QObject(parent)
    , assembler_([this](const CommandFrame& f) { onFrame(f); })
    , limit_(clock)
{
}

Session::~Session() { shutDown(); }

void Session::shutDown()
{
    shutDown_ = true;
    limit_.stop();
    current_.reset();
    queue_.clear();
    disconnect(receivedConnection_);
    disconnect(openedConnection_);
    disconnect(lostConnection_);
    disconnect(closedConnection_);
    link_ = nullptr;
}

void Session::setLink(Link* link)
{
    if (link == link_ || shutDown_)
        return;
    disconnect(receivedConnection_);
    disconnect(openedConnection_);
    disconnect(lostConnection_);
    disconnect(closedConnection_);
    if (link_)
        abandon();
    link_ = link;
    // Bytes of the link before must not start a frame for this one.
    assembler_.reset();
    if (!link_)
        return;
    receivedConnection_ = connect(link_, &Link::received, this, &Session::onReceived);
    openedConnection_ = connect(link_, &Link::opened, this, [this](bool ok) {
        if (ok)
            assembler_.reset();
    });
    lostConnection_ = connect(link_, &Link::lost, this, &Session::abandon);
    closedConnection_ = connect(link_, &Link::closed, this, &Session::abandon);
}

void Session::addObserver(SessionObserver* observer)
{
    if (observer && std::find(observers_.begin(), observers_.end(), observer) == observers_.end())
        observers_.push_back(observer);
}

void Session::removeObserver(SessionObserver* observer)
{
    observers_.erase(std::remove(observers_.begin(), observers_.end(), observer), observers_.end());
}

Session::Id Session::start(Request request, OnAnswer onAnswer, OnEnd onEnd)
{
    if (shutDown_)
        return 0;
    auto e = std::make_unique<Exchange>();
    e->id = nextId_++;
    e->resendsLeft = std::max(0, request.timing.resends);
    e->request = std::move(request);
    e->onAnswer = std::move(onAnswer);
    e->onEnd = std::move(onEnd);
    const Id id = e->id;
    queue_.push_back(std::move(e));
    if (!current_)
        launchNext();
    return id;
}

void Session::cancel(Id id)
{
    if (current_ && current_->id == id) {
        limit_.stop();
        current_.reset();
        launchNext();
        return;
    }
    queue_.erase(std::remove_if(queue_.begin(), queue_.end(), [id](const auto& e) { return e->id == id; }),
                 queue_.end());
}

bool Session::repeat(Id id)
{
    if (!current_ || current_->id != id)
        return false;
    ++counters_.resends;
    write(current_->request.bytes);
    armLimit(current_->request.timing.retryMs);
    return true;
}

void Session::abandon()
{
    limit_.stop();
    std::vector<std::unique_ptr<Exchange>> ended;
    if (current_)
        ended.push_back(std::move(current_));
    for (auto& e : queue_)
        ended.push_back(std::move(e));
    queue_.clear();
    // Handlers may start new exchanges: those go out as usual.
    for (auto& e : ended) {
        if (e->request.answers)
            ++counters_.timeouts;
        if (e->onEnd)
            e->onEnd();
    }
}

void Session::launchNext()
{
    if (current_ || queue_.empty())
        return;
    current_ = std::move(queue_.front());
    queue_.pop_front();
    current_->firstSentMs = clock().nowMs();
    write(current_->request.bytes);
    armLimit(current_->request.timing.firstMs);
}

void Session::write(std::vector<std::uint8_t>& bytes)
{
    computeChecksum(bytes.data(), bytes.size());
    // A refused write (no link, a closed one) shows as a missing answer: the
    // time limit reports it.
    if (link_)
        link_->writeFrame(bytes.data(), bytes.size());
    ++counters_.sent;
    for (SessionObserver* o : observers_)
        o->frameSent(bytes.data(), bytes.size());
}

void Session::armLimit(int ms)
{
    const Timing& t = current_->request.timing;
    if (t.giveUpMs > 0) {
        const qint64 left = current_->firstSentMs + t.giveUpMs - clock().nowMs();
        ms = int(std::min<qint64>(ms, std::max<qint64>(left, 1)));
    }
    limit_.start(ms, [this] { onLimit(); });
}

void Session::onLimit()
{
    if (!current_)
        return;
    const Timing& t = current_->request.timing;
    const bool givenUp = t.giveUpMs > 0 && clock().nowMs() - current_->firstSentMs >= t.giveUpMs;
    if (current_->request.answers && current_->resendsLeft > 0 && !givenUp) {
        --current_->resendsLeft;
        ++counters_.resends;
        write(current_->request.bytes);
        armLimit(t.retryMs);
        return;
    }
    std::unique_ptr<Exchange> ended = std::move(current_);
    if (ended->request.answers)
        ++counters_.timeouts;
    launchNext();
    if (ended->onEnd)
        ended->onEnd();
}

void Session::onReceived(const QByteArray& bytes)
{
    assembler_.receive(reinterpret_cast<const std::uint8_t*>(bytes.constData()), std::size_t(bytes.size()),
                       clock().nowMs());
}

void Session::onFrame(const CommandFrame& frame)
{
    ++counters_.received;
    for (SessionObserver* o : observers_)
        o->frameReceived(frame);
    if (!frame.checksumValid()) {
        ++counters_.badChecksums;
        return;
    }
    if (current_ && current_->request.answers && current_->request.answers(frame)) {
        limit_.stop();
        std::unique_ptr<Exchange> answered = std::move(current_);
        ++counters_.answers;
        for (SessionObserver* o : observers_)
            o->exchangeAnswered(answered->request.bytes, frame);
        emit exchangeAnswered();
        // The next exchange goes out before this answer is handled: a handler
        // may wait in a box while the line goes on.
        launchNext();
        if (answered->onAnswer)
            answered->onAnswer(frame);
        return;
    }
    ++counters_.unsolicited;
    emit unsolicited(frame);
}

}  // namespace talvane
