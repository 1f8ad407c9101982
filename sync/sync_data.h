#pragma once

#include <map>
#include <string>
#include <string_view>

#include "model/date_time.h"

namespace calendar_mirrow_addin {

// The two sides' modification times when a pair was last left in agreement.
struct SyncRecord {
  DateTime left_updated;
  DateTime right_updated;
};

using SyncRecordMap = std::map<std::wstring, SyncRecord>;

// The engine's memory between runs, keyed by iCalendar UID: one text file per account and
// calendar pair, and an append-only recovery log beside it (the same path + ".LOG") that
// receives every change at once, so that an interrupted run loses nothing.
class SyncData {
 public:
  explicit SyncData(std::wstring path);

  // Replaces the map by the stored state: the data file, then any leftover recovery log,
  // which is consolidated into the data file at once.
  void Load();
  // Writes the whole map (atomically: beside the old file, flushed, renamed over it) and
  // then removes the recovery log. When the file cannot be written the log is kept, the
  // failure is logged at SEVERE, and false is returned.
  bool Save();
  // Appends the line describing uid's current state (UPDATE or DELETE) to the recovery log.
  void WriteRecoveryLogEntry(const std::wstring& uid);
  // Replays the recovery log's complete lines over the map; true when there was one.
  bool MergeFromRecoveryLog();
  // Adds one data-file line (8-bit, without its line end) to the map; malformed lines
  // are ignored.
  void ParseSyncLine(std::string_view line);

  // Set or replace uid's record / remove it, each followed by its recovery-log line.
  void Record(const std::wstring& uid, const SyncRecord& record);
  void Remove(const std::wstring& uid);

  const SyncRecord* Find(const std::wstring& uid) const;
  const SyncRecordMap& records() const { return records_; }
  const std::wstring& path() const { return path_; }
  std::wstring recovery_log_path() const { return path_ + L".LOG"; }

 private:
  std::wstring path_;
  SyncRecordMap records_;
};

// UIDs are stored one byte per character for characters 0-255. A UID holding a character
// above 255 (or starting with the escape byte 0x1B) is stored as 0x1B followed by its
// UTF-8 form, so that it survives a save and load. A UID containing CR or LF is also
// stored escaped, with CR and LF written as the bytes 0xFE and 0xFF (which never occur in
// UTF-8), so that no UID can split its line.
std::string EncodeUid(const std::wstring& uid);
std::wstring DecodeUid(std::string_view bytes);

}  // namespace calendar_mirrow_addin
