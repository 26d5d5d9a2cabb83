#include "jsonfile.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QSaveFile>

#include "link/smallfile.h"

namespace talvane {

namespace {

JsonFileRead damaged(const QString& why)
{
    JsonFileRead r;
    r.state = JsonFileRead::State::Damaged;
    r.error = why;
    return r;
}

}  // namespace

JsonFileRead readJsonFile(const QString& path, std::size_t maxBytes)
{
    const SmallFile file = readSmallFile(path, maxBytes);
    switch (file.refusal) {
    case FileRefusal::None:
        break;
    case FileRefusal::Missing:
        return {};
    case FileRefusal::NotRegular:
        return damaged(QStringLiteral("%1 is not a regular file").arg(path));
    case FileRefusal::Unreadable:
        return damaged(QStringLiteral("%1 cannot be read").arg(path));
    case FileRefusal::TooLarge:
        return damaged(QStringLiteral("%1 is larger than %2 bytes").arg(path).arg(maxBytes));
    case FileRefusal::Changed:
        return damaged(QStringLiteral("%1 was replaced while it was read").arg(path));
    }
    QJsonParseError parse{};
    const QJsonDocument doc = QJsonDocument::fromJson(file.bytes, &parse);
    if (parse.error != QJsonParseError::NoError)
        return damaged(QStringLiteral("%1 is not valid JSON (%2 at byte %3)")
                           .arg(path, parse.errorString())
                           .arg(parse.offset));
    if (!doc.isObject())
        return damaged(QStringLiteral("%1 does not hold a JSON object").arg(path));
    JsonFileRead r;
    r.state = JsonFileRead::State::Loaded;
    r.object = doc.object();
    return r;
}

bool writeJsonFile(const QString& path, const QJsonObject& object, QString* error)
{
    const auto fail = [&](const QString& why) {
        if (error)
            *error = why;
        return false;
    };
    const QString dir = QFileInfo(path).absolutePath();
    if (!QDir().mkpath(dir))
        return fail(QStringLiteral("cannot make the directory %1").arg(dir));
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return fail(QStringLiteral("cannot write %1: %2").arg(path, file.errorString()));
    const QByteArray bytes = QJsonDocument(object).toJson(QJsonDocument::Indented);
    if (file.write(bytes) != bytes.size()) {
        const QString why = file.errorString();
        file.cancelWriting();
        return fail(QStringLiteral("cannot write %1: %2").arg(path, why));
    }
    if (!file.commit())
        return fail(QStringLiteral("cannot write %1: %2").arg(path, file.errorString()));
    return true;
}

}  // namespace talvane
