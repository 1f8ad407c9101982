// Fetching the web calendar: the last complete feed is kept on disk (compressed, protected
// for the user), only what changed since is asked for, the change is merged into it, and
// the result is turned into events.

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>
#include <optional>
#include <vector>

#include "base/local_time.h"
#include "base/logger.h"
#include "base/string_table.h"
#include "base/text.h"
#include "model/recurrence.h"
#include "platform/digest.h"
#include "platform/files.h"
#include "platform/protect.h"
#include "platform/store.h"
#include "webcal/byte_array_streams.h"
#include "webcal/entry_dom.h"
#include "webcal/gzip_read_stream.h"
#include "webcal/gzip_write_stream.h"
#include "webcal/nxcal.h"
#include "webcal/nxcal_schema.h"

namespace calendar_mirrow_addin {

namespace {

constexpr char kStoreKey[] = "Software\\Nexora\\Tidewell";
constexpr char kLastFullFetchValue[] = "LastFullFetchTime";
// A base older than this is not worth merging into: download everything.
constexpr int64_t kBaseFeedAgeLimitSeconds = 604800;
// Even a fresh base is replaced by a full download this often, so that whatever a merge
// may have missed does not live on.
constexpr int64_t kFullFetchAgeLimitSeconds = 2592000;
constexpr size_t kBlockSize = 8192;

// a - b in whole seconds, signed and without overflow (file-time ticks fit 64 bits); none
// when either value is not a valid time.
std::optional<int64_t> SignedSecondsBetween(const DateTime& a, const DateTime& b) {
  const auto ta = SystemTimeToFileTime(a.ToSystemTime());
  const auto tb = SystemTimeToFileTime(b.ToSystemTime());
  if (!ta || !tb) return std::nullopt;
  const int64_t ticks =
      *ta >= *tb ? static_cast<int64_t>(*ta - *tb) : -static_cast<int64_t>(*tb - *ta);
  return ticks / kFileTimeTicksPerSecond;
}

bool ReadWholeFile(const std::string& path, std::string* bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in.is_open()) return false;
  char block[kBlockSize];
  while (in.read(block, sizeof block) || in.gcount() > 0) {
    bytes->append(block, static_cast<size_t>(in.gcount()));
  }
  return !in.bad();
}

// Decompresses the cached feed into `document`; false when any of it fails, so that a
// torn or foreign file is never taken for a base.
bool LoadBaseDocument(const std::string& compressed, platform::XmlDocument* document) {
  if (compressed.size() > std::numeric_limits<ULONG>::max()) return false;
  GZipReadStream gunzip(
      new ByteArrayReadStream(compressed.data(), static_cast<ULONG>(compressed.size())), true);
  IStream* target = document->stream();
  char block[kBlockSize];
  for (;;) {
    ULONG read = 0;
    if (gunzip.Read(block, sizeof block, &read) != S_OK) return false;
    if (read == 0) break;
    ULONG written = 0;
    if (target->Write(block, read, &written) != S_OK || written != read) return false;
  }
  return target->Commit(0) == S_OK;
}

void RemoveBaseFeed(const std::wstring& path) {
  if (std::remove(WideToUtf8(path).c_str()) == 0 || errno == ENOENT) return;
  LogSevere(L"NxCal::FetchEvents -> cannot remove " + path);
}

}  // namespace

std::wstring NxCal::BaseFeedPath() const {
  if (data_folder_.empty()) return std::wstring();
  const auto digest = platform::Md5(WideToUtf8(user_ + L":" + calendar_id_));
  std::wstring path = data_folder_;
  if (path.back() != L'/') path += L'/';
  static constexpr wchar_t kHex[] = L"0123456789ABCDEF";
  for (uint8_t byte : digest) {
    path += kHex[byte >> 4];
    path += kHex[byte & 0x0F];
  }
  return path + L".FEED";
}

std::unique_ptr<DateTime> NxCal::ReadLastFullFetchTime() const {
  std::string bytes;
  if (!platform::ReadStoreValue(kStoreKey, kLastFullFetchValue, &bytes)) return nullptr;
  SystemTime local;
  if (bytes.size() != sizeof local) return nullptr;
  std::memcpy(&local, bytes.data(), sizeof local);
  if (!IsValidSystemTime(local)) return nullptr;
  const auto utc = MachineLocalToUtc(local);
  if (!utc) return nullptr;
  return std::make_unique<DateTime>(DateTime::FromSystemTime(*utc));
}

