#pragma once

#include <map>
#include <memory>
#include <string>

#include "model/date_time.h"
#include "model/event.h"

namespace calendar_mirrow_addin {

class IProgressMonitor;

// Events of a calendar by their id in that calendar, in exact wide-character order.
using EventMap = std::map<std::wstring, std::unique_ptr<Event>>;

// Results of Import, Update and Delete; any value other than these two is a failure.
enum MutationResult : int {
  kMutationDone = 0,
  kMutationIgnored = 1,
  kMutationFailed = 2,
};

// One side of a sync: the web calendar or Outlook, or an in-memory calendar in tests.
class Calendar {
 public:
  explicit Calendar(std::wstring user) : user_(std::move(user)) {}
  virtual ~Calendar() = default;
  Calendar(const Calendar&) = delete;
  Calendar& operator=(const Calendar&) = delete;

  // Short name for log lines.
  virtual std::wstring GetName() const = 0;
  // Fills events() with every entry (or those modified after updated_min when given).
  // Events may be loaded briefly; Load completes them. On failure leaves a user-facing
  // message in error_message.
  virtual bool LoadEvents(const DateTime* updated_min, std::wstring& error_message,
                          IProgressMonitor* progress) = 0;
  // Completes a briefly loaded event in place; sets load_failed when it cannot.
  virtual bool Load(Event* event) = 0;
  // Creates a copy of `event`; on kMutationDone fills the new entry's id and time.
  virtual int Import(const Event* event, std::wstring* new_id, DateTime* new_updated,
                     std::wstring* message) = 0;
  // Overwrites entry target_id with the content of `source`.
  virtual int Update(const std::wstring& target_id, const Event* source, std::wstring* new_id,
                     DateTime* new_updated, std::wstring* message) = 0;
  virtual int Delete(const std::wstring& id, std::wstring* message) = 0;
  // The modification time that change detection uses for one of this calendar's events;
  // null when the event has none.
  virtual std::unique_ptr<DateTime> GetUpdatedTime(const Event* event) const = 0;

  const std::wstring& user() const { return user_; }
  const EventMap& events() const { return events_; }
  EventMap& mutable_events() { return events_; }

 protected:
  std::wstring user_;
  EventMap events_;
};

}  // namespace calendar_mirrow_addin
