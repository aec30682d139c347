#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <cstddef>

struct evp_md_ctx_st;

namespace shared {

// SHA-256 through libcrypto, which uses the processor's SHA extensions where present; every hash the
// installation engine computes (scan, chunk check, verification) goes through here.
class TSha256
{
public:
    static constexpr int digestLength = 32;

    TSha256();
    ~TSha256();
    TSha256(const TSha256&) = delete;
    TSha256& operator=(const TSha256&) = delete;

    void reset();
    void addData(const void* data, std::size_t length);
    void addData(QByteArrayView data) { addData(data.data(), std::size_t(data.size())); }
    // The raw 32-byte digest of everything added since the last reset; the object is reset afterwards.
    QByteArray result();

    static QByteArray hash(const void* data, std::size_t length);
    static QByteArray hash(QByteArrayView data) { return hash(data.data(), std::size_t(data.size())); }

    // Raw digest of a whole file, read in blocks; empty when the file cannot be opened or read.
    static QByteArray hashFile(const QString& path);

private:
    evp_md_ctx_st* context;
};

} // namespace shared
