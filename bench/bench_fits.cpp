// placeholder
#include <benchmark/benchmark.h>
