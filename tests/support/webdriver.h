// Debian's Chromium, headless, driven through chromedriver's W3C WebDriver
// HTTP API, for the tests of the web remote's page. Loopback only; a fresh
// profile each time; nothing of Chromium's own reaches the network.
#pragma once

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>

#include "support/waitfor.h"

namespace talvane {

class WebDriver {
public:
    static constexpr const char* kDriver = "/usr/bin/chromedriver";
    static constexpr const char* kBrowser = "/usr/bin/chromium";

    ~WebDriver()
    {
        if (!session_.isEmpty())
            call("DELETE", QString());
        driver_.terminate();
        if (!driver_.waitForFinished(5000))
            driver_.kill();
    }

    // Starts the driver and a browser window of `width` x `height`; the
    // reason in `why` when it cannot.
    bool start(int width, int height, QString* why)
    {
        if (!QFileInfo::exists(QString::fromLatin1(kDriver)) || !QFileInfo::exists(QString::fromLatin1(kBrowser))) {
            *why = QStringLiteral("chromium and chromium-driver are not installed (scripts/setup test)");
            return false;
        }
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost, 0);
        port_ = probe.serverPort();
        probe.close();
        driver_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        driver_.start(QString::fromLatin1(kDriver), {QStringLiteral("--port=%1").arg(port_), QStringLiteral("--allowed-ips=127.0.0.1")});
        if (!driver_.waitForStarted(10000)) {
            *why = QStringLiteral("chromedriver did not start");
            return false;
        }
        if (!waitFor([this] { return call("GET", QStringLiteral("/status"), {}, false).toObject().value("ready").toBool(); }, 20000)) {
            *why = QStringLiteral("chromedriver did not get ready");
            return false;
        }
        const QJsonArray args{QStringLiteral("--headless=new"), QStringLiteral("--no-sandbox"), QStringLiteral("--disable-gpu"),
                              QStringLiteral("--no-first-run"), QStringLiteral("--disable-background-networking"),
                              QStringLiteral("--disable-component-update"), QStringLiteral("--disable-sync"),
                              QStringLiteral("--disable-quic"), QStringLiteral("--disable-dev-shm-usage"),
                              QStringLiteral("--user-data-dir=%1").arg(profile_.path()),
                              QStringLiteral("--window-size=%1,%2").arg(width).arg(height)};
        const QJsonObject caps{{"capabilities",
                                QJsonObject{{"alwaysMatch", QJsonObject{{"browserName", "chrome"},
                                                                        {"goog:chromeOptions", QJsonObject{{"binary", kBrowser}, {"args", args}}}}}}}};
        const QJsonObject value = call("POST", QStringLiteral("/session"), caps, false).toObject();
        session_ = value.value("sessionId").toString();
        if (session_.isEmpty())
            *why = QStringLiteral("no browser session: %1").arg(QString::fromUtf8(QJsonDocument(value).toJson(QJsonDocument::Compact)));
        return !session_.isEmpty();
    }

    void navigate(const QString& url) { call("POST", QStringLiteral("/url"), {{"url", url}}); }
    QString url() { return call("GET", QStringLiteral("/url")).toString(); }
    // The element of a CSS selector (its W3C reference), or empty.
    QString find(const QString& css)
    {
        const QJsonObject e = call("POST", QStringLiteral("/element"), {{"using", "css selector"}, {"value", css}}).toObject();
        return e.value(QStringLiteral("element-6066-11e4-a52e-4f735466cecf")).toString();
    }
    bool click(const QString& css)
    {
        const QString e = find(css);
        if (e.isEmpty())
            return false;
        const QJsonValue v = call("POST", QStringLiteral("/element/%1/click").arg(e));
        if (v.isObject() && v.toObject().contains(QStringLiteral("error")))
            qWarning("click on %s: %s", qPrintable(css), QJsonDocument(v.toObject()).toJson(QJsonDocument::Compact).constData());
        return !(v.isObject() && v.toObject().contains(QStringLiteral("error")));
    }
    void type(const QString& css, const QString& text)
    {
        call("POST", QStringLiteral("/element/%1/value").arg(find(css)), {{"text", text}});
    }
    QJsonValue run(const QString& script, const QJsonArray& args = {})
    {
        return call("POST", QStringLiteral("/execute/sync"), {{"script", script}, {"args", args}});
    }
    // Text of the first element of a selector ("" when there is none).
    QString text(const QString& css)
    {
        return run(QStringLiteral("const e = document.querySelector(arguments[0]); return e ? e.textContent : '';"), {css}).toString();
    }
    QString attribute(const QString& css, const QString& name)
    {
        return run(QStringLiteral("const e = document.querySelector(arguments[0]); return e ? e.getAttribute(arguments[1]) : null;"),
                   {css, name})
            .toString();
    }
    // Waits (on progress: each look is a round trip to the browser) until `cond`.
    bool until(const std::function<bool()>& cond, int deadlineMs = 20000) { return waitFor(cond, deadlineMs); }
    QByteArray screenshot() { return QByteArray::fromBase64(call("GET", QStringLiteral("/screenshot")).toString().toLatin1()); }
    // A DevTools command (chromedriver's own endpoint).
    void devtools(const QString& command, const QJsonObject& params)
    {
        call("POST", QStringLiteral("/goog/cdp/execute"), {{"cmd", command}, {"params", params}});
    }

private:
    QJsonValue call(const QByteArray& method, const QString& path, const QJsonObject& body = {}, bool inSession = true)
    {
        const QString base = QStringLiteral("http://127.0.0.1:%1").arg(port_);
        QNetworkRequest request(QUrl(base + (inSession ? QStringLiteral("/session/") + session_ : QString()) + path));
        request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
        request.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);
        QNetworkReply* reply = nam_.sendCustomRequest(request, method, method == "GET" || method == "DELETE" ? QByteArray()
                                                                      : QJsonDocument(body).toJson(QJsonDocument::Compact));
        waitFor([reply] { return reply->isFinished(); }, 60000);
        const QJsonObject doc = QJsonDocument::fromJson(reply->readAll()).object();
        reply->deleteLater();
        return doc.value(QStringLiteral("value"));
    }

    QProcess driver_;
    quint16 port_ = 0;
    QString session_;
    QTemporaryDir profile_;
    QNetworkAccessManager nam_;
};

}  // namespace talvane
