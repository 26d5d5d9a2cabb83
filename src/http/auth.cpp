#include "auth.h"

#include <QCryptographicHash>
#include <QFileInfo>
#include <QMessageAuthenticationCode>

#include <sys/stat.h>

#include "http/limits.h"
#include "link/smallfile.h"

namespace talvane {
namespace http {

namespace {

// Compares without leaving the position of the first difference in the time taken.
bool sameBytes(const QByteArray& a, const QByteArray& b)
{
    if (a.size() != b.size())
        return false;
    unsigned char diff = 0;
    for (qsizetype i = 0; i < a.size(); ++i)
        diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

}  // namespace

std::optional<QByteArray> readTokenFile(const QString& path, QString* why)
{
    const auto refuse = [why](const QString& text) {
        if (why)
            *why = text;
        return std::nullopt;
    };
    const SmallFile file = readSmallFile(path, limits::MaxTokenFileBytes);
    switch (file.refusal) {
    case FileRefusal::None:
        break;
    case FileRefusal::Missing:
        return refuse(QStringLiteral("no such file"));
    case FileRefusal::NotRegular:
        return refuse(QStringLiteral("not a regular file"));
    case FileRefusal::TooLarge:
        return refuse(QStringLiteral("larger than %1 bytes").arg(limits::MaxTokenFileBytes));
    case FileRefusal::Unreadable:
    case FileRefusal::Changed:
        return refuse(QStringLiteral("cannot be read"));
    }
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return refuse(QStringLiteral("cannot be read"));
    if (st.st_mode & (S_IROTH | S_IWOTH))
        return refuse(QStringLiteral("other users can read or write it (chmod o-rw %1)").arg(path));
    const QByteArray token = file.bytes.left(file.bytes.indexOf('\n')).trimmed();
    if (token.size() < limits::MinTokenLength)
        return refuse(QStringLiteral("its first line holds fewer than %1 characters").arg(limits::MinTokenLength));
    for (char c : token)
        if (c <= 0x20 || c >= 0x7F)
            return refuse(QStringLiteral("the token holds a space, a control character or a character beyond ASCII"));
    return token;
}

Access::Access(QByteArray token) : token_(std::move(token))
{
    if (!token_.isEmpty())
        session_ = QMessageAuthenticationCode::hash("talvane web remote session", token_, QCryptographicHash::Sha256).toHex();
}

bool Access::bearerMatches(const QByteArray& authorization) const
{
    static const QByteArray scheme = "bearer ";
    if (open() || authorization.size() <= scheme.size() || authorization.left(scheme.size()).toLower() != scheme)
        return false;
    return sameBytes(authorization.mid(scheme.size()).trimmed(), token_);
}

bool Access::cookieMatches(const QByteArray& cookieHeader) const
{
    if (open())
        return false;
    for (const QByteArray& part : cookieHeader.split(';')) {
        const QByteArray pair = part.trimmed();
        const qsizetype eq = pair.indexOf('=');
        if (eq > 0 && pair.left(eq) == cookieName() && sameBytes(pair.mid(eq + 1), session_))
            return true;
    }
    return false;
}

bool Access::tokenMatches(const QByteArray& given) const { return !open() && sameBytes(given, token_); }

const QByteArray& Access::cookieName()
{
    static const QByteArray name = "talvane_session";
    return name;
}

QByteArray Access::sessionCookie() const
{
    return cookieName() + '=' + session_ + "; Path=/; HttpOnly; SameSite=Strict; Max-Age="
           + QByteArray::number(qint64(limits::SessionDays) * 24 * 3600);
}

QByteArray Access::endedCookie() { return cookieName() + "=; Path=/; HttpOnly; SameSite=Strict; Max-Age=0"; }

}  // namespace http
}  // namespace talvane
