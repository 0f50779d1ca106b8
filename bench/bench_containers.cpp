// The priority queue against std::priority_queue (no handles: the lower bound), std::multiset
// erased by iterator and boost.heap's mutable 4-ary and pairing heaps; the list against std::list.
#include <benchmark/benchmark.h>
#include <tessera.h>

#include <algorithm>
#include <list>
#include <memory>
#include <queue>
#include <random>
#include <set>
#include <vector>

#ifdef TESSERA_HAVE_BOOST_HEAP
#include <boost/heap/d_ary_heap.hpp>
#include <boost/heap/pairing_heap.hpp>
#endif

namespace {

std::vector<double> keys(std::size_t n) {
    std::mt19937_64 rng(12345);
    std::uniform_real_distribution<double> d(0.0, 1.0);
    std::vector<double> k(n);
    for (double &x : k) x = d(rng);
    return k;
}

std::vector<std::size_t> random_picks(std::size_t n, std::size_t count) {
    std::vector<std::size_t> idx(n);
    for (std::size_t i = 0; i < n; ++i) idx[i] = i;
    std::shuffle(idx.begin(), idx.end(), std::mt19937(7));
    idx.resize(count);
    return idx;
}

bool greater(void *a, void *b) { return *static_cast<double *>(a) > *static_cast<double *>(b); }

// --- the three workloads, written once per container through a small adapter -------------

struct Tessera {
    PriQ p = pqNew(greater);
    Tessera() = default;
    Tessera(const Tessera &) = delete;
    Tessera &operator=(const Tessera &) = delete;
    std::vector<_PriQNode *> handles;
    ~Tessera() { pqFree(p); }
    void add(std::size_t i, double *k) { handles[i] = pqAdd(p, k); }
    void add_untracked(double *k) { pqAdd(p, k); }
    double pop() {
        _PriQNode *h = pqFirst(p);
        const double v = *static_cast<double *>(pqGet(h));
        pqRem(h);
        return v;
    }
    void erase(std::size_t i) { pqRem(handles[i]); }
    bool empty() const { return pqLen(p) == 0; }
};

struct StdPQ { // no handles: arbitrary removal is not possible
    std::priority_queue<double, std::vector<double>, std::greater<>> q;
    void add(std::size_t, double *k) { q.push(*k); }
    void add_untracked(double *k) { q.push(*k); }
    double pop() {
        const double v = q.top();
        q.pop();
        return v;
    }
    bool empty() const { return q.empty(); }
};

struct MultiSet {
    std::multiset<double> s;
    std::vector<std::multiset<double>::iterator> handles;
    void add(std::size_t i, double *k) { handles[i] = s.insert(*k); }
    void add_untracked(double *k) { s.insert(*k); }
    double pop() {
        const double v = *s.begin();
        s.erase(s.begin());
        return v;
    }
    void erase(std::size_t i) { s.erase(handles[i]); }
    bool empty() const { return s.empty(); }
};

#ifdef TESSERA_HAVE_BOOST_HEAP
template <class Heap> struct Boost {
    Heap h;
    std::vector<typename Heap::handle_type> handles;
    void add(std::size_t i, double *k) { handles[i] = h.push(*k); }
    void add_untracked(double *k) { h.push(*k); }
    double pop() {
        const double v = h.top();
        h.pop();
        return v;
    }
    void erase(std::size_t i) { h.erase(handles[i]); }
    bool empty() const { return h.empty(); }
};
using DAry = Boost<boost::heap::d_ary_heap<double, boost::heap::arity<4>, boost::heap::mutable_<true>,
                                           boost::heap::compare<std::greater<double>>>>;
using Pairing = Boost<boost::heap::pairing_heap<double, boost::heap::compare<std::greater<double>>>>;
#endif

template <class Q> void add_then_drain(benchmark::State &state) {
    const auto n = static_cast<std::size_t>(state.range(0));
    auto k = keys(n);
    for (auto _ : state) {
        Q q;
        if constexpr (requires { q.handles; }) q.handles.resize(n);
        for (std::size_t i = 0; i < n; ++i) q.add(i, &k[i]);
        double sum = 0;
        while (!q.empty()) sum += q.pop();
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * n));
}