void NxCal::WriteLastFullFetchTime() const {
  const auto local = MachineUtcToLocal(UtcNow());
  if (local && platform::WriteStoreValue(
                   kStoreKey, kLastFullFetchValue,
                   std::string_view(reinterpret_cast<const char*>(&*local), sizeof *local))) {
    return;
  }
  // The next run then counts the full download as older than it is, which costs at most
  // one more full download.
  LogSevere(L"NxCal::WriteLastFullFetchTime FAILED");
}

bool NxCal::FetchEvents(std::wstring* error_message, IProgressMonitor* progress) {
  LogBlock block(L"NxCal::FetchEvents");
  NullProgressMonitor no_progress;
  if (progress == nullptr) progress = &no_progress;
  progress->BeginTask(LoadResourceString(IDS_LOADING_EVENTS), 100);
  SubProgressMonitor download_progress(progress, 50);
  SubProgressMonitor process_progress(progress, 50);
  events_.clear();
  entry_nodes_.clear();

  platform::XmlDocument base_document;
  const std::wstring path = BaseFeedPath();
  std::unique_ptr<DateTime> base_time;
  std::string protected_bytes;
  if (!path.empty() && ReadWholeFile(WideToUtf8(path), &protected_bytes)) {
    std::string compressed;
    if (platform::UnprotectData(protected_bytes, &compressed) &&
        LoadBaseDocument(compressed, &base_document)) {
      std::wstring updated;
      const platform::XmlNode feed = base_document.Root().SelectSingle(L"feed");
      if (feed && GetChildText(feed, L"updated", &updated) == S_OK) {
        base_time = ParseIso(updated);
      }
    }
    platform::WipeBytes(&compressed);
  }
  if (base_time) {
    LogInfo(L"Base time: " + FormatIso(*base_time));
    // The delta is asked from the base time itself, not a second later: the server lists
    // whatever changed at or after it, and a change stored within that second would
    // otherwise never arrive. An entry delivered twice just replaces itself in the merge.
    const auto now = DateTime::Now();
    // A base time ahead of the local clock gives a negative age and stays usable.
    const auto base_age = SignedSecondsBetween(*now, *base_time);
    if (!base_age || *base_age > kBaseFeedAgeLimitSeconds) base_time.reset();
    const auto last_full = ReadLastFullFetchTime();
    if (base_time && last_full) {
      const auto full_age = SignedSecondsBetween(*now, *last_full);
      if (!full_age || *full_age > kFullFetchAgeLimitSeconds) base_time.reset();
    }
  }

  platform::XmlDocument delta_document;
  if (!connection_->GetNxCalXML(base_time.get(), &delta_document, error_message,
                                &download_progress)) {
    return false;
  }
  if (!base_time) WriteLastFullFetchTime();

  const platform::XmlNode delta_feed = delta_document.Root().SelectSingle(L"feed");
  if (!delta_feed) {
    *error_message =
        FormatResourceString(IDS_ERROR_CODE, {DecimalText(kErrorFeedHasNoFeedElement)});
    return false;
  }

  platform::XmlNode result_feed = delta_feed;
  platform::XmlDocument* stored_document = &delta_document;
  if (base_time) {
    const platform::XmlNode base_feed = base_document.Root().SelectSingle(L"feed");
    const HRESULT merged = ApplyDelta(base_feed, delta_feed);
    if (merged != S_OK) {
      // A partly merged base has lost entries the delta did not bring back. The old file
      // cannot be trusted with this delta either, so it goes, and the next run downloads
      // everything.
      LogSevere(L"NxCal::ApplyDelta FAILED : hr=" + DecimalText(static_cast<int32_t>(merged)));
      RemoveBaseFeed(path);
      *error_message = FormatResourceString(IDS_ERROR_CODE, {DecimalText(kErrorFeedMergeFailed)});
      return false;
    }
    result_feed = base_feed;
    stored_document = &base_document;
  }

  if (!path.empty()) {
    ByteArrayWriteStream compressed;
    GZipWriteStream gzip(&compressed, false);
    if (!stored_document->Save(&gzip)) {
      *error_message = FormatResourceString(IDS_ERROR_CODE, {DecimalText(kErrorFeedNotSaved)});
      return false;
    }
    if (gzip.Commit(0) != S_OK) return false;
    std::string blob, problem;
    if (!platform::ProtectData(compressed.bytes(), L"", &blob, &problem) ||
        !platform::ReplaceFileAtomically(WideToUtf8(path), blob, &problem)) {
      // The old base stays as it was; this run's events are not used, so that what is
      // synchronised always matches what the next run merges into.
      LogSevere(L"NxCal::FetchEvents -> base feed not stored: " + Utf8ToWide(problem));
      *error_message = FormatResourceString(IDS_ERROR_CODE, {DecimalText(kErrorFeedNotSaved)});
      return false;
    }
  }

  return ProcessFeed(result_feed, &events_, error_message, &process_progress);
}

