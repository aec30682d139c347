#include "contentfolder.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>
#include <exception>

using namespace makepackage;

int main(int argc, char* argv[])
{
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("make-package"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Writes a content folder for a plain HTTP server from a folder of files: launcher.json, "
        "package/package.json, optionally package/assets.json, and package/chunks/<sha256 of each body>."));
    parser.addHelpOption();
    const QCommandLineOption input(
        QStringLiteral("input"), QStringLiteral("Folder with the package's files."), QStringLiteral("folder"));
    const QCommandLineOption assetInput(QStringLiteral("asset-input"),
        QStringLiteral("Folder with files for an asset configuration."), QStringLiteral("folder"));
    const QCommandLineOption output(QStringLiteral("output"),
        QStringLiteral("Content folder to write; it must be missing or empty."), QStringLiteral("folder"));
    const QCommandLineOption name(QStringLiteral("name"), QStringLiteral("Package name."), QStringLiteral("text"),
        QStringLiteral("Korvane Vedudi"));
    const QCommandLineOption directoryName(QStringLiteral("directory-name"),
        QStringLiteral("Installation folder name of the package."), QStringLiteral("text"), QStringLiteral("korvane"));
    const QCommandLineOption version(
        QStringLiteral("version"), QStringLiteral("Package version."), QStringLiteral("text"), QStringLiteral("1"));
    const QCommandLineOption assetVersion(QStringLiteral("asset-version"),
        QStringLiteral("Asset version; a whole number is written as a number."), QStringLiteral("text"),
        QStringLiteral("1"));
    const QCommandLineOption executable(QStringLiteral("executable"),
        QStringLiteral("Client program, relative to the installation folder."), QStringLiteral("path"));
    const QCommandLineOption parameter(QStringLiteral("parameter"),
        QStringLiteral("Client argument; may be given several times."), QStringLiteral("text"));
    const QCommandLineOption installAutomatically(
        QStringLiteral("install-automatically"), QStringLiteral("Mark the package for automatic installation."));
    const QCommandLineOption chunkSize(QStringLiteral("chunk-size"),
        QStringLiteral("Cut fixed-size chunks of this many bytes instead of content-defined ones."),
        QStringLiteral("bytes"));
    const QCommandLineOption contentDefined(QStringLiteral("content-defined"),
        QStringLiteral("Cut chunks with the installation scan's content-defined rule (the default)."));
    const QCommandLineOption packing(QStringLiteral("packing"),
        QStringLiteral("Chunk bodies: none (plain, unpack false), raw, deflate "
                       "or lzma (packed buffers)."),
        QStringLiteral("kind"), QStringLiteral("none"));
    parser.addOptions({ input, assetInput, output, name, directoryName, version, assetVersion, executable, parameter,
        installAutomatically, chunkSize, contentDefined, packing });
    parser.process(application);

    const auto usageError = [](const char* message) {
        std::fprintf(stderr, "make-package: %s (see --help)\n", message);
        return 2;
    };
    if (!parser.isSet(input) || !parser.isSet(output))
        return usageError("--input and --output are required");
    if (!parser.positionalArguments().isEmpty())
        return usageError("unexpected arguments");

    TContentOptions options;
    options.inputDirectory = parser.value(input);
    options.assetInputDirectory = parser.value(assetInput);
    options.outputDirectory = parser.value(output);
    options.name = parser.value(name);
    options.directoryName = parser.value(directoryName);
    options.version = parser.value(version);
    options.assetVersion = parser.value(assetVersion);
    options.executable = parser.value(executable);
    options.parameters = parser.values(parameter);
    options.installAutomatically = parser.isSet(installAutomatically);
    // Content-defined cuts by default: the scan then finds the pieces a player already has, after an
    // update as after a failed install.
    options.contentDefined = !parser.isSet(chunkSize);
    if (parser.isSet(chunkSize)) {
        if (parser.isSet(contentDefined))
            return usageError("--chunk-size and --content-defined exclude each other");
        bool sizeIsNumber = false;
        options.chunkSize = parser.value(chunkSize).toULongLong(&sizeIsNumber);
        if (!sizeIsNumber || options.chunkSize == 0 || options.chunkSize > (std::uint64_t(1) << 30))
            return usageError("--chunk-size needs a number of bytes from 1 to 1073741824");
    }
    const auto chosenPacking = packingFromText(parser.value(packing));
    if (!chosenPacking)
        return usageError("--packing is one of none, raw, deflate, lzma");
    options.packing = *chosenPacking;

    try {
        writeContentFolder(options);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "make-package: %s\n", error.what());
        return 1;
    }
    return 0;
}
