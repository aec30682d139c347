// Serves a folder over HTTP (or HTTPS for "localhost") on 127.0.0.1 with a port chosen by the
// operating system, for demonstrations and manual runs. Prints the base URL on the first line of
// standard output and ends by itself after --lifetime seconds.
//
//   loopback-server --folder DIR [--tls] [--lifetime SECONDS] [--url-file FILE]
//                   [--status PATH=CODE]... [--fail-first PATH=COUNT]... [--delay PATH=MS]...

#include "support/loopbackserver.h"
#include "support/testcertificate.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QTimer>

#include <cstdio>

using namespace korvane::test;

namespace {

bool splitAssignment(const QString& Text, QString& Path, int& Value)
{
    const qsizetype equals = Text.lastIndexOf('=');
    bool ok = false;
    Path = Text.left(equals);
    Value = Text.mid(equals + 1).toInt(&ok);
    return equals > 0 && ok && Path.startsWith('/');
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication application(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription("Loopback HTTP/1.1 server for tests and demonstrations");
    parser.addHelpOption();
    const QCommandLineOption folder("folder", "Folder to serve.", "dir");
    const QCommandLineOption tls("tls", "Serve https with a self-signed certificate for localhost.");
    const QCommandLineOption lifetime("lifetime", "Seconds until the server ends (default 600).", "seconds", "600");
    const QCommandLineOption urlFile("url-file", "Also write the base URL into this file.", "file");
    const QCommandLineOption status("status", "Answer PATH always with CODE.", "path=code");
    const QCommandLineOption failFirst("fail-first", "Answer the first COUNT requests of PATH with 500.", "path=count");
    const QCommandLineOption delay("delay", "Wait MS before answering PATH.", "path=ms");
    parser.addOptions({ folder, tls, lifetime, urlFile, status, failFirst, delay });
    parser.process(application);

    TLoopbackServer server(parser.isSet(tls) ? TLoopbackServer::EMode::Tls : TLoopbackServer::EMode::Plain);
    if (!server.isListening()) {
        std::fprintf(stderr, "cannot listen: %s\n", qPrintable(server.errorString()));
        return 1;
    }
    server.setRecordRequests(false);
    if (parser.isSet(folder))
        server.serveFolder(parser.value(folder));

    QHash<QString, TResponse> scripted;
    QHash<QString, int> failures;
    const auto parseAll = [&](const QCommandLineOption& Option, const auto& Apply) {
        for (const QString& text : parser.values(Option)) {
            QString path;
            int value = 0;
            if (!splitAssignment(text, path, value)) {
                std::fprintf(stderr, "bad value for --%s: %s\n", qPrintable(Option.names().first()), qPrintable(text));
                return false;
            }
            Apply(path, value);
        }
        return true;
    };
    if (!parseAll(status, [&](const QString& Path, int Value) { scripted[Path].status = Value; })
        || !parseAll(delay, [&](const QString& Path, int Value) { scripted[Path].delayBeforeHeadersMs = Value; })
        || !parseAll(failFirst, [&](const QString& Path, int Value) { failures[Path] = Value; }))
        return 2;
    for (auto it = scripted.cbegin(); it != scripted.cend(); ++it)
        server.setScript(it.key(), { it.value() });
    for (auto it = failures.cbegin(); it != failures.cend(); ++it)
        server.setScript(it.key(), firstRequests(it.value(), TResponse::withStatus(500), scripted.value(it.key())));

    const QByteArray base = server.url("/").toEncoded();
    std::printf("%s\n", base.constData());
    std::fflush(stdout);
    if (parser.isSet(urlFile)) {
        QFile file(parser.value(urlFile));
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(base + '\n') < 0) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(file.fileName()));
            return 1;
        }
    }
    QTimer::singleShot(std::max(1, parser.value(lifetime).toInt()) * 1000, &application, &QCoreApplication::quit);
    return application.exec();
}
