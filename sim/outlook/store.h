#pragma once

// One user's simulated message store: the items of the default calendar folder with their
// properties, the store's named-property map, and the faults a test has switched on. Kept
// in one SQLite file (each save is one transaction, so a killed process leaves the file
// whole) or in memory. Used from one thread at a time, as the add-in's worker uses Outlook.

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "base/system_time.h"
#include "sim/outlook/property.h"

struct sqlite3;

namespace calendar_mirrow_addin::sim {

// Where a test can make the store fail for the next calls.
enum class FaultPoint {
  kContentsTable,  // IMAPIFolder::GetContentsTable
  kOpenEntry,      // IMAPIFolder::OpenEntry and Namespace.GetItemFromID
  kSave,           // IMessage::SaveChanges and AppointmentItem.Save
};

class Faults {
 public:
  // The next `calls` calls at `point` fail with `code`.
  void Fail(FaultPoint point, HRESULT code, int calls);
  // After `rows` more rows have been handed out by contents tables, the next `calls` calls of
  // QueryRows fail with `code` (a batch that would pass the mark stops at it).
  void FailQueryRowsAfter(ULONG rows, HRESULT code, int calls = 1);
  // An item whose changes are refused with MAPI_E_NO_ACCESS.
  void SetReadOnly(const Bytes& entry_id, bool read_only);
  // A property (by id) that reads as a PT_ERROR value with `code`, on one item or, with an
  // empty entry id, on every item.
  void SetUnreadable(const Bytes& entry_id, ULONG tag, SCODE code);
  // The next `calls` uses of an object-model member (by name, any letter case) of an
  // appointment or its recurrence pattern fail with `code`, as a property Outlook cannot
  // read at the moment does; the first `skip` uses still succeed.
  void FailMember(const std::wstring& name, HRESULT code, int calls = 1, int skip = 0);
  // A series whose recurrence data, read through MAPI, holds `end_type` in its end-type
  // field, while the object model reports the end it stores: a store can hold such a
  // disagreement.
  void SetRecurrenceEndType(const Bytes& entry_id, uint32_t end_type);
  void Clear();

  // The code of the next failure due at `point` (counting it), or S_OK.
  HRESULT Take(FaultPoint point);
  // How many of `wanted` rows QueryRows may hand out now; S_OK, or the failure due now.
  HRESULT TakeRows(ULONG wanted, ULONG* allowed);
  HRESULT TakeMember(const std::wstring& name);
  bool IsReadOnly(const Bytes& entry_id) const;
  std::optional<SCODE> Unreadable(const Bytes& entry_id, ULONG tag) const;
  std::optional<uint32_t> RecurrenceEndType(const Bytes& entry_id) const;

 private:
  struct Pending {
    HRESULT code = S_OK;
    int calls = 0;
    int skip = 0;
  };
  std::map<FaultPoint, Pending> pending_;
  std::map<std::wstring, Pending> members_;  // by lower-case name
  std::optional<ULONG> rows_left_;
  Pending rows_fault_;
  std::set<Bytes, BytesLess> read_only_;
  std::map<ULONG, std::map<Bytes, SCODE, BytesLess>> unreadable_;  // property id, entry id
  std::map<Bytes, uint32_t, BytesLess> end_types_;
};

struct StoredItem {
  int64_t number = 0;
  Bytes entry_id;
  FileTime last_modified = 0;
  PropMap props;  // the message class included; entry id and time are computed
  // The recipient rows in table order, each with its PR_ROWID.
  std::vector<PropMap> recipients;

  // The value stored under the property id of `tag`, of any type.
  const std::pair<const ULONG, PropData>* Find(ULONG tag) const;
  std::wstring MessageClass() const;
};

// A user of the directory the address book resolves against.
struct DirectoryUser {
  std::wstring name;
  std::wstring smtp_address;
  std::wstring ex_address;  // the legacy Exchange address, /o=.../cn=...
};

class Store {
 public:
  // Opens or creates the store file; an empty path keeps the store in memory. A file this
  // process has open already gives the same store; one another program (or another path to
  // the same file) holds is refused. Null on failure, with the reason in `error`.
  static std::shared_ptr<Store> Open(const std::string& path, std::string* error);
  ~Store();
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  const Bytes& folder_entry_id() const { return folder_entry_id_; }
  const std::map<int64_t, StoredItem>& items() const { return items_; }
  const StoredItem* Find(const Bytes& entry_id) const;
  // Whether `entry_id` has this store's shape (it may still name no item).
  bool IsOwnEntryId(const Bytes& entry_id) const;

  // Writes an item in one transaction: a new one when `number` is 0 (its number is stored
  // back). `changes` replace values (per property id), `removed` tags are dropped. The
  // modification time moves forward on every save.
  // With `recipients` the item's recipient rows are replaced in the same transaction.
  HRESULT Save(int64_t* number, const PropMap& changes, const std::set<ULONG>& removed,
               const std::vector<PropMap>* recipients = nullptr);
  HRESULT Delete(const Bytes& entry_id);
  // Saves and deletions committed since this store was opened, for tests that prove a run
  // wrote nothing.
  int64_t writes() const { return writes_; }

  // The property id of a named property, created from 0x8000 up when `create` is set;
  // MAPI_E_NOT_FOUND when absent and not created.
  HRESULT NamedId(const GUID& set, ULONG kind, LONG id, const std::wstring& name, bool create,
                  ULONG* prop_id);
  // The full tag of one of the named properties in property.h (created when missing).
  ULONG NamedTag(const NamedProp& prop);
  // The name of a property id that stands for a string name in `set`; none for other ids.
  std::optional<std::wstring> StringNameOf(const GUID& set, ULONG prop_id) const;

  // The directory, kept with the items; AddDirectoryUser stores one more user.
  const std::vector<DirectoryUser>& directory() const { return directory_; }
  HRESULT AddDirectoryUser(const DirectoryUser& user);

  // Sending is refused (no mail leaves this store); each refused attempt is counted here.
  void CountRefusedSend() { ++refused_sends_; }
  int refused_sends() const { return refused_sends_; }

  // The clock behind modification times (100-ns ticks since 1601, UTC); the system clock
  // unless a test sets another.
  void SetClock(std::function<FileTime()> clock) { clock_ = std::move(clock); }
  FileTime Now() const { return clock_(); }

  Faults& faults() { return faults_; }

 private:
  Store() = default;
  bool Load(std::string* error);
  bool Exec(const char* sql);
  Bytes EntryIdOf(int64_t number) const;

  using NameKey = std::tuple<std::string, ULONG, LONG, std::wstring>;  // set as raw bytes

  sqlite3* db_ = nullptr;
  Bytes store_uid_;
  Bytes folder_entry_id_;
  std::map<int64_t, StoredItem> items_;
  std::map<Bytes, int64_t, BytesLess> numbers_;
  std::map<NameKey, ULONG> names_;
  ULONG next_name_id_ = 0x8000;
  std::vector<DirectoryUser> directory_;
  int refused_sends_ = 0;
  int64_t writes_ = 0;
  std::function<FileTime()> clock_;
  Faults faults_;
};

}  // namespace calendar_mirrow_addin::sim
