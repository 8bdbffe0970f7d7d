// What the benchmark programs share: the median of repetitions, the
// interleaved start of Google Benchmark, and removing a scratch tree.
#ifndef DVRPLAT_BENCH_SUPPORT_H
#define DVRPLAT_BENCH_SUPPORT_H

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

namespace dvrbench {

inline double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

// The median of the figures kept under name; false when there are none.
inline bool median_of(const std::map<std::string, std::vector<double>> &m, const std::string &name, double &out)
{
    auto it = m.find(name);
    if (it == m.end() || it->second.empty())
        return false;
    out = median(it->second);
    return true;
}

// Google Benchmark's start, with the repetitions of the cases interleaved
// so that a change in the machine's load falls on both sides of a
// comparison.
inline void initialize_interleaved(int argc, char **argv)
{
    std::vector<char *> args(argv, argv + argc);
    std::string interleave = "--benchmark_enable_random_interleaving=true";
    args.insert(args.begin() + 1, interleave.data());
    int nargs = static_cast<int>(args.size());
    benchmark::Initialize(&nargs, args.data());
}

// Removes a scratch directory and what it holds (nothing when empty).
inline void remove_tree(const std::string &dir)
{
    if (dir.empty())
        return;
    const std::string cmd = "rm -rf '" + dir + "'";
    if (std::system(cmd.c_str()) != 0)
        std::fprintf(stderr, "could not remove %s\n", dir.c_str());
}

} // namespace dvrbench

#endif
