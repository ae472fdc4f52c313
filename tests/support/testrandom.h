#pragma once

#include <QtGlobal>

// A small deterministic generator (splitmix64) for generated and mutated test inputs: the same
// seed gives the same sequence with every compiler and standard library, unlike the
// distributions of <random>.
class TestRandom
{
public:
    explicit TestRandom(quint64 seed) : state(seed) {}

    quint64 next()
    {
        quint64 z = (state += 0x9e3779b97f4a7c15ULL);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        return z ^ (z >> 31);
    }
    // 0 <= result < bound; bound must be positive.
    int below(int bound) { return int(next() % quint64(bound)); }
    bool chance(int percent) { return below(100) < percent; }
    template <typename List> const auto &pick(const List &list)
    {
        return list.at(below(list.size()));
    }

private:
    quint64 state;
};
