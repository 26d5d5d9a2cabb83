#include "device.h"

#include "ops/limits.h"
#include "protocol/replies.h"

namespace talvane {

DeviceRead::DeviceRead(Session& session, What what, Purpose purpose, QObject* parent)
    : Operation(session, parent)
    , what_(what)
    , purpose_(purpose)
{
}

void DeviceRead::begin()
{
    if (what_ == What::IdentOnly) {
        readIdent(0);
        return;
    }
    if (knownKind_) {
        info_.kind = *knownKind_;
        queryInfo(2);
        return;
    }
    queryInfo(1);
}

void DeviceRead::queryInfo(int step)
{
    const CommandFrame query = step == 1   ? build::upgradePageQuery()
                               : step == 2 ? build::deviceInfoQuery2()
                                           : build::deviceInfoQuery3();
    exchange(requestFor(query, timingOf(purpose_)), [this, step](const CommandFrame& f) {
        switch (step) {
        case 1:
            info_.kind = decode::deviceKind(f).kind;
            break;
        case 2: {
            const decode::DevicePorts p = decode::devicePorts(f);
            info_.inputs = p.inputs;
            info_.outputs = p.outputs;
            break;
        }
        default: {
            const decode::DeviceVersion v = decode::deviceVersion(f);
            info_.versionMajor = v.major;
            info_.versionMinor = v.minor;
            emit infoReported(info_);
            readIdent(0);
            return;
        }
        }
        queryInfo(step + 1);
    });
}

void DeviceRead::readIdent(int part)
{
    if (part == 0)
        ident_.clear();
    exchange(requestFor(build::identRead(part), timingOf(purpose_)), [this, part](const CommandFrame& f) {
        const decode::IdentText t = decode::identText(f);
        ident_.append(reinterpret_cast<const char*>(t.text.data()), qsizetype(t.text.size()));
        if (part + 1 < cmd::IdentParts) {
            readIdent(part + 1);
            return;
        }
        emit identReported(ident_);
        finish(Outcome::Done);
    });
}

IdentWrite::IdentWrite(Session& session, const Text& text, QObject* parent)
    : Operation(session, parent)
    , text_(text)
{
}

void IdentWrite::begin() { writePart(0); }

void IdentWrite::writePart(int part)
{
    const CommandFrame write = build::identWrite(part, text_.data() + part * cmd::IdentPartLength);
    exchange(requestFor(write, limits::Quiet), [this, part](const CommandFrame& f) {
        if (decode::identWriteAck(f).status != 0)
            finish(Outcome::Refused);
        else if (part + 1 < cmd::IdentParts)
            writePart(part + 1);
        else
            finish(Outcome::Done);
    });
}

}  // namespace talvane
