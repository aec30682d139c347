#include "support/testcertificate.h"

#include <QFile>
#include <QProcess>
#include <QSslConfiguration>
#include <QTemporaryDir>

namespace korvane::test {

namespace {

TTestCertificate makeLocalhostCertificate()
{
    TTestCertificate result;
    QTemporaryDir folder;
    if (!folder.isValid()) {
        result.errorString = QStringLiteral("cannot create a temporary folder");
        return result;
    }
    const QString keyPath = folder.filePath(QStringLiteral("key.pem"));
    const QString certificatePath = folder.filePath(QStringLiteral("certificate.pem"));
    QProcess openssl;
    openssl.setProcessChannelMode(QProcess::MergedChannels);
    openssl.start(QStringLiteral("openssl"),
        { "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-keyout", keyPath,
            "-out", certificatePath, "-days", "2", "-subj", "/CN=localhost", "-addext",
            "subjectAltName=DNS:localhost" });
    if (!openssl.waitForFinished(30000) || openssl.exitStatus() != QProcess::NormalExit || openssl.exitCode() != 0) {
        result.errorString = QStringLiteral("openssl failed: ") + QString::fromLocal8Bit(openssl.readAll());
        openssl.kill();
        openssl.waitForFinished(1000);
        return result;
    }
    QFile keyFile(keyPath);
    QFile certificateFile(certificatePath);
    if (!keyFile.open(QIODevice::ReadOnly) || !certificateFile.open(QIODevice::ReadOnly)) {
        result.errorString = QStringLiteral("cannot read what openssl made");
        return result;
    }
    result.key = QSslKey(keyFile.readAll(), QSsl::Ec, QSsl::Pem);
    result.certificate = QSslCertificate(certificateFile.readAll(), QSsl::Pem);
    if (!result.isValid())
        result.errorString = QStringLiteral("cannot load the certificate or its key");
    return result;
}

} // namespace

const TTestCertificate& TTestCertificate::localhost()
{
    static const TTestCertificate certificate = makeLocalhostCertificate();
    return certificate;
}

bool TTestCertificate::trustLocalhost()
{
    const TTestCertificate& made = localhost();
    if (!made.isValid())
        return false;
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    if (!configuration.caCertificates().contains(made.certificate)) {
        configuration.addCaCertificate(made.certificate);
        QSslConfiguration::setDefaultConfiguration(configuration);
    }
    return true;
}

} // namespace korvane::test
