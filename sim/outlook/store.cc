#include "sim/outlook/store.h"

#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <mutex>

#include "base/text.h"

namespace calendar_mirrow_addin::sim {

// ---- faults ----

void Faults::Fail(FaultPoint point, HRESULT code, int calls) { pending_[point] = {code, calls}; }

void Faults::FailQueryRowsAfter(ULONG rows, HRESULT code, int calls) {
  rows_left_ = rows;
  rows_fault_ = {code, calls};
}

void Faults::SetReadOnly(const Bytes& entry_id, bool read_only) {
  if (read_only) {
    read_only_.insert(entry_id);
  } else {
    read_only_.erase(entry_id);
  }
}

void Faults::SetUnreadable(const Bytes& entry_id, ULONG tag, SCODE code) {
  unreadable_[PROP_ID(tag)][entry_id] = code;
}

void Faults::SetRecurrenceEndType(const Bytes& entry_id, uint32_t end_type) {
  end_types_[entry_id] = end_type;
}

std::optional<uint32_t> Faults::RecurrenceEndType(const Bytes& entry_id) const {
  auto it = end_types_.find(entry_id);
  return it == end_types_.end() ? std::nullopt : std::optional<uint32_t>(it->second);
}

void Faults::Clear() { *this = Faults(); }

void Faults::FailMember(const std::wstring& name, HRESULT code, int calls, int skip) {
  members_[ToLower(name)] = Pending{code, calls, skip};
}

HRESULT Faults::TakeMember(const std::wstring& name) {
  if (members_.empty()) return S_OK;
  auto it = members_.find(ToLower(name));
  if (it == members_.end() || it->second.calls <= 0) return S_OK;
  if (it->second.skip > 0) {
    --it->second.skip;
    return S_OK;
  }
  --it->second.calls;
  return it->second.code;
}

HRESULT Faults::Take(FaultPoint point) {
  auto it = pending_.find(point);
  if (it == pending_.end() || it->second.calls <= 0) return S_OK;
  --it->second.calls;
  return it->second.code;
}

HRESULT Faults::TakeRows(ULONG wanted, ULONG* allowed) {
  *allowed = wanted;
  if (!rows_left_) return S_OK;
  if (*rows_left_ > 0) {
    *allowed = std::min(wanted, *rows_left_);
    *rows_left_ -= *allowed;
    return S_OK;
  }
  const HRESULT code = rows_fault_.code;
  if (--rows_fault_.calls <= 0) rows_left_.reset();
  *allowed = 0;
  return code;
}

bool Faults::IsReadOnly(const Bytes& entry_id) const { return read_only_.count(entry_id) != 0; }

std::optional<SCODE> Faults::Unreadable(const Bytes& entry_id, ULONG tag) const {
  auto by_id = unreadable_.find(PROP_ID(tag));
  if (by_id == unreadable_.end()) return std::nullopt;
  for (const Bytes& key : {entry_id, Bytes()}) {
    auto it = by_id->second.find(key);
    if (it != by_id->second.end()) return it->second;
  }
  return std::nullopt;
}

// ---- items ----

const std::pair<const ULONG, PropData>* StoredItem::Find(ULONG tag) const {
  auto it = props.lower_bound(PROP_TAG(0, PROP_ID(tag)));
  if (it == props.end() || PROP_ID(it->first) != PROP_ID(tag)) return nullptr;
  return &*it;
}

std::wstring StoredItem::MessageClass() const {
  const auto* found = Find(PR_MESSAGE_CLASS_W);
  if (found == nullptr) return {};
  const auto* text = std::get_if<std::wstring>(&found->second);
  return text != nullptr ? *text : std::wstring();
}

// ---- the store ----

namespace {

constexpr size_t kEntryIdSize = 4 + 16 + 8;

FileTime SystemNow() {
  const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
  const auto ticks =
      std::chrono::duration_cast<std::chrono::nanoseconds>(since_epoch).count() / 100;
  return kUnixEpochFileTime + static_cast<FileTime>(std::max<int64_t>(ticks, 0));
}

// A prepared statement that finalizes itself.
class Statement {
 public:
  Statement(sqlite3* db, const char* sql) { sqlite3_prepare_v2(db, sql, -1, &statement_, nullptr); }
  ~Statement() { sqlite3_finalize(statement_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  sqlite3_stmt* get() const { return statement_; }
  bool ok() const { return statement_ != nullptr; }
  void BindBlob(int index, const Bytes& bytes) {
    sqlite3_bind_blob(statement_, index, bytes.data(), static_cast<int>(bytes.size()),
                      SQLITE_TRANSIENT);
  }
  void BindText(int index, const std::wstring& text) {
    const std::string utf8 = WideToUtf8(text);
    sqlite3_bind_text(statement_, index, utf8.c_str(), static_cast<int>(utf8.size()),
                      SQLITE_TRANSIENT);
  }
  Bytes ColumnBlob(int index) const {
    const auto* data = static_cast<const uint8_t*>(sqlite3_column_blob(statement_, index));
    return Bytes(data, data + sqlite3_column_bytes(statement_, index));
  }
  std::wstring ColumnText(int index) const {
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement_, index));
    return Utf8ToWide(std::string_view(
        text != nullptr ? text : "", static_cast<size_t>(sqlite3_column_bytes(statement_, index))));
  }
  // One step of a statement that returns no rows.
  bool Run() { return ok() && sqlite3_step(statement_) == SQLITE_DONE; }

