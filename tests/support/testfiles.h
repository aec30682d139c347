#pragma once

#include <QByteArray>
#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QString>
#include <QStringList>

namespace korvane::test {

// The file's bytes, or nothing when it cannot be read.
inline QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Writes the bytes whole, creating the file's folder first.
inline bool writeAll(const QString& path, const QByteArray& data)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(data) == data.size();
}

// Every entry below root with its kind and the hash of its content, sorted; links are shown with their
// targets, never followed. Two snapshots compare equal when nothing below root has changed.
inline QStringList snapshot(const QString& root)
{
    QStringList entries;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
        QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo info(it.next());
        const QString name = QDir(root).relativeFilePath(info.filePath());
        if (info.isSymLink())
            entries << name + " -> " + info.symLinkTarget();
        else if (info.isDir())
            entries << name + "/";
        else
            entries << name + " "
                    + QCryptographicHash::hash(readAll(info.filePath()), QCryptographicHash::Sha256).toHex();
    }
    entries.sort();
    return entries;
}

} // namespace korvane::test
