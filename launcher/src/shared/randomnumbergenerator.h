#pragma once

#include <QtGlobal>

#include <random>

namespace shared {

// Random integers for values that only need to differ between runs (the "nocache" query item), not
// for anything secret.
class TRandomNumberGenerator
{
public:
    TRandomNumberGenerator();
    virtual ~TRandomNumberGenerator();

    virtual quint64 generate(quint64 Min, quint64 Max);
    virtual quint64 generateUnsigned(quint64 Min, quint64 Max);
    virtual qint64 generateSigned(qint64 Min, qint64 Max);

private:
    std::minstd_rand0 engine;
};

} // namespace shared
