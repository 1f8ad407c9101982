// The web calendar's mutations: import, update and delete of events and of the exception
// entries of a series, with the service's conflicts (409) resolved by fetching the entry
// the service has and writing over it.

#include <map>
#include <utility>

#include "base/logger.h"
#include "base/text.h"
#include "model/recurrence.h"
#include "webcal/nxcal.h"

namespace calendar_mirrow_addin {

namespace {

constexpr int kStatusOk = 200;
constexpr int kStatusCreated = 201;
constexpr int kStatusConflict = 409;

// A yearly one-hour series from 1 January 2020: what a series is first reset to when it
// lost exceptions, so that the service drops every exception entry before the real
// series is written again.
constexpr wchar_t kPlaceholderRecurrence[] =
    L"DTSTART:20200101T000000\r\nDURATION:PT3600S\r\nRRULE:FREQ=YEARLY";

// The address of an occurrence that has no exception entry of its own yet: the exception's
// path up to its last "/", followed by the master's version (the last segment of the
// master's edit path). A path that would grow too long keeps the exception's own.
Url NonSpecializedEditUrl(const Url& exception_url, const Url& master_url) {
  Url url = exception_url;
  const std::wstring& path = exception_url.path();
  const std::wstring& master = master_url.path();
  const size_t cut = path.rfind(L'/');
  const size_t from = master.rfind(L'/');
  if (cut != std::wstring::npos && from != std::wstring::npos) {
    url.SetPath(path.substr(0, cut) + master.substr(from));
  }
  return url;
}

// A later time replaces `latest`.
void TakeLater(const DateTime* candidate, DateTime* latest) {
  if (candidate != nullptr && *candidate > *latest) *latest = *candidate;
}

}  // namespace

int NxCal::Import(const Event* event, std::wstring* new_id, DateTime* new_updated,
                  std::wstring* message) {
  LogBlock block(L"NxCal::Import");
  // The service's sequence may raise the event's; the caller's event stays as it was.
  std::unique_ptr<Event> work = event->Clone();
  std::wstring xml, response;
  HRESULT result = GenerateXML(*work, L"", L"", &xml, true, false);
  if (result != S_OK) {
    if (result != S_FALSE) LogSevere(L"Unable to get XML for event");
    return result;
  }
  const int status = connection_->AddEntry(xml, &response, message);
  if (status == kStatusConflict) {
    result = ResolveConflictAndUpdate(work.get(), &response, message);
    if (result != S_OK) {
      LogSevere(L"Unable to resolve conflict");
      return result;
    }
  } else if (status != kStatusCreated) {
    LogSevere(L"Unable to add entry for new event");
    return E_FAIL;
  }
  std::unique_ptr<Event> created;
  result = ParseEntryResponse(response, &created);
  if (result != S_OK) return result;
  if (created->load_failed() || created->updated() == nullptr) {
    LogSevere(L"Could not create event for response");
    return E_FAIL;
  }
  *new_updated = *created->updated();
  *new_id = created->id();
  LogVerbose(L"Successfully imported event with new id: " + *new_id);
  result = UpdateExceptions(*new_id, work.get(), new_updated, message);
  if (result != S_OK) {
    // A series without all its exceptions would show occurrences the user changed or
    // removed: take the new entry back, so that the next run imports it again.
    std::wstring ignored;
    Delete(*new_id, &ignored);
  }
  return result;
}

HRESULT NxCal::ResolveConflictAndUpdate(Event* event, std::wstring* response,
                                        std::wstring* message) {
  LogBlock block(L"NxCal::ResolveConflictAndUpdate");
  const std::wstring suffix =
      event->original_date() != nullptr ? FormatICal(*event->original_date(), L"") : L"";
  std::wstring text;
  if (!connection_->GetEntry(event->ical_uid(), suffix, true, &text, message)) {
    LogSevere(L"Unable to fetch entry by id");
    return E_FAIL;
  }
  platform::XmlDocument document;
  if (!document.LoadXml(text)) {
    LogSevere(L"Could not parse response");
    return E_FAIL;
  }
  const platform::XmlNode entry = document.Root().SelectSingle(L"entry");
  if (!entry) {
    LogSevere(L"No 'entry' in response");
    return S_FALSE;
  }
  std::unique_ptr<Event> existing = CreateEvent(entry);
  if (existing == nullptr || existing->load_failed()) {
    LogSevere(L"Unable to parse generated event");
    return E_FAIL;
  }
  entry_nodes_[existing->id()] = entry;
  // A deleted entry comes back to life only above the sequence it was deleted with; the
  // raised number stays with the event for its exceptions.
  if (event->sequence_num() <= existing->sequence_num()) {
    event->set_sequence_num(existing->sequence_num() + 1);
  }
  std::wstring xml;
  const HRESULT result = GenerateXML(*event, existing->id(), L"", &xml, false, false);
  if (result != S_OK) {
    LogSevere(L"Unable to get XML for event");
    return result;
  }
  if (connection_->UpdateEntry(GetEditUrl(existing->id()), xml, true, response, message) !=
      kStatusOk) {
    LogSevere(L"Unable to update existing canceled event");
    return E_FAIL;
  }
  return S_OK;
}

int NxCal::Update(const std::wstring& target_id, const Event* source, std::wstring* new_id,
                  DateTime* new_updated, std::wstring* message) {
  LogBlock block(L"NxCal::Update");
  std::unique_ptr<Event> work = source->Clone();
  HRESULT result = ResetRemovedExceptions(target_id, *work, message);
  if (result != S_OK) return result;
  std::wstring xml, response;
  result = GenerateXML(*work, target_id, L"", &xml, false, false);
  if (result != S_OK) return result;
  *new_id = target_id;
  if (connection_->UpdateEntry(GetEditUrl(target_id), xml, false, &response, message) !=
      kStatusOk) {
    return E_FAIL;
  }
  std::unique_ptr<Event> updated;
  result = ParseEntryResponse(response, &updated);
  if (result != S_OK) return result;
  if (updated->load_failed() || updated->updated() == nullptr) {
    LogSevere(L"Could not load update response.");
    return E_FAIL;
  }
  *new_updated = *updated->updated();
  result = UpdateExceptions(target_id, work.get(), new_updated, message);
  if (result != S_OK && result != S_FALSE) {
    LogSevere(L"Exception update failed, but S_OK is returned to prevent user data loss");
    return S_OK;
  }
  return result;
}

int NxCal::Delete(const std::wstring& id, std::wstring* message) {
  LogBlock block(L"NxCal::Delete");
  const auto found = events_.find(id);
  if (found != events_.end() && found->second->is_recurring() &&
      found->second->recurrence() != nullptr) {
    for (const auto& exception : found->second->recurrence()->exceptions()) {
      if (exception->status() != kEventStatusNone) {
        connection_->DeleteEntry(GetEditUrl(exception->id()), message);
      }
    }
  }
  return connection_->DeleteEntry(GetEditUrl(id), message) ? S_OK : E_FAIL;
}

std::unique_ptr<DateTime> NxCal::GetUpdatedTime(const Event* event) const {
  if (event->updated() == nullptr) return nullptr;
  auto latest = std::make_unique<DateTime>(*event->updated());
  if (event->is_recurring() && event->recurrence() != nullptr) {
    for (const auto& exception : event->recurrence()->exceptions()) {
      TakeLater(exception->updated(), latest.get());
    }
  }
  return latest;
}

HRESULT NxCal::UpdateExceptions(const std::wstring& master_id, Event* event, DateTime* updated,
                                std::wstring* message) {
  LogBlock block(L"NxCal::UpdateExceptions");
  if (!event->is_recurring() || event->recurrence() == nullptr) return S_OK;
  std::map<DateTime, const Event*> old_exceptions;
  const auto master = events_.find(master_id);
  if (master != events_.end() && master->second->is_recurring() &&
      master->second->recurrence() != nullptr) {
    for (const auto& old : master->second->recurrence()->exceptions()) {
      if (old->original_date() != nullptr) old_exceptions[*old->original_date()] = old.get();
    }
  }
  LogVerbose(L"Found old exceptions: " + DecimalText(old_exceptions.size()));
  for (Event* exception : event->mutable_recurrence()->ExceptionList()) {
    if (exception->original_date() == nullptr) {
      LogSevere(L"Exception without an original date in " + event->ical_uid());
      return E_FAIL;
    }
    const DateTime& original = *exception->original_date();
    LogVerbose(L"Processing exception at: " + FormatICal(original, L""));
    std::wstring xml, response;
    const auto old = old_exceptions.find(original);
    if (old != old_exceptions.end()) {
      LogVerbose(L"This exception existed");
      if (old->second->status() == kEventStatusCanceled) {
        if (exception->status() == kEventStatusCanceled) continue;
        LogSevere(L"Exception was cancelled, but stopped being so");
        return E_FAIL;
      }
      const HRESULT result =
          GenerateXML(*exception, old->second->id(), master_id, &xml, false, true);
      if (result != S_OK) {
        LogSevere(L"Unable to update exception");
        return result;
      }
      const Url edit_url = GetEditUrl(old->second->id());
      int status = connection_->UpdateEntry(edit_url, xml, false, &response, message);
      if (status == kStatusConflict) {
        LogInfo(L"Updating non-specialized exception");
        const Url second = NonSpecializedEditUrl(edit_url, GetEditUrl(master_id));
        LogInfo(L"Using edit url: " + second.path());
        status = connection_->UpdateEntry(second, xml, false, &response, message);
      }
      if (status != kStatusOk) {
        LogSevere(L"Could not update exception via the feed");
        return E_FAIL;
      }
      old_exceptions.erase(old);
    } else {
      if (exception->sequence_num() < event->sequence_num()) {
        exception->set_sequence_num(event->sequence_num());
      }
      HRESULT result = GenerateXML(*exception, L"", master_id, &xml, true, true);
      if (result != S_OK) {
        LogSevere(L"Unable to create exception");
        return result;
      }
      LogVerbose(L"This exception did not exist");
      const int status = connection_->AddEntry(xml, &response, message);
      if (status == kStatusConflict) {
        result = ResolveConflictAndUpdate(exception, &response, message);
        if (result != S_OK) {
          LogSevere(L"Unable to resolve conflict");
          return result;
        }
      } else if (status != kStatusCreated) {
        LogSevere(L"Could not add exception via the feed");
        return E_FAIL;
      }
    }
    std::unique_ptr<Event> written;
    const HRESULT result = ParseEntryResponse(response, &written);
    if (result != S_OK) {
      LogSevere(L"Could not parse response");
      return result;
    }
    if (written->load_failed()) {
      LogSevere(L"Could not parse response 2");
      return E_FAIL;
    }
    TakeLater(written->updated(), updated);
  }
  return S_OK;
}

HRESULT NxCal::ResetRemovedExceptions(const std::wstring& target_id, const Event& source,
                                      std::wstring* message) {
  if (!source.is_recurring() || source.recurrence() == nullptr) return S_OK;
  // The engine updates only events it loaded; an id it did not is nothing to reset.
  const auto found = events_.find(target_id);
  if (found == events_.end()) return S_OK;
  Event* old = found->second.get();
  if (!old->is_recurring() || old->recurrence() == nullptr ||
      old->recurrence()->exceptions().empty()) {
    return S_OK;
  }
  bool all_kept = true;
  for (const auto& gone : old->recurrence()->exceptions()) {
    bool kept = false;
    for (const auto& now : source.recurrence()->exceptions()) {
      kept = kept || OptionalEquals(gone->original_date(), now->original_date());
    }
    all_kept = all_kept && kept;
  }
  if (all_kept) return S_OK;

  std::unique_ptr<Recurrence> placeholder = ParseRecurrence(kPlaceholderRecurrence);
  if (placeholder == nullptr) return E_FAIL;
  placeholder->set_text(kPlaceholderRecurrence);
  std::unique_ptr<Event> reset = old->Clone();
  reset->set_recurrence(std::move(placeholder));
  std::wstring xml, response;
  HRESULT result = GenerateXML(*reset, old->id(), L"", &xml, false, false);
  if (result != S_OK) return result;
  if (connection_->UpdateEntry(GetEditUrl(target_id), xml, false, &response, message) !=
      kStatusOk) {
    return E_FAIL;
  }
  platform::XmlDocument document;
  if (!document.LoadXml(response)) {
    LogSevere(L"Could not parse response for: " + target_id);
    return E_FAIL;
  }
  const platform::XmlNode entry = document.Root().SelectSingle(L"entry");
  if (!entry) {
    LogSevere(L"No 'entry' in response for: " + target_id);
    return S_FALSE;
  }
  result = LoadEditUrl(entry, old);
  if (result != S_OK) return result;
  old->mutable_recurrence()->ClearExceptions();
  return S_OK;
}

}  // namespace calendar_mirrow_addin
