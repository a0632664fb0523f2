// What a hostile server's shapes of input cost against plain ones of the same size, in the same
// run: a JSON object of about 1 MB of distinct names against an array of the same values (the
// object should stay within twice the array's time), and a response head of 46,000 distinct
// names against one name repeated 46,000 times (both build the same number of fields' worth of
// text, so they should take about the same time).

#include <benchmark/benchmark.h>

#include <string>

#include "platform/coding/json_text.h"
#include "platform/net/http_header_fields.h"

namespace {

std::span<const std::uint8_t> bytes(const std::string& text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// About 1 MB: {"k0":0,"k1":1,…} or ["k0",0,"k1",1,…].
std::string jsonText(bool object) {
  std::string text(1, object ? '{' : '[');
  for (int i = 0; text.size() < 1000000; ++i) {
    if (i) text += ',';
    text += "\"k" + std::to_string(i) + (object ? "\":" : "\",") + std::to_string(i);
  }
  text += object ? '}' : ']';
  return text;
}

void BM_JSONObjectOfManyNames(benchmark::State& state) {
  const std::string text = jsonText(true);
  for (auto _ : state)
    benchmark::DoNotOptimize(platform::json_detail::parse(bytes(text), 512));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_JSONObjectOfManyNames)->Unit(benchmark::kMillisecond);

void BM_JSONArrayOfTheSameValues(benchmark::State& state) {
  const std::string text = jsonText(false);
  for (auto _ : state)
    benchmark::DoNotOptimize(platform::json_detail::parse(bytes(text), 512));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_JSONArrayOfTheSameValues)->Unit(benchmark::kMillisecond);

std::vector<std::string> headerNames(bool distinct) {
  std::vector<std::string> names;
  const std::string alphabet = "abcdefghijklmnopqrstuvwxyz0123456789";
  for (char a : alphabet)
    for (char b : alphabet)
      for (char c : alphabet) {
        if (names.size() == 46000) return names;
        names.push_back(distinct ? std::string{'x', a, b, c} : std::string("xaaa"));
      }
  return names;
}

void BM_HeadOfDistinctNames(benchmark::State& state) {
  const auto names = headerNames(state.range(0) != 0);
  for (auto _ : state) {
    platform::HTTPHeaderFields fields;
    for (const auto& name : names)
      fields.add(name, "");
    benchmark::DoNotOptimize(fields.size());
  }
}
BENCHMARK(BM_HeadOfDistinctNames)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
