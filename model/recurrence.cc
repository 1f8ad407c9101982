#include "model/recurrence.h"

#include <utility>

namespace calendar_mirrow_addin {

namespace {

// Same instant, milliseconds included: neither is earlier than the other. Exceptions
// always carry an original date; two missing ones are taken as the same key.
bool SameOriginalDate(const Event& a, const Event& b) {
  const DateTime* left = a.original_date();
  const DateTime* right = b.original_date();
  if (left == nullptr || right == nullptr) return left == right;
  return !(*left < *right) && !(*right < *left);
}

// The exception of `list` that stands for the occurrence `wanted` replaces. When several
// replace the same occurrence, the last one wins, as it would when they are keyed by date.
const Event* FindByOriginalDate(const std::vector<std::unique_ptr<Event>>& list,
                                const Event& wanted) {
  for (auto it = list.rbegin(); it != list.rend(); ++it) {
    if (SameOriginalDate(**it, wanted)) return it->get();
  }
  return nullptr;
}

bool ExceptionsEqual(const Recurrence& a, const Recurrence& b) {
  if (a.exceptions().size() != b.exceptions().size()) return false;
  for (const auto& exception : b.exceptions()) {
    const Event* match = FindByOriginalDate(a.exceptions(), *exception);
    if (match == nullptr || !ExceptionEquivalent(*match, *exception)) return false;
  }
  return true;
}

bool RulesEqual(const Recurrence& a, const Recurrence& b) {
  return a.duration() == b.duration() && a.frequency() == b.frequency() && a.count() == b.count() &&
         a.interval() == b.interval() && a.ordwk() == b.ordwk() &&
         a.days_of_week() == b.days_of_week() && a.month_day() == b.month_day() &&
         a.month() == b.month();
}

}  // namespace

Recurrence::Recurrence() = default;

Recurrence::~Recurrence() = default;

std::unique_ptr<Recurrence> Recurrence::Clone() const {
  auto copy = std::make_unique<Recurrence>();
  copy->text_ = text_;
  if (start_) copy->start_ = std::make_unique<DateTime>(*start_);
  copy->duration_ = duration_;
  copy->frequency_ = frequency_;
  if (until_) copy->until_ = std::make_unique<DateTime>(*until_);
  for (const auto& exception : exceptions_) copy->exceptions_.push_back(exception->Clone());
  copy->tzid_ = tzid_;
  copy->interval_ = interval_;
  copy->ordwk_ = ordwk_;
  copy->days_of_week_ = days_of_week_;
  copy->month_day_ = month_day_;
  copy->month_ = month_;
  copy->count_ = count_;
  return copy;
}

void Recurrence::AddException(std::unique_ptr<Event> exception) {
  if (exception != nullptr) exceptions_.push_back(std::move(exception));
}

void Recurrence::ClearExceptions() { exceptions_.clear(); }

std::vector<Event*> Recurrence::ExceptionList() const {
  std::vector<Event*> list;
  list.reserve(exceptions_.size());
  for (const auto& exception : exceptions_) list.push_back(exception.get());
  return list;
}

bool RecurrenceEquals(const Recurrence* a, const Recurrence* b) {
  if (a == nullptr || b == nullptr) return a == b;
  return OptionalEquals(a->start(), b->start()) && OptionalEquals(a->until(), b->until()) &&
         RulesEqual(*a, *b) && ExceptionsEqual(*a, *b);
}

}  // namespace calendar_mirrow_addin
