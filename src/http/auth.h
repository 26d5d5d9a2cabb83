// Who may use the web remote and its API when it listens beyond this
// machine: those who hold the token of the token file, given as a Bearer
// token (scripts, Home Assistant) or once to the login form, which sets a
// session cookie derived from it (the page).
#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

namespace talvane {
namespace http {

// The token from `path`: a regular file of at most limits::MaxTokenFileBytes
// that other users can neither read nor write, whose first line (trimmed) is
// at least limits::MinTokenLength printable ASCII characters without
// spaces. Nothing, with the reason in `why`, when it is refused.
std::optional<QByteArray> readTokenFile(const QString& path, QString* why);

class Access {
public:
    // An empty token: everyone may (the server listens on loopback only).
    explicit Access(QByteArray token = {});
    bool open() const { return token_.isEmpty(); }
    // An Authorization header value "Bearer <token>" that holds the token.
    bool bearerMatches(const QByteArray& authorization) const;
    // A Cookie header that carries the session cookie of the token.
    bool cookieMatches(const QByteArray& cookieHeader) const;
    // Whether `given` is the token (the login form).
    bool tokenMatches(const QByteArray& given) const;
    // Set-Cookie values that start a page session and end it.
    QByteArray sessionCookie() const;
    static QByteArray endedCookie();
    static const QByteArray& cookieName();

private:
    QByteArray token_;
    QByteArray session_;  // the cookie's value: a keyed hash of the token, never the token
};

}  // namespace http
}  // namespace talvane
