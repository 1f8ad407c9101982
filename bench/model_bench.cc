// Throughput of the text forms that every sync reads and writes in bulk: ISO times in
// feeds and sync data, and recurrence text in recurring entries.

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "model/date_time.h"
#include "model/recurrence.h"

namespace calendar_mirrow_addin {
namespace {

std::vector<std::wstring> IsoTexts() {
  std::vector<std::wstring> texts;
  for (int i = 0; i < 1000; ++i) {
    const DateTime value = AddSeconds(DateTime::FromFields(1, 1, 2026, 0, 0, 0, 0), i * 7919LL);
    texts.push_back(FormatIso(value));
  }
  return texts;
}

const wchar_t* const kRecurrences[] = {
    L"DTSTART;TZID=America/New_York:20080303T090000\r\nDURATION:PT3600S\r\n"
    L"RRULE:FREQ=WEEKLY;COUNT=10;BYDAY=MO,WE",
    L"DTSTART:20080311T140000Z\r\nDTEND:20080311T150000Z\r\nRRULE:FREQ=MONTHLY;BYDAY=2TU",
    L"DTSTART;VALUE=DATE:20080307\r\nDTEND;VALUE=DATE:20080309\r\n"
    L"RRULE:FREQ=YEARLY;UNTIL=20200307",
    L"DTSTART;TZID=Europe/Paris:20080331T080000\r\nDURATION:PT1800S\r\n"
    L"RRULE:FREQ=MONTHLY;INTERVAL=2;BYSETPOS=-1;BYDAY=MO,TU,WE,TH,FR",
};

void BM_ParseIso(benchmark::State& state) {
  const auto texts = IsoTexts();
  for (auto _ : state) {
    for (const auto& text : texts) benchmark::DoNotOptimize(ParseIso(text));
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(texts.size()));
}
BENCHMARK(BM_ParseIso);

void BM_FormatIso(benchmark::State& state) {
  std::vector<DateTime> values;
  for (const auto& text : IsoTexts()) values.push_back(*ParseIso(text));
  for (auto _ : state) {
    for (const auto& value : values) benchmark::DoNotOptimize(FormatIso(value));
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(values.size()));
}
BENCHMARK(BM_FormatIso);

void BM_ParseRecurrence(benchmark::State& state) {
  for (auto _ : state) {
    for (const wchar_t* text : kRecurrences) benchmark::DoNotOptimize(ParseRecurrence(text));
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(std::size(kRecurrences)));
}
BENCHMARK(BM_ParseRecurrence);

void BM_GenerateICal(benchmark::State& state) {
  std::vector<std::unique_ptr<Recurrence>> rules;
  for (const wchar_t* text : kRecurrences) {
    auto rule = ParseRecurrence(text);
    if (!rule) {
      state.SkipWithError("a benchmark recurrence failed to parse");
      return;
    }
    rules.push_back(std::move(rule));
  }
  for (auto _ : state) {
    for (const auto& rule : rules) benchmark::DoNotOptimize(GenerateICal(*rule));
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(rules.size()));
}
BENCHMARK(BM_GenerateICal);

// A recurrence whose rule is folded after every character: feeds are hostile input, and
// unfolding must stay linear in the size of the text (compare characters per second across
// the sizes, or the fitted complexity).
void BM_ParseFoldedRecurrence(benchmark::State& state) {
  std::wstring text = L"DTSTART:20260105T090000Z\r\nRRULE:FREQ=DAILY;X-PAD=";
  while (text.size() < static_cast<size_t>(state.range(0))) text += L"a\r\n ";
  for (auto _ : state) {
    if (ParseRecurrence(text) == nullptr) {
      state.SkipWithError("the folded recurrence failed to parse");
      return;
    }
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(text.size()));  // characters
  state.SetComplexityN(static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_ParseFoldedRecurrence)
    ->Arg(1 << 20)
    ->Arg(3 << 20)
    ->Unit(benchmark::kMillisecond)
    ->Complexity(benchmark::oN);

}  // namespace
}  // namespace calendar_mirrow_addin
