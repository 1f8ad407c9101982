#pragma once

#include <map>
#include <memory>
#include <string>

#include "base/hresult.h"
#include "platform/xml.h"
#include "sync/calendar.h"
#include "webcal/nxcal_connection.h"
#include "webcal/url.h"

namespace calendar_mirrow_addin {

// Error codes of the feed fetch (posted as resource string 202 with the code).
inline constexpr int kErrorFeedHasNoFeedElement = 2014;
inline constexpr int kErrorFeedNotSaved = 2015;
// The delta could not be merged into the cached base feed; the base is dropped so that
// the next run downloads everything.
inline constexpr int kErrorFeedMergeFailed = 2017;

// The web calendar as a Calendar: events are the entries of the service's Atom feed.
// Entries are written by editing a copy of the entry as last fetched, so that whatever the
// service keeps in an entry and this class does not manage travels back unchanged.
//
// The work is spread over four files: writing entries (nxcal_entry_writer.cc), reading them
// (nxcal_entry_reader.cc), fetching and merging feeds (nxcal_feed.cc), and the calendar
// mutations with their conflict handling (nxcal_mutations.cc).
class NxCal : public Calendar {
 public:
  // `data_folder` holds the cached base feed (it ends in a separator or not; empty keeps no
  // cache, so that every fetch is a full download).
  NxCal(std::unique_ptr<NxCalConnection> connection, const std::wstring& user,
        const std::wstring& calendar_id, std::wstring data_folder);
  ~NxCal() override;

  std::wstring GetName() const override { return L"NxCal"; }
  bool LoadEvents(const DateTime* updated_min, std::wstring& error_message,
                  IProgressMonitor* progress) override;
  // Fetching reads every field already.
  bool Load(Event*) override { return true; }
  int Import(const Event* event, std::wstring* new_id, DateTime* new_updated,
             std::wstring* message) override;
  int Update(const std::wstring& target_id, const Event* source, std::wstring* new_id,
             DateTime* new_updated, std::wstring* message) override;
  int Delete(const std::wstring& id, std::wstring* message) override;
  std::unique_ptr<DateTime> GetUpdatedTime(const Event* event) const override;

  // Writing (nxcal_entry_writer.cc). S_OK with the entry's text; S_FALSE when the event
  // must not be written (the account is not among its guests); else the failure.
  HRESULT GenerateXML(const Event& event, const std::wstring& entry_key,
                      const std::wstring& master_href, std::wstring* xml, bool is_new,
                      bool skip_recurrence);
  HRESULT UpdateXML(const Event& event, platform::XmlDocument* document,
                    const platform::XmlNode& entry, bool is_new, bool skip_recurrence);

  // Reading (nxcal_entry_reader.cc). Null when the entry's identity (id, edit address,
  // modification time) cannot be read; a fault in a later field marks the event load_failed.
  std::unique_ptr<Event> CreateEvent(const platform::XmlNode& entry);
  HRESULT LoadEvent(const platform::XmlNode& entry, Event* event);
  HRESULT LoadEditUrl(const platform::XmlNode& entry, Event* event);
  // S_OK with the event read from a response holding one entry.
  HRESULT ParseEntryResponse(const std::wstring& text, std::unique_ptr<Event>* event);
  // The edit address read for `id` in this run; an empty URL for an id never read.
  Url GetEditUrl(const std::wstring& id) const;

  // Fetching (nxcal_feed.cc).
  bool FetchEvents(std::wstring* error_message, IProgressMonitor* progress);
  HRESULT ApplyDelta(const platform::XmlNode& base_feed, const platform::XmlNode& delta_feed);
  bool ProcessFeed(const platform::XmlNode& feed, EventMap* events, std::wstring* error_message,
                   IProgressMonitor* progress);
  // The UTC time of the last full download; null when unknown.
  std::unique_ptr<DateTime> ReadLastFullFetchTime() const;
  void WriteLastFullFetchTime() const;
  // The cached base feed's path: the data folder, the MD5 of "e-mail:calendar id" in
  // upper-case hexadecimal, ".FEED".
  std::wstring BaseFeedPath() const;

  // Mutations (nxcal_mutations.cc).
  HRESULT ResolveConflictAndUpdate(Event* event, std::wstring* response, std::wstring* message);
  HRESULT UpdateExceptions(const std::wstring& master_id, Event* event, DateTime* updated,
                           std::wstring* message);
  HRESULT ResetRemovedExceptions(const std::wstring& target_id, const Event& source,
                                 std::wstring* message);

  NxCalConnection* connection() const { return connection_.get(); }
  const std::wstring& calendar_id() const { return calendar_id_; }
  // The entries as last fetched or returned by the service, by event id.
  const std::map<std::wstring, platform::XmlNode>& entry_nodes() const { return entry_nodes_; }

 private:
  friend class NxCalTestPeer;

  std::unique_ptr<NxCalConnection> connection_;
  std::map<std::wstring, Url> edit_urls_;
  std::map<std::wstring, platform::XmlNode> entry_nodes_;
  std::wstring calendar_id_;
  std::wstring data_folder_;
};

}  // namespace calendar_mirrow_addin
