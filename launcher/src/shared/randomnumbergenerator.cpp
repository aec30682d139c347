#include "shared/randomnumbergenerator.h"

namespace shared {

TRandomNumberGenerator::TRandomNumberGenerator()
    : engine(1)
{
    std::random_device device("default");
    const std::uint_fast32_t seed = device() % 2147483647u;
    engine.seed(seed == 0 ? 1 : seed);
}

TRandomNumberGenerator::~TRandomNumberGenerator() = default;

quint64 TRandomNumberGenerator::generate(quint64 Min, quint64 Max)
{
    return generateUnsigned(Min, Max);
}

quint64 TRandomNumberGenerator::generateUnsigned(quint64 Min, quint64 Max)
{
    Q_ASSERT_X(Min <= Max, "TRandomNumberGenerator::generateUnsigned", "Min <= Max");
    std::uniform_int_distribution<quint64> distribution(Min, Max);
    return distribution(engine);
}

qint64 TRandomNumberGenerator::generateSigned(qint64 Min, qint64 Max)
{
    Q_ASSERT_X(Min <= Max, "TRandomNumberGenerator::generateSigned", "Min <= Max");
    std::uniform_int_distribution<qint64> distribution(Min, Max);
    return distribution(engine);
}

} // namespace shared
