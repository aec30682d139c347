#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "zpaqvm.h"

namespace packbuf {

// Fixed tables of the ZPAQ model: squash/stretch, the count-based learning rates and the
// bit-history states. Built once, read-only afterwards, so threads share them.
struct TZpaqTables
{
    static const TZpaqTables& instance();

    int squash(int x) const { return squashTable[x + 2047]; }

    std::int16_t squashTable[4095];
    std::int16_t stretchTable[32768];
    std::uint32_t dt[1024];
    std::uint8_t next[256][2];
    std::uint32_t stateInit[256]; // cminit: probability of a 1 in a state, scaled by 2^23

private:
    TZpaqTables();
};

// The context-mixing predictor of a ZPAQ block: its components, their tables and the bit position
// within the current byte. Contexts come from HCOMP after every byte.
class TZpaqPredictor
{
public:
    // Reads n component records from data (available bytes). Returns the bytes used, or 0 when a
    // record is invalid, truncated or refers to a later component. Memory is not allocated yet.
    std::size_t parse(const std::uint8_t* data, std::size_t available, unsigned n);
    // Bytes the parsed components will allocate.
    std::uint64_t memoryNeeded() const;
    void allocate();

    // Probability (1 ... 65535, units of 2^-16) that the next bit is 1.
    std::uint32_t predict();
    void update(int y);
    // update(y) and then predict(), in one call for the bits within a byte.
    std::uint32_t updateAndPredict(int y);
    // After the 8th bit: HCOMP has seen the byte, so its H words are the new contexts.
    void endByte(const TZpaqlMachine& hcomp);
    // Bits of the current byte so far with a leading 1 (256 + byte after the 8th bit).
    std::uint32_t partialByte() const { return m_c8; }
    std::size_t size() const { return m_components.size(); }

private:
    struct TComponent
    {
        std::uint8_t type = 0;
        std::uint8_t s = 0, j = 0, k = 0, rate = 0, mask = 0, wt = 0, b = 0;
        std::uint32_t limit = 0; // 4 * the record's limit
        std::uint32_t sizeMask = 0;
        std::int32_t constant = 0;
        std::uint32_t cxt = 0; // table position chosen by the last prediction
        std::uint32_t slot = 0; // ICM/ISSE: the nibble's bucket
        TZeroedArray<std::uint32_t> words; // CM and SSE probability words
        TZeroedArray<std::uint32_t> pointers; // MATCH: history positions by context hash
        std::vector<std::int32_t> weights; // ICM state probabilities, ISSE and MIX/MIX2 weights
        // ICM/ISSE buckets (aligned, so the candidates of one lookup share a cache line) or MATCH
        // history; points into byteStorage.
        TZeroedArray<std::uint8_t> byteStorage;
        std::uint8_t* bytes = nullptr;
        void allocateBytes(std::size_t n);
        std::uint32_t length = 0, offset = 0, position = 0, bufferMask = 0; // MATCH
        int predictedBit = 0; // MATCH
    };

    // The bodies of predict() and update(), inlined into each of their callers.
    std::uint32_t predictInline();
    void updateInline(int y);
    std::uint32_t find(TComponent& c, std::uint32_t key);
    // Asks for the ICM and ISSE buckets of the nibble that starts with partial byte c8.
    void prefetchBuckets(std::uint32_t c8) const;
    void prefetchRows() const;

    const TZpaqTables& m_tables = TZpaqTables::instance();
    std::vector<TComponent> m_components;
    std::vector<std::int32_t> m_p;
    std::vector<std::uint32_t> m_h;
    std::vector<std::uint32_t> m_bucketed; // ICM and ISSE components
    std::vector<std::uint32_t> m_rowed; // CM and SSE components
    std::vector<std::uint32_t> m_matched; // MATCH components
    std::uint32_t m_c8 = 1;
    std::uint32_t m_k = 1;
    int m_bit = 0; // bits of the current byte already coded
};

} // namespace packbuf
