#include "installation/packageverification.h"

#include "shared/sha256.h"

#include <QDebug>
#include <QFile>
#include <QFuture>
#include <QList>
#include <QMutex>
#include <QThread>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>

#include <memory>
#include <stdexcept>

namespace korvane::launcher {

namespace {

struct TVerificationState
{
    QList<TFileInPackage> queue;
    QMutex mutex;
    bool result = true;
    TFileSize bytesHashed = 0;
    TFileSize bytesToHash = 0;
    QDir installationDirectory;
    std::shared_ptr<TLauncherFilesystemHelper> filesystemHelper;
    const TPackageVerification::TProgress* progress = nullptr;
};

void fail(TVerificationState& state)
{
    QMutexLocker lock(&state.mutex);
    state.result = false;
}

// False when the file is missing, unreadable or different; this worker then ends.
bool verifyOneFile(TVerificationState& state, const TFileInPackage& entry, char* buffer, QString& path)
{
    path = state.filesystemHelper->pathInsideFolder(state.installationDirectory, entry.localFile);
    QFile file(path);
    if (!file.open(QIODeviceBase::ReadOnly | QIODeviceBase::ExistingOnly))
        return false;
    shared::TSha256 hash;
    for (;;) {
        const qint64 count = file.read(buffer, TPackageVerification::blockSize);
        if (count < 0)
            return false;
        if (count == 0)
            break;
        hash.addData(buffer, std::size_t(count));
        QMutexLocker lock(&state.mutex);
        state.bytesHashed += TFileSize(count);
        if (*state.progress)
            (*state.progress)(state.bytesHashed, state.bytesToHash);
    }
    file.close();
    if (hash.result() != entry.unpackedHash) {
        qWarning() << "verification of file " << path << " failed";
        return false;
    }
    qInfo() << "verification of file " << path << " successfully"
            << " Thread: " << QThread::currentThreadId();
    return true;
}

void runWorker(TVerificationState& state)
{
    // One buffer for every file this worker hashes: it is only ever written by the reads, so it needs
    // no zeroing, and a fresh one per file would cost its page faults again.
    std::unique_ptr<char[]> buffer;
    try {
        buffer.reset(new char[std::size_t(TPackageVerification::blockSize)]);
        for (;;) {
            TFileInPackage entry;
            {
                QMutexLocker lock(&state.mutex);
                if (state.queue.isEmpty() || !state.result)
                    return;
                entry = state.queue.takeFirst();
            }
            QString path = entry.localFile;
            try {
                if (!verifyOneFile(state, entry, buffer.get(), path)) {
                    fail(state);
                    return;
                }
            } catch (const std::exception& e) {
                qWarning() << "verification of files crashed in file: " << path << " exception: " << e.what();
                throw;
            }
        }
    } catch (const std::exception& e) {
        qWarning() << "verification of files crashed. exception: " << e.what();
        fail(state);
    } catch (...) {
        qWarning() << "verification of files crashed ";
        fail(state);
    }
}

} // namespace

bool TPackageVerification::verifyFiles(const QDir& installationDirectory,
    const std::shared_ptr<TLauncherFilesystemHelper>& filesystemHelper, const TFileInPackageVector& files,
    const TProgress& progress)
{
    qInfo() << "VerifyPackage: " << installationDirectory.absolutePath() << " Thread: " << QThread::currentThreadId();
    TVerificationState state;
    state.installationDirectory = installationDirectory;
    state.filesystemHelper = filesystemHelper;
    state.progress = &progress;
    state.queue.reserve(qsizetype(files.size()));
    for (const TFileInPackage& file : files) {
        state.queue.append(file);
        state.bytesToHash += file.unpackedSize;
    }
    QList<QFuture<void>> workers;
    for (int i = 0; i < workerCount; ++i)
        workers.append(QtConcurrent::run(QThreadPool::globalInstance(), [&state] { runWorker(state); }));
    for (QFuture<void>& worker : workers)
        worker.waitForFinished();
    return state.result;
}

} // namespace korvane::launcher
