#include "shared/sha256.h"

#include <QFile>

#include <openssl/evp.h>

#include <memory>
#include <new>
#include <stdexcept>

namespace shared {

namespace {
constexpr qint64 fileBlockSize = 4 * 1024 * 1024;
}

TSha256::TSha256()
    : context(EVP_MD_CTX_new())
{
    if (!context)
        throw std::bad_alloc();
    reset();
}

TSha256::~TSha256()
{
    EVP_MD_CTX_free(context);
}

void TSha256::reset()
{
    if (EVP_DigestInit_ex(context, EVP_sha256(), nullptr) != 1)
        throw std::runtime_error("SHA-256 is not available");
}

void TSha256::addData(const void* data, std::size_t length)
{
    if (length > 0 && EVP_DigestUpdate(context, data, length) != 1)
        throw std::runtime_error("SHA-256 update failed");
}

QByteArray TSha256::result()
{
    QByteArray digest(digestLength, Qt::Uninitialized);
    unsigned int written = 0;
    if (EVP_DigestFinal_ex(context, reinterpret_cast<unsigned char*>(digest.data()), &written) != 1
        || written != unsigned(digestLength))
        throw std::runtime_error("SHA-256 final step failed");
    reset();
    return digest;
}

QByteArray TSha256::hash(const void* data, std::size_t length)
{
    QByteArray digest(digestLength, Qt::Uninitialized);
    unsigned int written = 0;
    if (EVP_Digest(data, length, reinterpret_cast<unsigned char*>(digest.data()), &written, EVP_sha256(), nullptr) != 1
        || written != unsigned(digestLength))
        throw std::runtime_error("SHA-256 failed");
    return digest;
}

QByteArray TSha256::hashFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const std::unique_ptr<char[]> block(new char[fileBlockSize]);
    TSha256 sha;
    for (;;) {
        const qint64 count = file.read(block.get(), fileBlockSize);
        if (count < 0)
            return {};
        if (count == 0)
            break;
        sha.addData(block.get(), std::size_t(count));
    }
    return sha.result();
}

} // namespace shared