template <class Q> void add_then_erase_half(benchmark::State &state) {
    const auto n = static_cast<std::size_t>(state.range(0));
    auto k = keys(n);
    const auto picks = random_picks(n, n / 2);
    for (auto _ : state) {
        Q q;
        q.handles.resize(n);
        for (std::size_t i = 0; i < n; ++i) q.add(i, &k[i]);
        for (std::size_t i : picks) q.erase(i);
        benchmark::DoNotOptimize(q.empty());
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * n));
}

// The hold model: remove the least key and add a slightly larger one, at a constant size.
template <class Q> void hold(benchmark::State &state) {
    const auto n = static_cast<std::size_t>(state.range(0));
    const std::size_t ops = 1000000;
    auto k = keys(n);
    std::vector<double> later(ops);
    std::mt19937_64 rng(99);
    std::exponential_distribution<double> step(1.0);
    for (auto _ : state) {
        state.PauseTiming();
        auto q = std::make_unique<Q>();
        if constexpr (requires { q->handles; }) q->handles.resize(n);
        for (std::size_t i = 0; i < n; ++i) q->add(i, &k[i]);
        state.ResumeTiming();
        for (std::size_t i = 0; i < ops; ++i) {
            later[i] = q->pop() + step(rng) / static_cast<double>(n);
            q->add_untracked(&later[i]);
        }
        state.PauseTiming();
        q.reset();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * ops));
}

#define QUEUE_BENCHMARKS(Q)                                                                                            \
    BENCHMARK_TEMPLATE(add_then_drain, Q)->Arg(1000000)->Arg(65536)->Unit(benchmark::kMillisecond);                    \
    BENCHMARK_TEMPLATE(hold, Q)->Arg(1000000)->Arg(65536)->Unit(benchmark::kMillisecond)->Iterations(3);

QUEUE_BENCHMARKS(Tessera)
QUEUE_BENCHMARKS(StdPQ)
QUEUE_BENCHMARKS(MultiSet)
BENCHMARK_TEMPLATE(add_then_erase_half, Tessera)->Arg(1000000)->Arg(65536)->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(add_then_erase_half, MultiSet)->Arg(1000000)->Arg(65536)->Unit(benchmark::kMillisecond);
#ifdef TESSERA_HAVE_BOOST_HEAP
QUEUE_BENCHMARKS(DAry)
QUEUE_BENCHMARKS(Pairing)
BENCHMARK_TEMPLATE(add_then_erase_half, DAry)->Arg(1000000)->Arg(65536)->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(add_then_erase_half, Pairing)->Arg(1000000)->Arg(65536)->Unit(benchmark::kMillisecond);
#endif

// --- the list: append, iterate, remove everything from the front -------------------------

void tessera_list(benchmark::State &state) {
    const auto n = static_cast<std::size_t>(state.range(0));
    std::vector<int> items(n);
    for (auto _ : state) {
        List l = liNew();
        for (std::size_t i = 0; i < n; ++i) liAdd(l, &items[i]);
        long sum = 0;
        for (_ListNode *ln = liFirst(l); ln; ln = liNext(ln)) sum += *static_cast<int *>(liGet(ln));
        for (_ListNode *ln = liFirst(l); ln;) ln = liRemAndNext(ln);
        liFree(l);
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * n));
}

void std_list(benchmark::State &state) {
    const auto n = static_cast<std::size_t>(state.range(0));
    std::vector<int> items(n);
    for (auto _ : state) {
        std::list<int *> l;
        for (std::size_t i = 0; i < n; ++i) l.push_back(&items[i]);
        long sum = 0;
        for (int *p : l) sum += *p;
        for (auto it = l.begin(); it != l.end();) it = l.erase(it);
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * n));
}

BENCHMARK(tessera_list)->Arg(1000)->Arg(1000000)->Unit(benchmark::kMicrosecond);
BENCHMARK(std_list)->Arg(1000)->Arg(1000000)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
