// The simulated Outlook: its store, MAPI view and object model where the add-in's own tests do
// not reach: damaged and shared files, faults, refusals as Outlook answers them.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <vector>

#include "base/text.h"
#include "platform/com/oleaut.h"
#include "sim/outlook/mapi_view.h"
#include "sim/outlook/object_model.h"
#include "sim/outlook/seed.h"
#include "tests/sim/ref.h"
#include "tests/support/temp_dir.h"

namespace calendar_mirrow_addin::sim {
namespace {

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

// A file that cannot be read whole is refused, not opened with what could be read: the add-in
// would take the items that lost their class for deleted ones.
TEST(SimOutlookStore, OpenRefusesAFileItCannotReadWhole) {
  testing::TempDir dir;
  const std::string path = (dir.path() / "store.db").string();
  {
    auto store = Store::Open(path, nullptr);
    ASSERT_NE(store, nullptr);
    AppointmentSeed seed;
    seed.body = std::wstring(2000, L'x');
    for (int i = 0; i < 200; ++i) ASSERT_FALSE(AddAppointment(*store, seed).empty());
  }
  {  // damage the middle half of the pages; the schema and the first tables stay readable
    const auto size = std::filesystem::file_size(path);
    std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
    const std::string junk(size / 2, '\xA5');
    file.seekp(static_cast<std::streamoff>(size / 4 / 4096 * 4096));
    file.write(junk.data(), static_cast<std::streamsize>(junk.size()));
  }
  std::string error;
  EXPECT_FALSE(Store::Open(path, &error));
  EXPECT_NE(error.find("malformed"), std::string::npos) << error;
}

// One file, one store: opened again in this process it is shared; through another path (as
// another program would) it is refused while open.
TEST(SimOutlookStore, AFileIsOneStoreWhileOpen) {
  testing::TempDir dir;
  const std::string path = (dir.path() / "store.db").string();
  const std::string link = (dir.path() / "link.db").string();
  auto first = Store::Open(path, nullptr);
  ASSERT_NE(first, nullptr);
  auto second = Store::Open((dir.path() / "." / "store.db").string(), nullptr);
  ASSERT_NE(second, nullptr);
  const Bytes id = Seed(*first, L"a");
  EXPECT_NE(second->Find(id), nullptr);
  std::filesystem::create_hard_link(path, link);
  std::string error;
  EXPECT_FALSE(Store::Open(link, &error));
  EXPECT_NE(error.find("in use"), std::string::npos) << error;
  first.reset();
  second.reset();
  auto reopened = Store::Open(link, nullptr);
  ASSERT_NE(reopened, nullptr);
  EXPECT_NE(reopened->Find(id), nullptr);
}

TEST(SimOutlookMapi, PropertyErrorsFaultsAndRefusedChanges) {
  auto store = MemoryStore();
  const Bytes id = Seed(*store, L"Review");
  Ref<IMAPIFolder> folder{NewCalendarFolder(store)};
  Ref<IMessage> message;
  ASSERT_EQ(OpenMessage(folder.p, id, MAPI_MODIFY, message.put()), S_OK);

  const Read absent = GetOne(message.p, PR_SENDER_EMAIL_ADDRESS_W);
  EXPECT_EQ(absent.hr, MAPI_W_ERRORS_RETURNED);
  EXPECT_EQ(absent.tag, CHANGE_PROP_TYPE(PR_SENDER_EMAIL_ADDRESS_W, PT_ERROR));
  EXPECT_EQ(absent.data, PropData(int64_t{MAPI_E_NOT_FOUND}));
  constexpr GUID kOwnSet = {0x11111111, 0x2222, 0x3333, {4, 4, 4, 4, 4, 4, 4, 4}};
  EXPECT_EQ(NamedTag(message.p, kOwnSet, 0x43, 0), PROP_TAG(PT_ERROR, 0));  // not invented

  // A change waits in the open message until saved; a fault lasts for the calls it was given.
  ASSERT_EQ(SetOne(message.p, PR_SENDER_EMAIL_ADDRESS_W, L"ann@nexora.example"), S_OK);
  store->faults().Fail(FaultPoint::kSave, MAPI_E_NOT_ENOUGH_DISK, 2);
  EXPECT_EQ(message->SaveChanges(KEEP_OPEN_READWRITE), MAPI_E_NOT_ENOUGH_DISK);
  EXPECT_EQ(message->SaveChanges(KEEP_OPEN_READWRITE), MAPI_E_NOT_ENOUGH_DISK);
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
}

// A call whose out-parameter holds a stale pointer: its result, and whether it came back null.
using Probe = std::function<std::pair<HRESULT, bool>()>;
template <typename T, typename F>
Probe Stale(F call) {
  return [call] {
    static int junk;
    T* out = reinterpret_cast<T*>(&junk);
    const HRESULT hr = call(&out);
    return std::make_pair(hr, out == nullptr);
  };
}
// A call with no out-parameter.
template <typename F>
Probe Plain(F call) {
  return [call] { return std::make_pair(call(), true); };
}

// Refused calls touch nothing past what they were given and leave nothing to free.
TEST(SimOutlookMapi, RefusedCallsReadNoFurtherAndClearTheirResults) {
  auto store = MemoryStore();
  Seed(*store, L"kept");
  const Bytes gone_id = Seed(*store, L"gone");
  Ref<IMAPIFolder> folder{NewCalendarFolder(store)};
  Ref<IMessage> gone;
  ASSERT_EQ(OpenMessage(folder.p, gone_id, MAPI_MODIFY, gone.put()), S_OK);
  ASSERT_EQ(store->Delete(gone_id), S_OK);
  Ref<IMessage> made;
  ASSERT_EQ(folder->CreateMessage(nullptr, 0, made.put()), S_OK);
  Ref<IMAPITable> table;
  ASSERT_EQ(folder->GetContentsTable(0, table.put()), S_OK);
  SizedSPropTagArray(1, lying) = {0x7FFFFFFF, {kPrSubjectW}};  // one tag behind the count
  auto* lying_tags = reinterpret_cast<LPSPropTagArray>(&lying);
  GUID set = kPsetidAppointment;
  MAPINAMEID name{&set, MNID_ID, {0x8208}};
  LPMAPINAMEID names[] = {&name};
  ULONG count = 0;
  SPropValue value{};
  value.ulPropTag = kPrSensitivity;

  const struct {
    const char* what;
    HRESULT hr;
    Probe call;
  } cases[] = {
      {"QueryRows(0)", MAPI_E_INVALID_PARAMETER,
       Stale<SRowSet>([&](LPSRowSet* rows) { return table->QueryRows(0, 0, rows); })},
      {"QueryRows(-5)", MAPI_E_INVALID_PARAMETER,
       Stale<SRowSet>([&](LPSRowSet* rows) { return table->QueryRows(-5, 0, rows); })},
      {"CreateMessage as a table", MAPI_E_INTERFACE_NOT_SUPPORTED,
       Stale<IMessage>([&](LPMESSAGE* m) { return folder->CreateMessage(&IID_IMAPITable, 0, m); })},
      {"GetProps of a deleted item", MAPI_E_OBJECT_DELETED,
       Stale<SPropValue>([&](LPSPropValue* v) { return gone->GetProps(nullptr, 0, &count, v); })},
      {"GetProps past the tags", MAPI_E_INVALID_PARAMETER, Stale<SPropValue>([&](LPSPropValue* v) {
         return folder->GetProps(lying_tags, 0, &count, v);
       })},
      {"GetIDsFromNames of none", MAPI_E_INVALID_PARAMETER,
       Stale<SPropTagArray>(
           [&](LPSPropTagArray* t) { return folder->GetIDsFromNames(0, names, 0, t); })},
      {"GetIDsFromNames past the names", MAPI_E_INVALID_PARAMETER,
       Stale<SPropTagArray>([&](LPSPropTagArray* t) {
         return folder->GetIDsFromNames(0x7FFFFFFF, names, MAPI_CREATE, t);
       })},
      {"SetColumns past the tags", MAPI_E_INVALID_PARAMETER,
       Plain([&] { return table->SetColumns(lying_tags, 0); })},
      {"SetProps past the values", MAPI_E_INVALID_PARAMETER,
       Stale<SPropProblemArray>(
           [&](LPSPropProblemArray* p) { return made->SetProps(0x7FFFFFFF, &value, p); })},
      {"DeleteProps past the tags", MAPI_E_INVALID_PARAMETER,
       Plain([&] { return made->DeleteProps(lying_tags, nullptr); })},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const auto [hr, cleared] = c.call();
    EXPECT_EQ(hr, c.hr);
    EXPECT_TRUE(cleared);
  }
}

// ---- the object model ----

struct ObjectModel {
  std::shared_ptr<Store> store = MemoryStore();
  Ref<IDispatch> app{NewApplication(store)};
  Ref<IDispatch> ns = GetObj(app.p, L"GetNamespace", {L"MAPI"});
  Ref<IDispatch> Item(const Bytes& entry_id) { return ItemOf(app.p, entry_id); }
};

TEST(SimOutlookObjectModel, RefusalsAnswerAsOutlookDoes) {
  ObjectModel om;
  const Bytes appointment = Seed(*om.store, L"a");
  const Bytes note = Seed(*om.store, L"n", L"IPM.StickyNote");
  om.store->faults().SetReadOnly(appointment, true);
  Ref<IDispatch> item = om.Item(appointment);
  Ref<IDispatch> sticky = om.Item(note);
  const std::wstring damaged_id =
      HexText(Bytes(appointment.begin(), appointment.end() - 1)).append(L"FF");

  const struct {
    IDispatch* object;
    const wchar_t* name;
    WORD flags;
    std::vector<Var> args;
    HRESULT hr;
    const wchar_t* description;
  } cases[] = {
      {om.ns.p, L"NoSuchMember", kGet, {}, DISP_E_UNKNOWNNAME, L""},
      {om.ns.p, L"GetDefaultFolder", kMethod, {L"nine"}, DISP_E_TYPEMISMATCH, L""},
      {om.ns.p, L"GetDefaultFolder", kMethod, {6}, DISP_E_EXCEPTION, kTextBadValue},
      {om.ns.p, L"GetDefaultFolder", kMethod, {}, DISP_E_PARAMNOTOPTIONAL, L""},
      {om.ns.p,
       L"GetItemFromID",
       kMethod,
       {L"XYZ"},
       DISP_E_EXCEPTION,
       L"Could not open the item. Try again."},
      {om.ns.p, L"GetItemFromID", kMethod, {damaged_id.c_str()}, DISP_E_EXCEPTION, kTextNotFound},
      {om.app.p, L"CreateItem", kMethod, {0}, DISP_E_EXCEPTION, kTextBadValue},
      {item.p, L"Start", kPut, {L"tomorrow"}, DISP_E_TYPEMISMATCH, L""},
      {item.p, L"End", kPut, {Var::Date(30000.0)}, DISP_E_EXCEPTION, kTextEndBeforeStart},
      {item.p, L"BusyStatus", kPut, {9}, DISP_E_EXCEPTION, kTextBadValue},
      {item.p, L"Subject", kPut, {L"read-only"}, DISP_E_EXCEPTION, kTextNoAccess},
      {item.p, L"Save", kMethod, {}, DISP_E_EXCEPTION, kTextNoAccess},
      {item.p, L"EntryID", kPut, {L"00"}, DISP_E_MEMBERNOTFOUND, L""},
      {item.p, L"Subject", kMethod, {}, DISP_E_MEMBERNOTFOUND, L""},  // a property, not a method
      {sticky.p, L"Start", kGet, {}, DISP_E_UNKNOWNNAME, L""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << WideToUtf8(c.name));
    const Outcome out = Call(c.object, c.name, c.flags, c.args);
    EXPECT_EQ(out.hr, c.hr);
    EXPECT_EQ(out.description, c.description);
  }
  EXPECT_EQ(Get(sticky.p, L"messageclass").text(), L"IPM.StickyNote");
}

// However the times came to be (here through MAPI), an appointment ending before its start
// is not saved.
TEST(SimOutlookObjectModel, SaveRefusesAnEndBeforeTheStart) {
  ObjectModel om;
  const Bytes id = Seed(*om.store, L"a");
  const PropData end = NamedValue(*om.store, *om.store->Find(id), kEndWhole).value();
  Ref<IDispatch> item = om.Item(id);
  Ref<IMessage> message = MessageOf(item.p);
  SPropValue early{};
  early.ulPropTag =
      CHANGE_PROP_TYPE(NamedTag(message.p, kPsetidAppointment, 0x820E, MAPI_CREATE), PT_SYSTIME);
  early.Value.ft.dwLowDateTime = static_cast<DWORD>(kMonday);
  early.Value.ft.dwHighDateTime = static_cast<DWORD>(kMonday >> 32);
  ASSERT_EQ(message->SetProps(1, &early, nullptr), S_OK);
  const Outcome saved = Call(item.p, L"Save", kMethod);
  EXPECT_EQ(saved.hr, DISP_E_EXCEPTION);
  EXPECT_EQ(saved.description, kTextEndBeforeStart);
  EXPECT_EQ(NamedValue(*om.store, *om.store->Find(id), kEndWhole), end);
}

TEST(SimOutlookObjectModel, CreatedItemsSaveDeleteAndMeetingIds) {
  ObjectModel om;
  for (const LONG meeting_status : {0, 1}) {
    Ref<IDispatch> item = GetObj(om.app.p, L"CreateItem", {1});
    EXPECT_EQ(Get(item.p, L"EntryID").text(), L"");
    ASSERT_EQ(Put(item.p, L"MeetingStatus", meeting_status), S_OK);
    ASSERT_EQ(Call(item.p, L"Save", kMethod).hr, S_OK);
    const Bytes id = ParseHex(Get(item.p, L"EntryID").text()).value_or(Bytes());
    const StoredItem* stored = om.store->Find(id);
    ASSERT_NE(stored, nullptr);
    EXPECT_EQ(stored->MessageClass(), L"IPM.Appointment");
    const auto goid = NamedValue(*om.store, *stored, kGlobalObjectId);
    ASSERT_EQ(goid.has_value(), meeting_status == 1);  // only meetings get one
    if (goid) {  // as Outlook makes it: 56 bytes, a creation time, the size 16
      const Bytes& bytes = std::get<Bytes>(*goid);
      ASSERT_EQ(bytes.size(), 56u);
      EXPECT_EQ(bytes[0], 0x04);
      EXPECT_EQ(Bytes(bytes.begin() + 16, bytes.begin() + 20), Bytes(4, 0));
      EXPECT_NE(Bytes(bytes.begin() + 20, bytes.begin() + 28), Bytes(8, 0));
      EXPECT_EQ(bytes[36], 16);
    }
    ASSERT_EQ(Call(item.p, L"Delete", kMethod).hr, S_OK);
    EXPECT_EQ(om.store->Find(id), nullptr);
    EXPECT_EQ(Call(item.p, L"Subject", kGet).description, kTextDeleted);
  }
}

}  // namespace
}  // namespace calendar_mirrow_addin::sim
