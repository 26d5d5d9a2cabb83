// Debian's mosquitto for the tests: a broker of the test's own on a free
// loopback port, with a configuration file of its own (anonymous clients,
// or a password file; plain or TLS), that a test can stop and start again on the same
// port. Waits are for the broker to say it runs or has ended, never for time.
#pragma once

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>

#include <memory>

#include <pwd.h>
#include <unistd.h>

#include "support/waitfor.h"

namespace talvane {

class MqttBroker {
public:
    static constexpr const char* kProgram = "/usr/sbin/mosquitto";

    // `users`: user name and password pairs; none: anonymous clients.
    explicit MqttBroker(QList<QPair<QString, QString>> users = {}) : users_(std::move(users)) {}

    // TLS only, with a certificate for 127.0.0.1 from a CA of its own
    // (made with openssl): caFile() is what a client checks it against.
    bool useTls()
    {
        const QString ca = dir_.filePath(QStringLiteral("ca"));
        const QString server = dir_.filePath(QStringLiteral("server"));
        const QString ext = dir_.filePath(QStringLiteral("san.cnf"));
        QFile san(ext);
        if (!san.open(QIODevice::WriteOnly) || san.write("subjectAltName=IP:127.0.0.1\n") < 0)
            return false;
        san.close();
        const QStringList curve{QStringLiteral("-newkey"), QStringLiteral("ec"), QStringLiteral("-pkeyopt"),
                                QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes")};
        auto openssl = [](const QStringList& args) {
            QProcess p;
            p.start(QStringLiteral("openssl"), args);
            return p.waitForFinished(30000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
        };
        tls_ = openssl(QStringList{QStringLiteral("req"), QStringLiteral("-x509")} + curve
                       + QStringList{QStringLiteral("-keyout"), ca + QStringLiteral(".key"), QStringLiteral("-out"),
                                     ca + QStringLiteral(".pem"), QStringLiteral("-days"), QStringLiteral("2"),
                                     QStringLiteral("-subj"), QStringLiteral("/CN=test CA")})
               && openssl(QStringList{QStringLiteral("req")} + curve
                          + QStringList{QStringLiteral("-keyout"), server + QStringLiteral(".key"), QStringLiteral("-out"),
                                        server + QStringLiteral(".csr"), QStringLiteral("-subj"), QStringLiteral("/CN=127.0.0.1")})
               && openssl({QStringLiteral("x509"), QStringLiteral("-req"), QStringLiteral("-in"), server + QStringLiteral(".csr"),
                           QStringLiteral("-CA"), ca + QStringLiteral(".pem"), QStringLiteral("-CAkey"), ca + QStringLiteral(".key"),
                           QStringLiteral("-CAcreateserial"), QStringLiteral("-out"), server + QStringLiteral(".pem"),
                           QStringLiteral("-days"), QStringLiteral("2"), QStringLiteral("-extfile"), ext});
        return tls_;
    }
    QString caFile() const { return dir_.filePath(QStringLiteral("ca.pem")); }
    ~MqttBroker() { stop(); }

    static bool installed() { return QFile::exists(QString::fromLatin1(kProgram)); }

    // Starts it on `port`, or on a free one the first time.
    bool start()
    {
        if (!dir_.isValid())
            return false;
        for (int attempt = 0; attempt < 5; ++attempt) {
            if (port_ == 0 || attempt > 0) {
                if (attempt > 0 && fixedPort_)
                    return false;
                QTcpServer probe;
                if (!probe.listen(QHostAddress::LocalHost, 0))
                    return false;
                port_ = probe.serverPort();
            }
            if (launch())
                return true;
        }
        return false;
    }
    // Starts it again on the same port (after stop()).
    bool restart()
    {
        fixedPort_ = true;
        const bool ok = start();
        fixedPort_ = false;
        return ok;
    }
    void stop()
    {
        if (!process_)
            return;
        // A broker that has only just started may miss the signal until its
        // loop next wakes: it is killed then (it keeps nothing anyway).
        process_->terminate();
        if (!process_->waitForFinished(1000)) {
            process_->kill();
            process_->waitForFinished(10000);
        }
        process_.reset();
    }
    bool running() const { return process_ && process_->state() == QProcess::Running; }
    quint16 port() const { return port_; }
    QString address() const { return QStringLiteral("127.0.0.1:%1").arg(port_); }
    QString log() const { return log_; }
    QString path(const QString& name) const { return dir_.filePath(name); }

private:
    bool launch()
    {
        QString config = QStringLiteral("listener %1 127.0.0.1\nlog_dest stderr\n").arg(port_);
        // Started as root it would become the user "mosquitto", who cannot
        // read the test's own files; as anyone else it stays who it is.
        if (const passwd* me = ::getpwuid(::getuid()))
            config += QStringLiteral("user %1\n").arg(QString::fromLocal8Bit(me->pw_name));
        if (tls_)
            config += QStringLiteral("cafile %1\ncertfile %2\nkeyfile %3\n")
                          .arg(caFile(), dir_.filePath(QStringLiteral("server.pem")), dir_.filePath(QStringLiteral("server.key")));
        if (users_.isEmpty()) {
            config += QStringLiteral("allow_anonymous true\n");
        } else {
            const QString passwords = dir_.filePath(QStringLiteral("passwords"));
            QFile::remove(passwords);
            for (const auto& u : users_) {
                // mosquitto_passwd writes the file (-c: a new one first).
                QStringList args{QStringLiteral("-b"), passwords, u.first, u.second};
                if (!QFile::exists(passwords))
                    args.prepend(QStringLiteral("-c"));
                if (QProcess::execute(QStringLiteral("mosquitto_passwd"), args) != 0)
                    return false;
            }
            config += QStringLiteral("allow_anonymous false\npassword_file %1\n").arg(passwords);
        }
        const QString configPath = dir_.filePath(QStringLiteral("mosquitto.conf"));
        QFile file(configPath);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(config.toUtf8()) < 0)
            return false;
        file.close();
        log_.clear();
        process_ = std::make_unique<QProcess>();
        process_->setProcessChannelMode(QProcess::MergedChannels);
        QObject::connect(process_.get(), &QProcess::readyRead, [this] { log_ += QString::fromUtf8(process_->readAll()); });
        process_->start(QString::fromLatin1(kProgram), {QStringLiteral("-c"), configPath});
        if (!process_->waitForStarted(10000))
            return false;
        // It says "running" once it listens; it ends at once when the port is taken.
        if (!waitFor([this] { return log_.contains(QLatin1String(" running")) || !running(); }, 20000) || !running()) {
            process_.reset();
            return false;
        }
        return true;
    }

    QTemporaryDir dir_;
    QList<QPair<QString, QString>> users_;
    std::unique_ptr<QProcess> process_;
    QString log_;
    quint16 port_ = 0;
    bool fixedPort_ = false;
    bool tls_ = false;
};

}  // namespace talvane
