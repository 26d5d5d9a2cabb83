#include "panelsettings.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QSaveFile>
#include <QStandardPaths>

#include <cstdio>

#include "link/smallfile.h"

namespace talvane {

namespace {

const char kFile[] = "/talvane-controller/panel.json";
// The file holds three short values; anything larger is not ours.
constexpr std::size_t kMaxFileSize = 16 * 1024;
// A port name ("COM33") and room to spare; a longer one is not remembered.
constexpr int kMaxPortNameLength = 64;

const QString kFollowChanges = QStringLiteral("followChanges");
const QString kTakeMode = QStringLiteral("takeMode");
const QString kReconnect = QStringLiteral("reconnect");
const QString kLastPort = QStringLiteral("lastPort");

void report(const QString& path, const char* why)
{
    std::fprintf(stderr, "talvane-controller: %s: %s; settings are kept for this run only\n",
                 QFile::encodeName(QDir::toNativeSeparators(path)).constData(), why);
    std::fflush(stderr);
}

}  // namespace

QString PanelSettings::defaultPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + QLatin1String(kFile);
}

PanelSettings::PanelSettings(QString path)
    : path_(std::move(path))
{
    load();
}

void PanelSettings::load()
{
    const SmallFile file = readSmallFile(path_, kMaxFileSize);
    if (file.refusal == FileRefusal::Missing)
        return;
    const char* why = nullptr;
    QJsonObject read;
    if (!file.ok()) {
        why = file.refusal == FileRefusal::TooLarge ? "the file is too large" : "the file cannot be read";
    } else {
        QJsonParseError error{};
        const QJsonDocument doc = QJsonDocument::fromJson(file.bytes, &error);
        if (error.error != QJsonParseError::NoError || !doc.isObject()) {
            why = "the file is not a JSON object";
        } else {
            read = doc.object();
            const QJsonValue port = read.value(kLastPort);
            if ((read.contains(kFollowChanges) && !read.value(kFollowChanges).isBool())
                || (read.contains(kTakeMode) && !read.value(kTakeMode).isBool())
                || (read.contains(kReconnect) && !read.value(kReconnect).isBool())
                || (read.contains(kLastPort) && (!port.isString() || port.toString().size() > kMaxPortNameLength)))
                why = "a value has the wrong type";
        }
    }
    if (why) {
        damaged_ = true;
        report(path_, why);
        return;
    }
    values_ = read;
}

bool PanelSettings::followChanges() const { return values_.value(kFollowChanges).toBool(false); }
void PanelSettings::setFollowChanges(bool on) { set(kFollowChanges, on); }
bool PanelSettings::takeMode() const { return values_.value(kTakeMode).toBool(false); }
void PanelSettings::setTakeMode(bool on) { set(kTakeMode, on); }
bool PanelSettings::reconnect() const { return values_.value(kReconnect).toBool(false); }
void PanelSettings::setReconnect(bool on) { set(kReconnect, on); }
QString PanelSettings::lastPort() const { return values_.value(kLastPort).toString(); }

void PanelSettings::setLastPort(const QString& portName)
{
    if (portName.size() > kMaxPortNameLength)
        return;
    set(kLastPort, portName);
}

void PanelSettings::set(const QString& key, const QJsonValue& value)
{
    if (values_.value(key) == value)
        return;
    values_.insert(key, value);
    save();
}

void PanelSettings::save()
{
    if (damaged_ || path_.isEmpty())
        return;
    QDir().mkpath(QFileInfo(path_).path());
    QSaveFile f(path_);
    const QByteArray text = QJsonDocument(values_).toJson(QJsonDocument::Indented);
    if (f.open(QIODevice::WriteOnly) && f.write(text) == text.size() && f.commit()) {
        saveFailed_ = false;
        return;
    }
    if (!saveFailed_)
        report(path_, "the file cannot be written");
    saveFailed_ = true;
}

}  // namespace talvane
