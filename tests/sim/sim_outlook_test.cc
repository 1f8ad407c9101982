// The simulated Outlook: its store, MAPI view and object model, as the add-in uses them.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <vector>

#include "sim/outlook/mapi_view.h"
#include "sim/outlook/seed.h"

namespace calendar_mirrow_addin::sim {
namespace {

constexpr FileTime kMonday = 133'218'720'000'000'000ULL;  // 2023-02-27T00:00:00Z
constexpr int64_t kHour = 36'000'000'000;

// Releases a COM pointer when the test leaves, so ASan sees every object freed.
template <typename T>
struct Ref {
  T* p = nullptr;
  ~Ref() {
    if (p != nullptr) p->Release();
  }
  T* operator->() const { return p; }
  T** put() { return &p; }
};

std::shared_ptr<Store> MemoryStore() {
  auto store = Store::Open("", nullptr);
  store->SetClock([] { return kMonday; });
  return store;
}

Bytes Seed(Store& store, std::wstring subject, std::wstring message_class = L"IPM.Appointment") {
  AppointmentSeed seed;
  seed.subject = std::move(subject);
  seed.message_class = std::move(message_class);
  seed.start = kMonday + 9 * kHour;
  return AddAppointment(store, seed);
}

HRESULT OpenMessage(IMAPIFolder* folder, const Bytes& entry_id, ULONG flags, IMessage** message) {
  ULONG type = 0;
  LPUNKNOWN object = nullptr;
  Bytes copy = entry_id;
  const HRESULT hr =
      folder->OpenEntry(static_cast<ULONG>(copy.size()), reinterpret_cast<LPENTRYID>(copy.data()),
                        &IID_IMessage, flags, &type, &object);
  if (hr == S_OK) {
    EXPECT_EQ(type, MAPI_MESSAGE);
    *message = static_cast<IMessage*>(static_cast<IMAPIProp*>(object));
  }
  return hr;
}

// One property read through GetProps: (result, returned tag, value as stored).
struct Read {
  HRESULT hr;
  ULONG tag;
  std::optional<PropData> data;
};
Read GetOne(IMAPIProp* prop, ULONG tag) {
  SizedSPropTagArray(1, tags) = {1, {tag}};
  ULONG count = 0;
  LPSPropValue values = nullptr;
  Read read{prop->GetProps(reinterpret_cast<LPSPropTagArray>(&tags), MAPI_UNICODE, &count, &values),
            0, std::nullopt};
  if (values != nullptr) {
    EXPECT_EQ(count, 1u);
    read.tag = values[0].ulPropTag;
    read.data = FromSPropValue(values[0]);
    MAPIFreeBuffer(values);
  }
  return read;
}

HRESULT SetOne(IMAPIProp* prop, ULONG tag, const std::wstring& text) {
  SPropValue value{};
  value.ulPropTag = tag;
  std::wstring copy = text;
  value.Value.lpszW = copy.data();
  return prop->SetProps(1, &value, nullptr);
}

ULONG NamedTag(IMAPIProp* prop, const GUID& set, LONG id, ULONG flags) {
  GUID copy = set;
  MAPINAMEID name{&copy, MNID_ID, {id}};
  LPMAPINAMEID names[] = {&name};
  LPSPropTagArray tags = nullptr;
  prop->GetIDsFromNames(1, names, flags, &tags);
  const ULONG tag = tags != nullptr ? tags->aulPropTag[0] : 0;
  MAPIFreeBuffer(tags);
  return tag;
}

TEST(SimOutlookStore, KeepsItemsIdsAndNamedTagsAcrossReopen) {
  const auto dir =
      std::filesystem::path(testing::TempDir()) / ("simol-" + std::to_string(getpid()));
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  const std::string path = (dir / "store.db").string();
  constexpr GUID kOwnSet = {0x11111111, 0x2222, 0x3333, {4, 4, 4, 4, 4, 4, 4, 4}};
  Bytes entry_id;
  ULONG own_tag = 0;
  Bytes goid = MakeOutlookGlobalObjectId(kMonday);
  {
    auto store = Store::Open(path, nullptr);
    ASSERT_NE(store, nullptr);
    AppointmentSeed seed;
    seed.subject = L"Planning";
    seed.global_object_id = goid;
    entry_id = AddAppointment(*store, seed);
    Ref<IMAPIFolder> folder{NewCalendarFolder(store)};
    Ref<IMessage> message;
    ASSERT_EQ(OpenMessage(folder.p, entry_id, MAPI_MODIFY, message.put()), S_OK);
    own_tag = NamedTag(message.p, kOwnSet, 0x42, MAPI_CREATE);
    EXPECT_GE(PROP_ID(own_tag), 0x8000u);
    ASSERT_EQ(SetOne(message.p, CHANGE_PROP_TYPE(own_tag, PT_UNICODE), L"kept"), S_OK);
    ASSERT_EQ(message->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
  }
  auto store = Store::Open(path, nullptr);
  ASSERT_NE(store, nullptr);
  const StoredItem* item = store->Find(entry_id);
  ASSERT_NE(item, nullptr);
  EXPECT_GE(entry_id.size(), 24u);
  Ref<IMAPIFolder> folder{NewCalendarFolder(store)};
  Ref<IMessage> message;
  ASSERT_EQ(OpenMessage(folder.p, entry_id, 0, message.put()), S_OK);
  EXPECT_EQ(NamedTag(message.p, kOwnSet, 0x42, 0), own_tag);
  EXPECT_EQ(GetOne(message.p, CHANGE_PROP_TYPE(own_tag, PT_UNICODE)).data, PropData(L"kept"));
  EXPECT_EQ(GetOne(message.p, kPrSubjectW).data, PropData(L"Planning"));
  EXPECT_EQ(NamedValue(*store, *item, kGlobalObjectId), PropData(goid));
  // A name never created is reported, not invented.
  EXPECT_EQ(NamedTag(message.p, kOwnSet, 0x43, 0), PROP_TAG(PT_ERROR, 0));
  std::filesystem::remove_all(dir);
}

TEST(SimOutlookStore, ModificationTimeMovesOnEverySave) {
  auto store = MemoryStore();
  const Bytes id = Seed(*store, L"a");
  const FileTime first = store->Find(id)->last_modified;
  EXPECT_EQ(first, kMonday);
  Ref<IMAPIFolder> folder{NewCalendarFolder(store)};
  Ref<IMessage> message;
  ASSERT_EQ(OpenMessage(folder.p, id, MAPI_MODIFY, message.put()), S_OK);
  ASSERT_EQ(message->SaveChanges(KEEP_OPEN_READWRITE), S_OK);  // the clock stood still
  EXPECT_GT(store->Find(id)->last_modified, first);
  store->SetClock([] { return kMonday + kHour; });
  ASSERT_EQ(message->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
  EXPECT_EQ(store->Find(id)->last_modified, kMonday + kHour);
  EXPECT_EQ(GetOne(message.p, PR_LAST_MODIFICATION_TIME).data,
            PropData(static_cast<int64_t>(kMonday + kHour)));
}

TEST(SimOutlookMapi, QueryRowsBatchesAndFailsAfterKRows) {
  struct Case {
    int items;
    LONG batch;
    std::optional<ULONG> fail_after;
    std::vector<ULONG> batches;  // then a failure when fail_after is set, else the end
  };
  const Case cases[] = {
      {5, 2, std::nullopt, {2, 2, 1}},
      {0, 50, std::nullopt, {}},
      {5, 2, 3, {2, 1}},
      {5, 50, 0, {}},
  };
  for (const Case& c : cases) {
    auto store = MemoryStore();
    std::vector<Bytes> ids;
    for (int i = 0; i < c.items; ++i) ids.push_back(Seed(*store, L"item"));
    Ref<IMAPIFolder> folder{NewCalendarFolder(store)};
    Ref<IMAPITable> table;
    ASSERT_EQ(folder->GetContentsTable(MAPI_UNICODE, table.put()), S_OK);
    ULONG count = 0;
    ASSERT_EQ(table->GetRowCount(0, &count), S_OK);
    EXPECT_EQ(count, static_cast<ULONG>(c.items));
    if (c.fail_after) store->faults().FailQueryRowsAfter(*c.fail_after, MAPI_E_NETWORK_ERROR);
    size_t next = 0;
    for (ULONG expected : c.batches) {
      LPSRowSet rows = nullptr;
      ASSERT_EQ(table->QueryRows(c.batch, 0, &rows), S_OK);
      ASSERT_EQ(rows->cRows, expected);
      for (ULONG r = 0; r < rows->cRows; ++r, ++next) {  // in creation order, three columns
        ASSERT_EQ(rows->aRow[r].cValues, 3u);
        EXPECT_EQ(FromSPropValue(rows->aRow[r].lpProps[0]), PropData(ids[next]));
        EXPECT_EQ(rows->aRow[r].lpProps[2].ulPropTag, PR_MESSAGE_CLASS_W);
      }
      FreeProws(rows);
    }
    LPSRowSet rows = nullptr;
    EXPECT_EQ(table->QueryRows(c.batch, 0, &rows), c.fail_after ? MAPI_E_NETWORK_ERROR : S_OK);
    if (rows != nullptr) {
      EXPECT_EQ(rows->cRows, 0u);
      FreeProws(rows);
    }
  }
}

TEST(SimOutlookMapi, FaultsLastForTheGivenNumberOfCalls) {
  struct Case {
    FaultPoint point;
    HRESULT code;
  };
  const Case cases[] = {{FaultPoint::kContentsTable, MAPI_E_BUSY},
                        {FaultPoint::kOpenEntry, MAPI_E_NETWORK_ERROR},
                        {FaultPoint::kSave, MAPI_E_NOT_ENOUGH_DISK}};
  for (const Case& c : cases) {
    auto store = MemoryStore();
    const Bytes id = Seed(*store, L"x");
    Ref<IMAPIFolder> folder{NewCalendarFolder(store)};
    Ref<IMessage> opened;
    ASSERT_EQ(OpenMessage(folder.p, id, MAPI_MODIFY, opened.put()), S_OK);
    auto call = [&]() -> HRESULT {
      switch (c.point) {
        case FaultPoint::kContentsTable: {
          Ref<IMAPITable> table;
          return folder->GetContentsTable(0, table.put());
        }
        case FaultPoint::kOpenEntry: {
          Ref<IMessage> message;
          return OpenMessage(folder.p, id, MAPI_MODIFY, message.put());
        }
        case FaultPoint::kSave:
          return opened->SaveChanges(KEEP_OPEN_READWRITE);
      }
      return E_FAIL;
    };
    store->faults().Fail(c.point, c.code, 2);
    EXPECT_EQ(call(), c.code);
    EXPECT_EQ(call(), c.code);
    EXPECT_EQ(call(), S_OK);
  }
}

TEST(SimOutlookMapi, PropertyErrorsAndRefusedChanges) {
  auto store = MemoryStore();
  const Bytes id = Seed(*store, L"Review");
  Ref<IMAPIFolder> folder{NewCalendarFolder(store)};
  Ref<IMessage> message;
  ASSERT_EQ(OpenMessage(folder.p, id, MAPI_MODIFY, message.put()), S_OK);

  const Read absent = GetOne(message.p, PR_SENDER_EMAIL_ADDRESS_W);
  EXPECT_EQ(absent.hr, MAPI_W_ERRORS_RETURNED);
  EXPECT_EQ(absent.tag, CHANGE_PROP_TYPE(PR_SENDER_EMAIL_ADDRESS_W, PT_ERROR));
  EXPECT_EQ(absent.data, PropData(int64_t{MAPI_E_NOT_FOUND}));

  store->faults().SetUnreadable(id, kPrSubjectW, MAPI_E_CORRUPT_DATA);
  EXPECT_EQ(GetOne(message.p, kPrSubjectW).data, PropData(int64_t{MAPI_E_CORRUPT_DATA}));
  Ref<IMAPITable> table;
  ASSERT_EQ(folder->GetContentsTable(0, table.put()), S_OK);
  SizedSPropTagArray(2, columns) = {2, {PR_ENTRYID, kPrSubjectW}};
  ASSERT_EQ(table->SetColumns(reinterpret_cast<LPSPropTagArray>(&columns), 0), S_OK);
  LPSRowSet rows = nullptr;
  ASSERT_EQ(table->QueryRows(50, 0, &rows), S_OK);
  ASSERT_EQ(rows->cRows, 1u);
  EXPECT_EQ(PROP_TYPE(rows->aRow[0].lpProps[1].ulPropTag), PT_ERROR);
  FreeProws(rows);

  // A change waits in the open message until saved, and only then reaches the store.
  ASSERT_EQ(SetOne(message.p, PR_SENDER_EMAIL_ADDRESS_W, L"ann@nexora.example"), S_OK);
  EXPECT_EQ(store->Find(id)->Find(PR_SENDER_EMAIL_ADDRESS_W), nullptr);
  store->faults().SetReadOnly(id, true);
  EXPECT_EQ(SetOne(message.p, kPrBodyW, L"no"), MAPI_E_NO_ACCESS);
  EXPECT_EQ(message->SaveChanges(KEEP_OPEN_READWRITE), MAPI_E_NO_ACCESS);
  store->faults().SetReadOnly(id, false);
  ASSERT_EQ(message->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
  EXPECT_NE(store->Find(id)->Find(PR_SENDER_EMAIL_ADDRESS_W), nullptr);

  Ref<IMessage> read_only;
  ASSERT_EQ(OpenMessage(folder.p, id, 0, read_only.put()), S_OK);
  EXPECT_EQ(SetOne(read_only.p, kPrBodyW, L"no"), MAPI_E_NO_ACCESS);
  LPSPropProblemArray problems = nullptr;
  SPropValue entry{};
  entry.ulPropTag = PR_ENTRYID;
  ASSERT_EQ(message->SetProps(1, &entry, &problems), S_OK);
  ASSERT_NE(problems, nullptr);
  EXPECT_EQ(problems->aProblem[0].scode, kMapiErrorComputed);
  MAPIFreeBuffer(problems);

  ENTRYLIST list{1, nullptr};
  SBinary one{static_cast<ULONG>(id.size()), const_cast<LPBYTE>(id.data())};
  list.lpbin = &one;
  EXPECT_EQ(folder->DeleteMessages(&list, 0, nullptr, 0), S_OK);
  EXPECT_EQ(store->Find(id), nullptr);
  EXPECT_EQ(message->SaveChanges(KEEP_OPEN_READWRITE), MAPI_E_OBJECT_DELETED);
  Ref<IMessage> gone;
  EXPECT_EQ(OpenMessage(folder.p, id, 0, gone.put()), MAPI_E_NOT_FOUND);
}

}  // namespace
}  // namespace calendar_mirrow_addin::sim
