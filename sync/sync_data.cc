#include "sync/sync_data.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <utility>

#include "base/logger.h"
#include "base/text.h"
#include "platform/files.h"

namespace calendar_mirrow_addin {

namespace {

// Width of one timestamp as FormatIso prints a timed value; a data line is the UID
// followed by a blank, a timestamp, a blank and a timestamp.
constexpr size_t kTimeWidth = 24;
constexpr size_t kTailWidth = 2 * kTimeWidth + 2;

// Marks a UID stored as UTF-8 instead of one byte per character.
constexpr char kEscape = '\x1B';
// Inside the UTF-8 form, line ends are replaced by two bytes that never occur in UTF-8,
// so that a UID can never split its line.
constexpr char kEscapedCr = '\xFE';
constexpr char kEscapedLf = '\xFF';

constexpr std::string_view kLineEnd = "\r\n";
constexpr std::string_view kUpdate = "UPDATE";
constexpr std::string_view kDelete = "DELETE";

bool NeedsEscape(const std::wstring& uid) {
  if (!uid.empty() && uid.front() == static_cast<wchar_t>(kEscape)) return true;
  for (wchar_t c : uid) {
    if (static_cast<uint32_t>(c) > 255 || c == L'\r' || c == L'\n') return true;
  }
  return false;
}

std::wstring BytesToWide(std::string_view bytes) {
  std::wstring wide;
  wide.reserve(bytes.size());
  for (char c : bytes) wide.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
  return wide;
}

std::string FormatTimes(const SyncRecord& record) {
  return WideToUtf8(FormatIso(record.left_updated)) + " " +
         WideToUtf8(FormatIso(record.right_updated));
}

std::string FormatDataLine(const std::wstring& uid, const SyncRecord& record) {
  return EncodeUid(uid) + " " + FormatTimes(record);
}

std::string Utf8Path(const std::wstring& path) { return WideToUtf8(path); }

// Calls `handle` with every line of the file, its line end (LF or CR LF) removed, and
// whether it had one (only the last line can lack it); false when the file cannot be
// opened.
template <typename Handler>
bool ForEachLine(const std::wstring& path, Handler handle) {
  std::ifstream in(Utf8Path(path), std::ios::binary);
  if (!in.is_open()) return false;
  std::string line;
  while (std::getline(in, line)) {
    const bool terminated = !in.eof();
    if (!line.empty() && line.back() == '\r') line.pop_back();
    handle(std::string_view(line), terminated);
  }
  return true;
}

// Cuts a last line that lacks its line end (an append cut short) off the file. Ended by
// a later append instead, the fragment would turn into a change that was never made, or
// swallow the next line.
void CutTornTail(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in.is_open()) return;
  const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  in.close();
  const size_t last_end = bytes.rfind('\n');
  const size_t keep = last_end == std::string::npos ? 0 : last_end + 1;
  if (keep == bytes.size()) return;
  std::error_code error;
  std::filesystem::resize_file(path, keep, error);
  if (error) LogSevere(L"SyncData::CutTornTail -> " + Utf8ToWide(path + ": " + error.message()));
}

void RemoveFile(const std::wstring& path) {
  if (std::remove(Utf8Path(path).c_str()) == 0 || errno == ENOENT) return;
  // Harmless but worth knowing: the next load replays changes the data file already has.
  LogSevere(L"SyncData::SaveSyncData -> cannot remove " + path);
}

}  // namespace

std::string EncodeUid(const std::wstring& uid) {
  if (!NeedsEscape(uid)) {
    std::string bytes;
    bytes.reserve(uid.size());
    for (wchar_t c : uid) bytes.push_back(static_cast<char>(static_cast<unsigned char>(c)));
    return bytes;
  }
  std::string bytes(1, kEscape);
  for (char c : WideToUtf8(uid)) {
    bytes.push_back(c == '\r' ? kEscapedCr : c == '\n' ? kEscapedLf : c);
  }
  return bytes;
}

