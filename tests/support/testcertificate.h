#pragma once

#include <QSslCertificate>
#include <QSslKey>
#include <QString>

namespace korvane::test {

// A self-signed certificate for "localhost" (DNS name only, no IP address), made once per process
// by the openssl program into a temporary folder. Since it names no address, a client that talks
// to 127.0.0.1 passes the check only when it verifies the peer as "localhost".
struct TTestCertificate
{
    QSslCertificate certificate;
    QSslKey key;
    QString errorString;

    bool isValid() const { return !certificate.isNull() && !key.isNull(); }

    static const TTestCertificate& localhost();
    // Adds the certificate to the process's default TLS configuration, so that requests made after
    // this call trust it.
    static bool trustLocalhost();
};

} // namespace korvane::test
