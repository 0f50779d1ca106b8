// Draws per second of each generator kind beside std::mt19937 with the matching standard
// distribution, and histogram additions.
#include <benchmark/benchmark.h>
#include <tessera.h>

#include <random>
#include <vector>

#ifdef TESSERA_HAVE_GSL
#include <gsl/gsl_randist.h>
#include <gsl/gsl_rng.h>
#endif

namespace {

constexpr int draws = 1 << 20;

template <class G, class P> void tessera_draws(benchmark::State &state, int32_t tag, P params) {
    auto *g = static_cast<G *>(genNew_(tag, 12345, &params));
    for (auto _ : state) {
        double sum = 0;
        for (int i = 0; i < draws; ++i) sum += g->generate(g);
        benchmark::DoNotOptimize(sum);
    }
    genFree_(tag, g);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * draws);
}

template <class D> void std_draws(benchmark::State &state, D dist) {
    std::mt19937 rng(12345);
    for (auto _ : state) {
        double sum = 0;
        for (int i = 0; i < draws; ++i) sum += dist(rng);
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * draws);
}

void uniform_int_tessera(benchmark::State &s) {
    tessera_draws<_int_generator_struct_>(s, GEN_UNIFORM_INT, GenUniformIntParams{0, 99});
}
void uniform_int_std(benchmark::State &s) { std_draws(s, std::uniform_int_distribution<int>(0, 99)); }
void uniform_float_tessera(benchmark::State &s) {
    tessera_draws<_float_generator_struct_>(s, GEN_UNIFORM_FLOAT, GenUniformFloatParams{2, 3});
}
void uniform_float_std(benchmark::State &s) { std_draws(s, std::uniform_real_distribution<double>(2, 3)); }
void gaussian_tessera(benchmark::State &s) {
    tessera_draws<_float_generator_struct_>(s, GEN_GAUSSIAN, GenGaussianParams{0, 1});
}
void gaussian_std(benchmark::State &s) { std_draws(s, std::normal_distribution<double>(0, 1)); }
void exponential_tessera(benchmark::State &s) {
    tessera_draws<_float_generator_struct_>(s, GEN_EXPONENTIAL, GenExponentialParams{2});
}
void exponential_std(benchmark::State &s) { std_draws(s, std::exponential_distribution<double>(2)); }

#ifdef TESSERA_HAVE_GSL
// GSL's ran2 is the same generator (L'Ecuyer with a Bays-Durham shuffle): the same-algorithm
// anchor for each kind of draw.
template <class Draw> void gsl_draws(benchmark::State &state, Draw draw) {
    gsl_rng *r = gsl_rng_alloc(gsl_rng_ran2);
    gsl_rng_set(r, 12345);
    for (auto _ : state) {
        double sum = 0;
        for (int i = 0; i < draws; ++i) sum += draw(r);
        benchmark::DoNotOptimize(sum);
    }
    gsl_rng_free(r);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * draws);
}
void uniform_int_gsl(benchmark::State &s) {
    gsl_draws(s, [](gsl_rng *r) { return static_cast<double>(gsl_rng_uniform_int(r, 100)); });
}
void uniform_float_gsl(benchmark::State &s) {
    gsl_draws(s, [](gsl_rng *r) { return gsl_rng_uniform(r) + 2; });
}
void gaussian_gsl(benchmark::State &s) {
    gsl_draws(s, [](gsl_rng *r) { return gsl_ran_gaussian(r, 1); });
}
void exponential_gsl(benchmark::State &s) {
    gsl_draws(s, [](gsl_rng *r) { return gsl_ran_exponential(r, 0.5); });
}
BENCHMARK(uniform_int_gsl)->Unit(benchmark::kMillisecond);
BENCHMARK(uniform_float_gsl)->Unit(benchmark::kMillisecond);
BENCHMARK(gaussian_gsl)->Unit(benchmark::kMillisecond);
BENCHMARK(exponential_gsl)->Unit(benchmark::kMillisecond);
#endif

BENCHMARK(uniform_int_tessera)->Unit(benchmark::kMillisecond);
BENCHMARK(uniform_int_std)->Unit(benchmark::kMillisecond);
BENCHMARK(uniform_float_tessera)->Unit(benchmark::kMillisecond);
BENCHMARK(uniform_float_std)->Unit(benchmark::kMillisecond);
BENCHMARK(gaussian_tessera)->Unit(benchmark::kMillisecond);
BENCHMARK(gaussian_std)->Unit(benchmark::kMillisecond);
BENCHMARK(exponential_tessera)->Unit(benchmark::kMillisecond);
BENCHMARK(exponential_std)->Unit(benchmark::kMillisecond);

void histogram_add(benchmark::State &state) {
    Hist h = hiNew(256, 0, 1);
    std::mt19937 rng(1);
    std::uniform_real_distribution<double> u(-0.1, 1.1);
    std::vector<double> xs(draws);
    for (double &x : xs) x = u(rng);
    for (auto _ : state) {
        for (double x : xs) hiAdd(h, x, 1.0);
        benchmark::ClobberMemory();
    }
    hiFree(h);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * draws);
}
BENCHMARK(histogram_add)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
