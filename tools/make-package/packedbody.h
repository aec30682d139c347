#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

namespace makepackage {

// How chunk bodies are stored on the server.
enum class EPacking {
    None, // the plain bytes, marked not to be unpacked
    Raw, // a packed buffer with codec RAW
    Deflate, // a packed buffer with codec MINIZ: a raw deflate stream
    Lzma // a packed buffer with codec LZMA20: properties, data length, raw LZMA data
};

std::optional<EPacking> packingFromText(const QString& text);

// The stored body of a piece, packed by the launcher's own packbuf; a piece that its codec does not
// shrink is stored with codec RAW.
QByteArray packBody(const QByteArray& piece, EPacking packing);

} // namespace makepackage