HRESULT NxCal::ApplyDelta(const platform::XmlNode& base_feed, const platform::XmlNode& delta_feed) {
  LogBlock block(L"NxCal::ApplyDelta");
  platform::XmlNode base = base_feed;  // a handle: changing through it changes the feed
  std::map<std::wstring, platform::XmlNode> base_by_id;
  std::map<std::wstring, std::vector<platform::XmlNode>> canceled_by_master;
  const std::wstring canceled_status = std::wstring(kDataSchema) + L"#event.canceled";

  const auto base_entries = base_feed.Select(L"entry");
  if (!base_entries) return E_FAIL;
  LogInfo(L"Base feed contains " + DecimalText(static_cast<int64_t>(base_entries->size())) +
          L" entries");
  for (const platform::XmlNode& entry : *base_entries) {
    std::wstring id;
    const HRESULT hr = GetChildText(entry, L"id", &id);
    if (hr != S_OK) return FAILED(hr) ? hr : E_FAIL;
    LogVerbose(L"Processing base node: " + id);
    base_by_id[id] = entry;
  }

  const auto delta_entries = delta_feed.Select(L"entry");
  if (!delta_entries) return E_FAIL;
  LogInfo(L"Delta feed contains " + DecimalText(static_cast<int64_t>(delta_entries->size())) +
          L" entries");
  for (const platform::XmlNode& entry : *delta_entries) {
    std::wstring id;
    HRESULT hr = GetChildText(entry, L"id", &id);
    if (hr != S_OK) return FAILED(hr) ? hr : E_FAIL;
    LogVerbose(L"Processing delta node: " + id);
    std::wstring status;
    hr = GetChildAttribute(entry, L"nxd:eventStatus", L"value", &status);
    if (hr != S_OK) return FAILED(hr) ? hr : S_FALSE;
    const bool canceled = status == canceled_status;

    const auto found = base_by_id.find(id);
    if (found != base_by_id.end()) {
      const platform::XmlNode old_entry = found->second;
      base_by_id.erase(found);
      if (!base.RemoveChild(old_entry)) return E_FAIL;
      if (entry.SelectSingle(L"nxd:recurrence")) {
        std::wstring new_text, old_text;
        GetChildAttribute(entry, L"nxCal:sequence", L"value", &new_text);
        GetChildAttribute(old_entry, L"nxCal:sequence", L"value", &old_text);
        LogVerbose(L"New sequence: " + new_text);
        LogVerbose(L"Old sequence: " + old_text);
        const int64_t new_sequence = ParseDecimal(new_text);
        const int64_t old_sequence = ParseDecimal(old_text);
        if (new_sequence != old_sequence && !(canceled && new_sequence == old_sequence + 1)) {
          // The series changed: its stored exceptions no longer apply. They are the entries
          // named after the series' id and an instance suffix; an unrelated entry whose id
          // merely begins with the series' id stays.
          const std::wstring exception_prefix = id + L"_";
          for (auto it = base_by_id.begin(); it != base_by_id.end();) {
            if (it->first.find(exception_prefix) == std::wstring::npos) {
              ++it;
              continue;
            }
            if (!base.RemoveChild(it->second)) return E_FAIL;
            it = base_by_id.erase(it);
          }
        }
      }
    }

    std::wstring master_short_id;
    GetChildAttribute(entry, L"nxd:originalEvent", L"id", &master_short_id);
    if (master_short_id.empty() && canceled) continue;  // a deleted event leaves the base
    LogVerbose(L"Appending delta node: " + id);
    const platform::XmlNode appended = base.AppendChild(entry);
    if (!appended) return E_FAIL;
    if (canceled) canceled_by_master[master_short_id].push_back(appended);
  }

  const auto merged_entries = base_feed.Select(L"entry");
  if (!merged_entries) return E_FAIL;
  for (const platform::XmlNode& entry : *merged_entries) {
    std::wstring id;
    GetChildText(entry, L"id", &id);
    canceled_by_master.erase(LastPathSegment(id));
  }
  // Canceled occurrences of a series that is no longer in the feed.
  for (const auto& [master, nodes] : canceled_by_master) {
    for (const platform::XmlNode& node : nodes) base.RemoveChild(node);
  }

  const platform::XmlNode delta_updated = delta_feed.SelectSingle(L"updated");
  std::wstring updated;
  const HRESULT hr = GetChildText(delta_feed, L"updated", &updated);
  if (hr != S_OK) return FAILED(hr) ? hr : E_FAIL;
  const platform::XmlNode base_updated = base_feed.SelectSingle(L"updated");
  if (base_updated && !base.RemoveChild(base_updated)) return E_FAIL;
  // The delta's own element moves over: an Atom "updated" holding exactly its text.
  if (!base.AppendChild(delta_updated.Clone(true))) return E_FAIL;
  return S_OK;
}