std::wstring DecodeUid(std::string_view bytes) {
  if (bytes.empty() || bytes.front() != kEscape) return BytesToWide(bytes);
  std::string utf8(bytes.substr(1));
  for (char& c : utf8) {
    if (c == kEscapedCr) c = '\r';
    if (c == kEscapedLf) c = '\n';
  }
  return Utf8ToWide(utf8);
}

SyncData::SyncData(std::wstring path) : path_(std::move(path)) {}

void SyncData::Load() {
  LogBlock block(L"LoadSyncData");
  records_.clear();
  // The data file is only ever replaced whole, so a last line without its end is complete.
  ForEachLine(path_, [this](std::string_view line, bool) { ParseSyncLine(line); });
  // Consolidates a leftover log at once, so it is never replayed over a newer file.
  if (MergeFromRecoveryLog()) Save();
}

bool SyncData::Save() {
  LogBlock block(L"SaveSyncData");
  std::string bytes;
  for (const auto& [uid, record] : records_) {
    bytes += FormatDataLine(uid, record);
    bytes += kLineEnd;
  }
  // Written beside the old file and renamed over it: rewriting in place would lose every
  // record this run did not touch if the process died half way, as the log holds only
  // this run's changes. For the same reason the log stays when the write fails.
  std::string error;
  if (!platform::ReplaceFileAtomically(Utf8Path(path_), bytes, &error)) {
    LogSevere(L"SyncData::SaveSyncData -> " + Utf8ToWide(error));
    return false;
  }
  RemoveFile(recovery_log_path());
  return true;
}

void SyncData::WriteRecoveryLogEntry(const std::wstring& uid) {
  const auto found = records_.find(uid);
  std::string line = found == records_.end()
                         ? std::string(kDelete) + " " + EncodeUid(uid)
                         : std::string(kUpdate) + " " + FormatDataLine(uid, found->second);
  line += kLineEnd;
  // A failure loses only this change's protection; the change still reaches the data file
  // when the run ends.
  platform::AppendToFile(Utf8Path(recovery_log_path()), line);
}

bool SyncData::MergeFromRecoveryLog() {
  LogBlock block(L"MergeFromRecoveryLog");
  bool torn = false;
  const bool found = ForEachLine(recovery_log_path(), [&](std::string_view line, bool terminated) {
    // An append cut short leaves a line without its end, and a cut line can mean another
    // change ("DELETE u12" cut to "DELETE u1"): only whole lines are replayed.
    if (!terminated) {
      torn = true;
      return;
    }
    if (line.size() < kUpdate.size() + 2) return;
    const std::string_view keyword = line.substr(0, kUpdate.size());
    const std::string_view rest = line.substr(kUpdate.size() + 1);
    if (keyword == kUpdate) {
      ParseSyncLine(rest);
    } else if (keyword == kDelete) {
      records_.erase(DecodeUid(rest));
    }
  });
  // Should the log outlive this load, later lines must not be glued onto the fragment.
  if (torn) CutTornTail(Utf8Path(recovery_log_path()));
  return found;
}

void SyncData::ParseSyncLine(std::string_view line) {
  if (line.size() < kTailWidth + 1) return;
  const size_t uid_length = line.size() - kTailWidth;
  const auto left = ParseIso(BytesToWide(line.substr(uid_length + 1, kTimeWidth)));
  const auto right = ParseIso(BytesToWide(line.substr(line.size() - kTimeWidth)));
  if (!left || !right) return;
  records_[DecodeUid(line.substr(0, uid_length))] = SyncRecord{*left, *right};
}

void SyncData::Record(const std::wstring& uid, const SyncRecord& record) {
  records_[uid] = record;
  WriteRecoveryLogEntry(uid);
}

void SyncData::Remove(const std::wstring& uid) {
  records_.erase(uid);
  WriteRecoveryLogEntry(uid);
}

const SyncRecord* SyncData::Find(const std::wstring& uid) const {
  const auto found = records_.find(uid);
  return found == records_.end() ? nullptr : &found->second;
}

}  // namespace calendar_mirrow_addin
