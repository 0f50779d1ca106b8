// Chunk allocation against malloc and boost::pool, and counted-string building.
#include <benchmark/benchmark.h>
#include <tessera.h>

#include <algorithm>
#include <cstdlib>
#include <numeric>
#include <random>
#include <vector>

#ifdef TESSERA_HAVE_BOOST_POOL
#include <boost/pool/object_pool.hpp>
#include <boost/pool/pool.hpp>
#endif

namespace {

constexpr std::size_t block = 32;

std::vector<std::size_t> shuffled(std::size_t n) {
    std::vector<std::size_t> order(n);
    std::iota(order.begin(), order.end(), 0);
    std::shuffle(order.begin(), order.end(), std::mt19937(42));
    return order;
}

// The three workloads share one shape: fill `live` slots, then free them in `order`, repeating
// `rounds` times so that short workloads run long enough to measure.
struct Workload {
    std::size_t live;
    std::size_t rounds;
    bool random_order;
};

constexpr Workload reverse_1m{1000000, 1, false};
constexpr Workload random_8k{8192, 122, true};
constexpr Workload random_1m{1000000, 1, true};

template <class Alloc, class Free> void run(benchmark::State &state, const Workload &w, Alloc alloc, Free release) {
    std::vector<void *> slots(w.live);
    std::vector<std::size_t> order(w.live);
    if (w.random_order) order = shuffled(w.live);
    else
        for (std::size_t i = 0; i < w.live; ++i) order[i] = w.live - 1 - i;
    for (auto _ : state) {
        for (std::size_t r = 0; r < w.rounds; ++r) {
            for (std::size_t i = 0; i < w.live; ++i) slots[i] = alloc();
            for (std::size_t i : order) release(slots[i]);
        }
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * w.live * w.rounds));
}

void chunk(benchmark::State &state, Workload w) {
    Chunk c = chNew(block);
    run(
        state, w, [c] { return chAlloc(c); }, [c](void *p) { chFree(c, p); });
    chNuke(c);
}

void heap(benchmark::State &state, Workload w) {
    run(
        state, w, [] { return std::malloc(block); }, [](void *p) { std::free(p); });
}

#ifdef TESSERA_HAVE_BOOST_POOL
void pool(benchmark::State &state, Workload w) {
    boost::pool<> p(block);
    run(
        state, w, [&p] { return p.malloc(); }, [&p](void *b) { p.free(b); });
}

// The same pool used as a long-lived allocator is: through a pointer to memory the rest of the
// program can reach (as every Chunk is), so the compiler keeps its free list in memory rather
// than in a register across the loop.
void pool_shared(benchmark::State &state, Workload w) {
    auto *p = new boost::pool<>(block);
    benchmark::DoNotOptimize(p);
    run(
        state, w, [p] { return p->malloc(); }, [p](void *b) { p->free(b); });
    delete p;
}

// object_pool keeps its free list ordered, so a free costs a walk of it: only the reverse
// workload (each free lands at the front) finishes in reasonable time.
struct Block {
    char bytes[block];
};
void object_pool(benchmark::State &state, Workload w) {
    boost::object_pool<Block> p;
    run(
        state, w, [&p] { return static_cast<void *>(p.malloc()); }, [&p](void *b) { p.free(static_cast<Block *>(b)); });
}
#endif

BENCHMARK_CAPTURE(chunk, reverse_1m, reverse_1m);
BENCHMARK_CAPTURE(heap, reverse_1m, reverse_1m);
#ifdef TESSERA_HAVE_BOOST_POOL
BENCHMARK_CAPTURE(pool, reverse_1m, reverse_1m);
BENCHMARK_CAPTURE(pool_shared, reverse_1m, reverse_1m);
BENCHMARK_CAPTURE(object_pool, reverse_1m, reverse_1m);
#endif
BENCHMARK_CAPTURE(chunk, random_8k, random_8k);
BENCHMARK_CAPTURE(heap, random_8k, random_8k);
#ifdef TESSERA_HAVE_BOOST_POOL
BENCHMARK_CAPTURE(pool, random_8k, random_8k);
BENCHMARK_CAPTURE(pool_shared, random_8k, random_8k);
#endif
BENCHMARK_CAPTURE(chunk, random_1m, random_1m);
BENCHMARK_CAPTURE(heap, random_1m, random_1m);
#ifdef TESSERA_HAVE_BOOST_POOL
BENCHMARK_CAPTURE(pool, random_1m, random_1m);
BENCHMARK_CAPTURE(pool_shared, random_1m, random_1m);
#endif

// A counted string recounts its length on every append (clients may write into the buffer, so
// no cached length could be trusted): building by single characters is quadratic by design.
void str_add_char(benchmark::State &state) {
    const auto size = static_cast<std::size_t>(state.range(0));
    for (auto _ : state) {
        adtStringHeader *s = nullptr;
        for (std::size_t i = 0; i < size; ++i) strAddChar_(&s, static_cast<char>('a' + i % 26));
        benchmark::DoNotOptimize(strGet(s));
        strFree(s);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}
BENCHMARK(str_add_char)->Arg(1 << 16)->Arg(1 << 20)->Unit(benchmark::kMillisecond)->Iterations(1);

void str_cat(benchmark::State &state) {
    const auto piece_size = static_cast<std::size_t>(state.range(0));
    adtStringHeader *piece = strNew(static_cast<int32_t>(piece_size));
    for (std::size_t i = 0; i < piece_size; ++i) strAddChar_(&piece, 'x');
    const std::size_t total = 1 << 20;
    for (auto _ : state) {
        adtStringHeader *s = nullptr;
        for (std::size_t n = 0; n < total; n += piece_size) strCat_(&s, piece);
        benchmark::DoNotOptimize(strGet(s));
        strFree(s);
    }
    strFree(piece);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * total));
}
BENCHMARK(str_cat)->Arg(64)->Arg(4096)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