 private:
  sqlite3_stmt* statement_ = nullptr;
};

// Steps `query` to its end, calling `row` for each row; false when it could not be read whole.
template <typename Row>
bool ReadAll(Statement& query, Row row) {
  if (!query.ok()) return false;
  int step = SQLITE_ROW;
  while ((step = sqlite3_step(query.get())) == SQLITE_ROW) row();
  return step == SQLITE_DONE;
}

bool IsTextType(ULONG type) { return type == PT_UNICODE || type == PT_STRING8; }
bool IsBytesType(ULONG type) { return type == PT_BINARY || type == PT_CLSID; }
bool IsRealType(ULONG type) { return type == PT_DOUBLE || type == PT_FLOAT || type == PT_APPTIME; }

void BindValue(Statement& statement, int index, const PropData& data) {
  if (const auto* text = std::get_if<std::wstring>(&data)) {
    statement.BindText(index, *text);
  } else if (const auto* bytes = std::get_if<Bytes>(&data)) {
    statement.BindBlob(index, *bytes);
  } else if (const auto* real = std::get_if<double>(&data)) {
    sqlite3_bind_double(statement.get(), index, *real);
  } else {
    sqlite3_bind_int64(statement.get(), index, std::get<int64_t>(data));
  }
}

// A stored value read back as the alternative its tag's type calls for.
PropData ColumnValue(const Statement& statement, int index, ULONG tag) {
  const ULONG type = PROP_TYPE(tag);
  if (IsTextType(type)) return statement.ColumnText(index);
  if (IsBytesType(type)) return statement.ColumnBlob(index);
  if (IsRealType(type)) return sqlite3_column_double(statement.get(), index);
  return int64_t{sqlite3_column_int64(statement.get(), index)};
}

// The same alternative the tag's type calls for; anything else is coerced to it.
PropData Normalized(ULONG tag, const PropData& data) {
  const ULONG type = PROP_TYPE(tag);
  if (IsTextType(type)) {
    if (auto* text = std::get_if<std::wstring>(&data)) return *text;
    return std::wstring();
  }
  if (IsBytesType(type)) {
    if (auto* bytes = std::get_if<Bytes>(&data)) return *bytes;
    return Bytes();
  }
  if (IsRealType(type)) {
    if (auto* real = std::get_if<double>(&data)) return *real;
    if (auto* number = std::get_if<int64_t>(&data)) return static_cast<double>(*number);
    return 0.0;
  }
  if (auto* number = std::get_if<int64_t>(&data)) return *number;
  return int64_t{0};
}

// The stores this process has open, by file. Opening a file again hands out the same store:
// two stores over one file would each keep their own copy of the items and overwrite each
// other's saves.
std::mutex& OpenStoresMutex() {
  static std::mutex mutex;
  return mutex;
}
std::map<std::string, std::weak_ptr<Store>>& OpenStores() {
  static std::map<std::string, std::weak_ptr<Store>> stores;
  return stores;
}

}  // namespace

std::shared_ptr<Store> Store::Open(const std::string& path, std::string* error) {
  std::string key;
  if (!path.empty()) {
    std::error_code ignored;
    key = std::filesystem::weakly_canonical(path, ignored).string();
    if (key.empty()) key = path;
  }
  const std::lock_guard lock(OpenStoresMutex());
  auto& open_stores = OpenStores();
  std::erase_if(open_stores, [](const auto& entry) { return entry.second.expired(); });
  if (!key.empty()) {
    auto it = open_stores.find(key);
    if (it != open_stores.end()) {
      if (auto open = it->second.lock()) return open;
    }
  }
  std::shared_ptr<Store> store(new Store());
  store->clock_ = SystemNow;
  const std::string name = path.empty() ? std::string(":memory:") : path;
  if (sqlite3_open_v2(name.c_str(), &store->db_,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                      nullptr) != SQLITE_OK) {
    if (error != nullptr) {
      *error = store->db_ != nullptr ? sqlite3_errmsg(store->db_) : "cannot open " + path;
    }
    return nullptr;
  }
  if (!store->Load(error)) return nullptr;
  if (!key.empty()) open_stores[key] = store;
  return store;
}

Store::~Store() { sqlite3_close(db_); }

bool Store::Exec(const char* sql) {
  return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

bool Store::Load(std::string* error) {
  auto fail = [&](const char* what) {
    if (error != nullptr) *error = std::string(what) + ": " + sqlite3_errmsg(db_);
    return false;
  };
  // Taken now and held until the store closes, so that another program, or another path to
  // the same file, is refused instead of writing past this one's copy of the items.
  if (!Exec("PRAGMA locking_mode=EXCLUSIVE") || !Exec("BEGIN EXCLUSIVE") || !Exec("COMMIT")) {
    return fail("the store is in use");
  }
  if (!Exec("PRAGMA journal_mode=WAL") || !Exec("PRAGMA synchronous=NORMAL") ||
      !Exec("CREATE TABLE IF NOT EXISTS meta (key TEXT PRIMARY KEY, value BLOB)") ||
      !Exec("CREATE TABLE IF NOT EXISTS items (number INTEGER PRIMARY KEY AUTOINCREMENT, "
            "last_modified INTEGER NOT NULL)") ||
      !Exec("CREATE TABLE IF NOT EXISTS props (item INTEGER NOT NULL, tag INTEGER NOT NULL, "
            "value, PRIMARY KEY (item, tag)) WITHOUT ROWID") ||
      !Exec("CREATE TABLE IF NOT EXISTS names (prop_id INTEGER PRIMARY KEY, guid BLOB NOT NULL, "
            "kind INTEGER NOT NULL, lid INTEGER NOT NULL, name TEXT NOT NULL)") ||
      !Exec("CREATE TABLE IF NOT EXISTS recipients (item INTEGER NOT NULL, row INTEGER NOT NULL, "
            "tag INTEGER NOT NULL, value, PRIMARY KEY (item, row, tag)) WITHOUT ROWID") ||
      !Exec("CREATE TABLE IF NOT EXISTS directory (number INTEGER PRIMARY KEY AUTOINCREMENT, "
            "name TEXT NOT NULL, smtp TEXT NOT NULL, ex TEXT NOT NULL)")) {
    return fail("cannot create the store's tables");
  }
  // Every table is read to its end or the file is refused: a store opened with what could be
  // read would show the missing items as deleted, and a new store id would change every
  // entry id.
  Statement uid(db_, "SELECT value FROM meta WHERE key = 'store_uid'");
  if (!ReadAll(uid, [&] { store_uid_ = uid.ColumnBlob(0); })) {
    return fail("cannot read the store's id");
  }
  if (store_uid_.size() != 16) {
    GUID guid{};
    if (CoCreateGuid(&guid) != S_OK) return fail("cannot make the store's id");
    store_uid_.assign(reinterpret_cast<uint8_t*>(&guid), reinterpret_cast<uint8_t*>(&guid) + 16);
    Statement insert(db_, "INSERT OR REPLACE INTO meta (key, value) VALUES ('store_uid', ?)");
    if (insert.ok()) insert.BindBlob(1, store_uid_);
    if (!insert.Run()) return fail("cannot keep the store's id");
  }
  folder_entry_id_ = EntryIdOf(0);

  Statement names(db_, "SELECT prop_id, guid, kind, lid, name FROM names");
  const bool names_read = ReadAll(names, [&] {
    const auto prop_id = static_cast<ULONG>(sqlite3_column_int64(names.get(), 0));
    const Bytes set = names.ColumnBlob(1);
    names_[{std::string(set.begin(), set.end()),
            static_cast<ULONG>(sqlite3_column_int64(names.get(), 2)),
            static_cast<LONG>(sqlite3_column_int64(names.get(), 3)), names.ColumnText(4)}] =
        prop_id;
    next_name_id_ = std::max(next_name_id_, prop_id + 1);
  });
  if (!names_read) return fail("cannot read the named properties");
  Statement items(db_, "SELECT number, last_modified FROM items");
  const bool items_read = ReadAll(items, [&] {
    StoredItem item;
    item.number = sqlite3_column_int64(items.get(), 0);
    item.last_modified = static_cast<FileTime>(sqlite3_column_int64(items.get(), 1));
    item.entry_id = EntryIdOf(item.number);
    numbers_[item.entry_id] = item.number;
    items_[item.number] = std::move(item);
  });
  if (!items_read) return fail("cannot read the items");
  Statement props(db_, "SELECT item, tag, value FROM props");
  const bool props_read = ReadAll(props, [&] {
    auto it = items_.find(sqlite3_column_int64(props.get(), 0));
    if (it == items_.end()) return;
    const auto tag = static_cast<ULONG>(sqlite3_column_int64(props.get(), 1));
    it->second.props[tag] = ColumnValue(props, 2, tag);
  });
  if (!props_read) return fail("cannot read the items' properties");
  // Rows are numbered densely from 0 when saved; a row number past what the file can hold
  // for one item belongs to a damaged file.
  Statement recipients(db_, "SELECT item, row, tag, value FROM recipients ORDER BY item, row");
  bool rows_sane = true;
  const bool recipients_read = ReadAll(recipients, [&] {
    auto it = items_.find(sqlite3_column_int64(recipients.get(), 0));
    if (it == items_.end()) return;
    const int64_t row = sqlite3_column_int64(recipients.get(), 1);
    auto& rows = it->second.recipients;
    if (row < 0 || row > static_cast<int64_t>(rows.size())) {
      rows_sane = false;
      return;
    }
    if (row == static_cast<int64_t>(rows.size())) rows.emplace_back();
    const auto tag = static_cast<ULONG>(sqlite3_column_int64(recipients.get(), 2));
    rows[static_cast<size_t>(row)][tag] = ColumnValue(recipients, 3, tag);
  });
  if (!recipients_read || !rows_sane) return fail("cannot read the items' recipients");
  Statement users(db_, "SELECT name, smtp, ex FROM directory ORDER BY number");
  if (!ReadAll(users, [&] {
        directory_.push_back({users.ColumnText(0), users.ColumnText(1), users.ColumnText(2)});
      })) {
    return fail("cannot read the directory");
  }
  return true;
}

Bytes Store::EntryIdOf(int64_t number) const {
  // Four flag bytes (zero), the store's id, then the item's number, little-endian.
  Bytes id(kEntryIdSize, 0);
  for (size_t i = 0; i < 16 && i < store_uid_.size(); ++i) id[4 + i] = store_uid_[i];
  for (size_t i = 0; i < 8; ++i) {
    id[20 + i] = static_cast<uint8_t>(static_cast<uint64_t>(number) >> (8 * i));
  }
  return id;
}

bool Store::IsOwnEntryId(const Bytes& entry_id) const {
  return entry_id.size() == kEntryIdSize &&
         std::equal(store_uid_.begin(), store_uid_.end(), entry_id.begin() + 4);
}

const StoredItem* Store::Find(const Bytes& entry_id) const {
  auto it = numbers_.find(entry_id);
  return it == numbers_.end() ? nullptr : &items_.at(it->second);
}

HRESULT Store::Save(int64_t* number, const PropMap& changes, const std::set<ULONG>& removed,
                    const std::vector<PropMap>* recipients) {
  StoredItem updated;
  if (*number != 0) {
    auto it = items_.find(*number);
    if (it == items_.end()) return MAPI_E_OBJECT_DELETED;
    updated = it->second;
  }
  for (ULONG tag : removed) {
    while (const auto* found = updated.Find(tag)) updated.props.erase(found->first);
  }
  for (const auto& [tag, data] : changes) {
    while (const auto* found = updated.Find(tag)) updated.props.erase(found->first);
    updated.props[tag] = Normalized(tag, data);
  }
  if (recipients != nullptr) {
    updated.recipients.clear();
    for (const PropMap& row : *recipients) {
      PropMap& kept = updated.recipients.emplace_back();
      for (const auto& [tag, data] : row) kept[tag] = Normalized(tag, data);
    }
  }
  // Moves on every save, even when the clock has not (or has gone back).
  updated.last_modified = std::max(Now(), updated.last_modified + 1);

  if (!Exec("BEGIN IMMEDIATE")) return MAPI_E_CALL_FAILED;
  bool ok = true;
  if (updated.number == 0) {
    Statement insert(db_, "INSERT INTO items (last_modified) VALUES (?)");
    if (insert.ok())
      sqlite3_bind_int64(insert.get(), 1, static_cast<int64_t>(updated.last_modified));
    ok = insert.Run();
    updated.number = sqlite3_last_insert_rowid(db_);
  } else {
    Statement update(db_, "UPDATE items SET last_modified = ? WHERE number = ?");
    if (update.ok()) {
      sqlite3_bind_int64(update.get(), 1, static_cast<int64_t>(updated.last_modified));
      sqlite3_bind_int64(update.get(), 2, updated.number);
    }
    ok = update.Run();
    Statement clear(db_, "DELETE FROM props WHERE item = ?");
    if (clear.ok()) sqlite3_bind_int64(clear.get(), 1, updated.number);
    ok = ok && clear.Run();
  }
  for (const auto& [tag, data] : updated.props) {
    if (!ok) break;
    Statement insert(db_, "INSERT INTO props (item, tag, value) VALUES (?, ?, ?)");
    if (!insert.ok()) {
      ok = false;
      break;
    }
    sqlite3_bind_int64(insert.get(), 1, updated.number);
    sqlite3_bind_int64(insert.get(), 2, tag);
    BindValue(insert, 3, data);
    ok = insert.Run();
  }
  if (ok && recipients != nullptr) {
    Statement clear(db_, "DELETE FROM recipients WHERE item = ?");
    if (clear.ok()) sqlite3_bind_int64(clear.get(), 1, updated.number);
    ok = clear.Run();
    for (size_t row = 0; ok && row < updated.recipients.size(); ++row) {
      for (const auto& [tag, data] : updated.recipients[row]) {
        Statement insert(db_, "INSERT INTO recipients (item, row, tag, value) VALUES (?, ?, ?, ?)");
        if (!insert.ok()) {
          ok = false;
          break;
        }
        sqlite3_bind_int64(insert.get(), 1, updated.number);
        sqlite3_bind_int64(insert.get(), 2, static_cast<int64_t>(row));
        sqlite3_bind_int64(insert.get(), 3, tag);
        BindValue(insert, 4, data);
        if (!(ok = insert.Run())) break;
      }
    }
  }
  if (!ok || !Exec("COMMIT")) {
    Exec("ROLLBACK");
    return MAPI_E_DISK_ERROR;
  }
  updated.entry_id = EntryIdOf(updated.number);
  *number = updated.number;
  numbers_[updated.entry_id] = updated.number;
  items_[updated.number] = std::move(updated);
  ++writes_;
  return S_OK;
}

HRESULT Store::Delete(const Bytes& entry_id) {
  auto it = numbers_.find(entry_id);
  if (it == numbers_.end()) return MAPI_E_NOT_FOUND;
  const int64_t number = it->second;
  if (!Exec("BEGIN IMMEDIATE")) return MAPI_E_CALL_FAILED;
  Statement props(db_, "DELETE FROM props WHERE item = ?");
  Statement recipients(db_, "DELETE FROM recipients WHERE item = ?");
  Statement item(db_, "DELETE FROM items WHERE number = ?");
  if (props.ok()) sqlite3_bind_int64(props.get(), 1, number);
  if (recipients.ok()) sqlite3_bind_int64(recipients.get(), 1, number);
  if (item.ok()) sqlite3_bind_int64(item.get(), 1, number);
  if (!props.Run() || !recipients.Run() || !item.Run() || !Exec("COMMIT")) {
    Exec("ROLLBACK");
    return MAPI_E_DISK_ERROR;
  }
  items_.erase(number);
  numbers_.erase(it);
  ++writes_;
  return S_OK;
}

HRESULT Store::NamedId(const GUID& set, ULONG kind, LONG id, const std::wstring& name, bool create,
                       ULONG* prop_id) {
  const auto* raw = reinterpret_cast<const char*>(&set);
  NameKey key{std::string(raw, sizeof(GUID)), kind, kind == MNID_ID ? id : 0,
              kind == MNID_ID ? std::wstring() : name};
  auto it = names_.find(key);
  if (it != names_.end()) {
    *prop_id = it->second;
    return S_OK;
  }
  if (!create) return MAPI_E_NOT_FOUND;
  if (next_name_id_ > 0xFFFE) return MAPI_E_NOT_ENOUGH_RESOURCES;
  Statement insert(db_,
                   "INSERT INTO names (prop_id, guid, kind, lid, name) VALUES (?, ?, ?, ?, ?)");
  if (insert.ok()) {
    sqlite3_bind_int64(insert.get(), 1, next_name_id_);
    const std::string& raw_set = std::get<0>(key);
    insert.BindBlob(2, Bytes(raw_set.begin(), raw_set.end()));
    sqlite3_bind_int64(insert.get(), 3, kind);
    sqlite3_bind_int64(insert.get(), 4, std::get<2>(key));
    insert.BindText(5, std::get<3>(key));
  }
  if (!insert.Run()) return MAPI_E_DISK_ERROR;
  *prop_id = next_name_id_++;
  names_[std::move(key)] = *prop_id;
  return S_OK;
}

ULONG Store::NamedTag(const NamedProp& prop) {
  ULONG prop_id = 0;
  if (NamedId(prop.set, MNID_ID, prop.id, {}, true, &prop_id) != S_OK) {
    return PROP_TAG(PT_ERROR, PROP_ID_NULL);
  }
  return PROP_TAG(prop.type, prop_id);
}

std::optional<std::wstring> Store::StringNameOf(const GUID& set, ULONG prop_id) const {
  const std::string raw(reinterpret_cast<const char*>(&set), sizeof(GUID));
  for (const auto& [key, id] : names_) {
    if (id == prop_id) {
      if (std::get<0>(key) != raw || std::get<1>(key) != MNID_STRING) return std::nullopt;
      return std::get<3>(key);
    }
  }
  return std::nullopt;
}

HRESULT Store::AddDirectoryUser(const DirectoryUser& user) {
  Statement insert(db_, "INSERT INTO directory (name, smtp, ex) VALUES (?, ?, ?)");
  if (insert.ok()) {
    insert.BindText(1, user.name);
    insert.BindText(2, user.smtp_address);
    insert.BindText(3, user.ex_address);
  }
  if (!insert.Run()) return MAPI_E_DISK_ERROR;
  directory_.push_back(user);
  return S_OK;
}

}  // namespace calendar_mirrow_addin::sim