bool NxCal::ProcessFeed(const platform::XmlNode& feed, EventMap* events,
                        std::wstring* error_message, IProgressMonitor* progress) {
  NullProgressMonitor no_progress;
  if (progress == nullptr) progress = &no_progress;
  const auto entries = feed ? feed.Select(L"entry") : std::nullopt;
  if (!entries) {
    *error_message = LoadResourceString(IDS_XML_ERROR);
    LogSevere(L"could not process XML data");
    return false;
  }
  const int64_t count = static_cast<int64_t>(entries->size());
  progress->BeginTask(LoadResourceString(IDS_ANALYZING_EVENTS),
                      static_cast<int>(std::min<int64_t>(count, INT32_MAX)));
  LogInfo(DecimalText(count) + L" entries read");

  struct PendingException {
    std::unique_ptr<Event> event;
    std::wstring master_address;
  };
  std::vector<PendingException> exceptions;
  int64_t processed = 0;
  bool canceled = progress->IsCanceled();
  for (int64_t i = 0; i < count && !canceled; ++i) {
    canceled = progress->IsCanceled();
    progress->Worked(1);
    const platform::XmlNode& item = (*entries)[static_cast<size_t>(i)];
    std::unique_ptr<Event> event = CreateEvent(item);
    if (!event) {
      LogSevere(L"could not create NxCal event");
      return false;
    }
    std::wstring master_address;
    GetChildAttribute(item, L"nxd:originalEvent", L"href", &master_address);
    const bool is_exception = !master_address.empty();
    if (event->status() == kEventStatusCanceled && !is_exception) continue;

    const auto self = event->guests().find(user_);
    if (self != event->guests().end() && self->second.response_status == kResponseDeclined) {
      if (!is_exception) continue;              // an invitation the user declined
      event->set_status(kEventStatusCanceled);  // an occurrence the user declined
    }

    const std::wstring id = event->id();
    if (is_exception) {
      exceptions.push_back({std::move(event), std::move(master_address)});
    } else {
      (*events)[id] = std::move(event);
    }
    ++processed;
    progress->SubTask(FormatProgressItem(i + 1, count));
    LogVerbose(L"Saving xml entry " + id);
    entry_nodes_[id] = item;
  }

  for (PendingException& pending : exceptions) {
    const auto master = events->find(pending.master_address);
    if (master != events->end() && master->second->mutable_recurrence() != nullptr) {
      if (pending.event->load_failed()) master->second->set_load_failed(true);
      master->second->mutable_recurrence()->AddException(std::move(pending.event));
      continue;
    }
    if (pending.event->status() == kEventStatusCanceled) continue;  // nothing left to show
    // An exception whose series is not here stands on its own, under a uid of its own
    // made from the series' uid and the occurrence's local date.
    Event* event = pending.event.get();
    const DateTime* original = event->original_date();
    SystemTime local{};
    bool dated = false;
    if (original != nullptr && original->date_only) {
      local = original->ToSystemTime();  // a calendar date is the same everywhere
      dated = true;
    } else if (original != nullptr) {
      dated = ToLocalSystemTime(*original, local);
    }
    if (dated) {
      wchar_t suffix[16];
      std::swprintf(suffix, 16, L"|%04d%02d%02d", local.year, local.month, local.day);
      event->set_ical_uid(event->ical_uid() + suffix);
    }
    const std::wstring id = event->id();
    (*events)[id] = std::move(pending.event);
  }

  LogInfo(DecimalText(processed) + L" entries processed");
  progress->Done();
  return true;
}

}  // namespace calendar_mirrow_addin
