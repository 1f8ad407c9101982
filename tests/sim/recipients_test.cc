// Recipients, the address book and user properties of the simulated Outlook, through the
// object model and MAPI as the add-in reaches them.

#include <gtest/gtest.h>

#include <vector>

#include "platform/com/oleaut.h"
#include "sim/outlook/mapi_view.h"
#include "sim/outlook/object_model.h"
#include "sim/outlook/seed.h"
#include "sim/outlook/series.h"
#include "tests/sim/ref.h"
#include "tests/support/temp_dir.h"

namespace calendar_mirrow_addin::sim {
namespace {

constexpr wchar_t kAdaEx[] = L"/o=Nexora/ou=First/cn=Recipients/cn=ada";

struct Var {
  VARIANT v;
  Var() { VariantInit(&v); }
  Var(LONG n) : Var() {  // NOLINT: arguments read as literals
    v.vt = VT_I4;
    v.lVal = n;
  }
  Var(const wchar_t* text) : Var() {  // NOLINT
    v.vt = VT_BSTR;
    v.bstrVal = SysAllocString(text);
  }
  Var(Var&& other) noexcept : v(other.v) { VariantInit(&other.v); }
  ~Var() { VariantClear(&v); }
  std::wstring text() const { return v.vt == VT_BSTR ? std::wstring(v.bstrVal) : L"<not text>"; }
};

// Invokes `name` on `object`; the result, or VT_ERROR with the failure code.
Var Call(IDispatch* object, const wchar_t* name, WORD flags, std::vector<Var> args = {}) {
  Var out;
  DISPID id = 0;
  std::wstring copy = name;
  LPOLESTR names[] = {copy.data()};
  HRESULT hr = object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
  std::vector<VARIANT> reversed;
  for (auto it = args.rbegin(); it != args.rend(); ++it) reversed.push_back(it->v);
  DISPID put_id = DISPID_PROPERTYPUT;
  const bool put = flags == DISPATCH_PROPERTYPUT;
  DISPPARAMS params{reversed.data(), put ? &put_id : nullptr, static_cast<UINT>(reversed.size()),
                    put ? 1u : 0u};
  EXCEPINFO info{};
  if (hr == S_OK) {
    hr = object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, &out.v, &info, nullptr);
  }
  SysFreeString(info.bstrSource);
  SysFreeString(info.bstrDescription);
  if (hr != S_OK) {
    VariantClear(&out.v);
    out.v.vt = VT_ERROR;
    out.v.scode = hr;
  }
  return out;
}
constexpr WORD kGet = DISPATCH_PROPERTYGET;
constexpr WORD kPut = DISPATCH_PROPERTYPUT;
constexpr WORD kMethod = DISPATCH_METHOD;

std::vector<Var> Args(Var a, Var b = Var(), Var c = Var()) {
  std::vector<Var> args;
  args.push_back(std::move(a));
  if (b.v.vt != VT_EMPTY) args.push_back(std::move(b));
  if (c.v.vt != VT_EMPTY) args.push_back(std::move(c));
  return args;
}

// The object a call returns (the reference moves to the caller); null for Nothing.
IDispatch* Object(Var&& value) {
  EXPECT_EQ(value.v.vt, VT_DISPATCH);
  if (value.v.vt != VT_DISPATCH) return nullptr;
  IDispatch* object = value.v.pdispVal;
  value.v.vt = VT_EMPTY;
  return object;
}

IMessage* MessageOf(IDispatch* item) {
  Var mapi = Call(item, L"MAPIOBJECT", kGet);
  IMessage* message = nullptr;
  EXPECT_EQ(mapi.v.punkVal->QueryInterface(IID_IMessage, reinterpret_cast<void**>(&message)), S_OK);
  return message;
}

// An ADRLIST of text values, allocated as MAPI callers do.
LPADRLIST NewList(const std::vector<std::vector<std::pair<ULONG, std::wstring>>>& entries) {
  LPVOID buffer = nullptr;
  EXPECT_EQ(MAPIAllocateBuffer(static_cast<ULONG>(CbNewADRLIST(entries.size())), &buffer), S_OK);
  auto* list = static_cast<LPADRLIST>(buffer);
  list->cEntries = static_cast<ULONG>(entries.size());
  for (size_t e = 0; e < entries.size(); ++e) {
    LPVOID values = nullptr;
    MAPIAllocateBuffer(static_cast<ULONG>(entries[e].size() * sizeof(SPropValue)), &values);
    list->aEntries[e] = {0, static_cast<ULONG>(entries[e].size()),
                         static_cast<LPSPropValue>(values)};
    for (size_t v = 0; v < entries[e].size(); ++v) {
      const auto& [tag, text] = entries[e][v];
      const PropData data = PROP_TYPE(tag) == PT_LONG ? PropData{std::stoll(text)} : PropData{text};
      ToSPropValue(tag, data, values, &list->aEntries[e].rgPropVals[v]);
    }
  }
  return list;
}

std::wstring TextIn(const SPropValue* values, ULONG count, ULONG tag) {
  for (ULONG i = 0; i < count; ++i) {
    if (values[i].ulPropTag == tag) return values[i].Value.lpszW;
  }
  return L"<absent>";
}
LONG LongIn(const SPropValue* values, ULONG count, ULONG tag) {
  for (ULONG i = 0; i < count; ++i) {
    if (values[i].ulPropTag == tag) return values[i].Value.l;
  }
  return -1;
}

void SeedDirectory(Store& store) {
  ASSERT_EQ(store.AddDirectoryUser({L"Ada Lovell", L"ada@nexora.example", kAdaEx}), S_OK);
  ASSERT_EQ(store.AddDirectoryUser({L"Bo Smith", L"bo1@nexora.example", L"/o=Nexora/cn=bo1"}),
            S_OK);
  ASSERT_EQ(store.AddDirectoryUser({L"Bo Smith", L"bo2@nexora.example", L"/o=Nexora/cn=bo2"}),
            S_OK);
}

TEST(SimOutlookAddressBook, ResolvesNamesSmtpAndExchangeAddresses) {
  auto store = Store::Open("", nullptr);
  SeedDirectory(*store);
  Ref<IMAPISession> session{NewSession(store)};
  Ref<IAddrBook> book;
  ASSERT_EQ(session->OpenAddressBook(0, nullptr, AB_NO_DIALOG, &book.p), S_OK);
  struct Case {
    const wchar_t* text;
    HRESULT result;
    const wchar_t* type;
    const wchar_t* smtp;
  };
  const Case cases[] = {
      {L"Ada Lovell", S_OK, L"EX", L"ada@nexora.example"},
      {L"ADA@nexora.example", S_OK, L"EX", L"ada@nexora.example"},
      {L"/o=nexora/ou=first/cn=recipients/cn=ada", S_OK, L"EX", L"ada@nexora.example"},
      {L"guest@far.nexora.example", S_OK, L"SMTP", L"guest@far.nexora.example"},
      {L"/o=Nexora/cn=nobody", MAPI_E_NOT_FOUND, nullptr, nullptr},
      {L"Bo Smith", MAPI_E_AMBIGUOUS_RECIP, nullptr, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    // As the add-in asks: a one-entry list of address type and display name.
    LPADRLIST list = NewList({{{PR_ADDRTYPE_W, L"EX"}, {PR_DISPLAY_NAME_W, c.text}}});
    EXPECT_EQ(book->ResolveName(0, MAPI_UNICODE, nullptr, list), c.result);
    const ADRENTRY& entry = list->aEntries[0];
    if (c.result == S_OK) {
      EXPECT_EQ(TextIn(entry.rgPropVals, entry.cValues, PR_ADDRTYPE_W), c.type);
      EXPECT_EQ(TextIn(entry.rgPropVals, entry.cValues, PR_SMTP_ADDRESS_W), c.smtp);
      EXPECT_EQ(TextIn(entry.rgPropVals, entry.cValues, PR_EMAIL_ADDRESS_W),
                c.type == std::wstring(L"EX") ? kAdaEx : c.smtp);
    } else {
      EXPECT_EQ(TextIn(entry.rgPropVals, entry.cValues, PR_DISPLAY_NAME_W), c.text);
    }
    FreePadrlist(list);  // ASan reports what it leaves behind
  }
}

TEST(SimOutlookRecipients, ObjectModelAndRecipientTableAgree) {
  auto store = Store::Open("", nullptr);
  SeedDirectory(*store);
  Ref<IDispatch> app{NewApplication(store)};
  Ref<IDispatch> item{Object(Call(app.p, L"CreateItem", kMethod, Args(1)))};
  {
    Ref<IDispatch> recipients{Object(Call(item.p, L"Recipients", kGet))};
    const struct {
      const wchar_t* text;
      bool resolves;
      LONG type;
    } adds[] = {
        {L"Ada Lovell", true, 1}, {L"guest@far.nexora.example", true, 2}, {L"Nobody", false, 3}};
    for (const auto& add : adds) {
      Ref<IDispatch> one{Object(Call(recipients.p, L"Add", kMethod, Args(add.text)))};
      EXPECT_EQ(Call(one.p, L"Resolve", kMethod).v.boolVal != 0, add.resolves) << add.text;
      Call(one.p, L"Type", kPut, Args(add.type));
      Call(one.p, L"MeetingResponseStatus", kPut, Args(3));
    }
  }
  ASSERT_EQ(Call(item.p, L"Save", kMethod).v.vt, VT_EMPTY);

  Ref<IMessage> message{MessageOf(item.p)};
  Ref<IMAPITable> table;
  ASSERT_EQ(message->GetRecipientTable(MAPI_UNICODE, &table.p), S_OK);
  ULONG count = 0;
  ASSERT_EQ(table->GetRowCount(0, &count), S_OK);
  ASSERT_EQ(count, 3u);
  LPSRowSet rows = nullptr;
  ASSERT_EQ(table->QueryRows(static_cast<LONG>(count), TBL_NOADVANCE, &rows), S_OK);
  ASSERT_EQ(rows->cRows, 3u);
  const SRow& ada = rows->aRow[0];
  EXPECT_EQ(TextIn(ada.lpProps, ada.cValues, PR_EMAIL_ADDRESS_W), kAdaEx);
  EXPECT_EQ(TextIn(ada.lpProps, ada.cValues, PR_SMTP_ADDRESS_W), L"ada@nexora.example");
  EXPECT_EQ(LongIn(ada.lpProps, ada.cValues, PR_RECIPIENT_FLAGS), 1);
  EXPECT_EQ(LongIn(rows->aRow[1].lpProps, rows->aRow[1].cValues, PR_RECIPIENT_TYPE), 2);
  EXPECT_EQ(LongIn(rows->aRow[1].lpProps, rows->aRow[1].cValues, kPrRecipientTrackStatus), 3);
  EXPECT_EQ(TextIn(rows->aRow[2].lpProps, rows->aRow[2].cValues, PR_ADDRTYPE_W), L"<absent>");

  // The add-in's patch: the rows as read with the organizer flagged and a name changed; a
  // change naming only the row id and the flag leaves the row's other values alone.
  LPADRLIST organizer =
      NewList({{{PR_ROWID, std::to_wstring(LongIn(ada.lpProps, ada.cValues, PR_ROWID))},
                {PR_RECIPIENT_FLAGS, L"3"}}});
  EXPECT_EQ(message->ModifyRecipients(MODRECIP_MODIFY, organizer), S_OK);
  FreePadrlist(organizer);
  static wchar_t kGuestName[] = L"Guest Far";
  for (ULONG v = 0; v < rows->aRow[1].cValues; ++v) {
    if (rows->aRow[1].lpProps[v].ulPropTag == PR_DISPLAY_NAME_W) {
      rows->aRow[1].lpProps[v].Value.lpszW = kGuestName;
    }
  }
  ADRLIST patch{1, {{0, rows->aRow[1].cValues, rows->aRow[1].lpProps}}};
  EXPECT_EQ(message->ModifyRecipients(MODRECIP_MODIFY, &patch), S_OK);
  LPADRLIST removal = NewList(
      {{{PR_ROWID,
         std::to_wstring(LongIn(rows->aRow[2].lpProps, rows->aRow[2].cValues, PR_ROWID))}}});
  EXPECT_EQ(message->ModifyRecipients(MODRECIP_REMOVE, removal), S_OK);
  FreePadrlist(removal);
  FreeProws(rows);
  LPADRLIST unknown = NewList({{{PR_ROWID, L"99"}, {PR_RECIPIENT_FLAGS, L"3"}}});
  EXPECT_EQ(message->ModifyRecipients(MODRECIP_MODIFY, unknown), MAPI_E_NOT_FOUND);
  FreePadrlist(unknown);
  ASSERT_EQ(message->SaveChanges(KEEP_OPEN_READWRITE), S_OK);

  // Read back a row at a time through a new table, and through the object model.
  Ref<IMAPITable> again;
  ASSERT_EQ(message->GetRecipientTable(MAPI_UNICODE, &again.p), S_OK);
  std::vector<LONG> flags;
  std::vector<std::wstring> names;
  for (int i = 0; i < 3; ++i) {
    LPSRowSet one = nullptr;
    ASSERT_EQ(again->QueryRows(1, 0, &one), S_OK);
    for (ULONG r = 0; r < one->cRows; ++r) {
      flags.push_back(LongIn(one->aRow[r].lpProps, one->aRow[r].cValues, PR_RECIPIENT_FLAGS));
      names.push_back(TextIn(one->aRow[r].lpProps, one->aRow[r].cValues, PR_DISPLAY_NAME_W));
    }
    FreeProws(one);
  }
  EXPECT_EQ(flags, (std::vector<LONG>{3, 1}));
  EXPECT_EQ(names, (std::vector<std::wstring>{L"Ada Lovell", L"Guest Far"}));
  Ref<IDispatch> recipients{Object(Call(item.p, L"Recipients", kGet))};
  EXPECT_EQ(Call(recipients.p, L"Count", kGet).v.lVal, 2);
  Ref<IDispatch> first{Object(Call(recipients.p, L"Item", kMethod, Args(1)))};
  Ref<IDispatch> entry{Object(Call(first.p, L"AddressEntry", kGet))};
  EXPECT_EQ(Call(entry.p, L"Type", kGet).text(), L"EX");
  EXPECT_EQ(Call(entry.p, L"Address", kGet).text(), kAdaEx);
}

TEST(SimOutlookRecipients, RecipientsUserPropertiesAndDirectoryPersist) {
  testing::TempDir dir;
  const std::string path = (dir.path() / "store.db").string();
  std::wstring entry_id;
  {
    auto store = Store::Open(path, nullptr);
    ASSERT_NE(store, nullptr);
    SeedDirectory(*store);
    Ref<IDispatch> app{NewApplication(store)};
    Ref<IDispatch> item{Object(Call(app.p, L"CreateItem", kMethod, Args(1)))};
    Ref<IMessage> message{MessageOf(item.p)};
    LPADRLIST add = NewList({{{PR_DISPLAY_NAME_W, L"Ada Lovell"}, {PR_RECIPIENT_TYPE, L"1"}}});
    ASSERT_EQ(message->ModifyRecipients(MODRECIP_ADD, add), S_OK);
    FreePadrlist(add);
    Ref<IDispatch> props{Object(Call(item.p, L"UserProperties", kGet))};
    EXPECT_EQ(Call(props.p, L"Find", kMethod, Args(L"NxCalRecurrenceID")).v.pdispVal, nullptr);
    Ref<IDispatch> prop{Object(Call(props.p, L"Add", kMethod, Args(L"NxCalRecurrenceID", 1, 0)))};
    Call(prop.p, L"Value", kPut, Args(L"FREQ=WEEKLY"));
    Ref<IDispatch> doomed{Object(Call(props.p, L"Add", kMethod, Args(L"RealReminderSet ", 1, 0)))};
    EXPECT_EQ(Call(props.p, L"Count", kGet).v.lVal, 2);
    Call(doomed.p, L"Delete", kMethod);
    ASSERT_EQ(Call(item.p, L"Save", kMethod).v.vt, VT_EMPTY);
    entry_id = Call(item.p, L"EntryID", kGet).text();
  }
  auto store = Store::Open(path, nullptr);
  ASSERT_NE(store, nullptr);
  EXPECT_EQ(store->directory().size(), 3u);
  Ref<IDispatch> app{NewApplication(store)};
  Ref<IDispatch> ns{Object(Call(app.p, L"GetNamespace", kMethod, Args(L"MAPI")))};
  Ref<IDispatch> item{Object(Call(ns.p, L"GetItemFromID", kMethod, Args(entry_id.c_str())))};
  Ref<IDispatch> recipients{Object(Call(item.p, L"Recipients", kGet))};
  ASSERT_EQ(Call(recipients.p, L"Count", kGet).v.lVal, 1);
  Ref<IDispatch> ada{Object(Call(recipients.p, L"Item", kMethod, Args(1)))};
  EXPECT_EQ(Call(ada.p, L"Name", kGet).text(), L"Ada Lovell");
  EXPECT_EQ(Call(ada.p, L"Resolved", kGet).v.boolVal, VARIANT_FALSE);

  // The user property is a public-strings named property: MAPI reads and writes it by name.
  Ref<IDispatch> props{Object(Call(item.p, L"UserProperties", kGet))};
  EXPECT_EQ(Call(props.p, L"Count", kGet).v.lVal, 1);
  EXPECT_EQ(Call(props.p, L"Find", kMethod, Args(L"RealReminderSet ")).v.pdispVal, nullptr);
  Ref<IMessage> message{MessageOf(item.p)};
  GUID set = kPsPublicStrings;
  wchar_t name[] = L"NxCalRecurrenceID";
  MAPINAMEID id{&set, MNID_STRING, {}};
  id.Kind.lpwstrName = name;
  LPMAPINAMEID names[] = {&id};
  LPSPropTagArray tags = nullptr;
  ASSERT_EQ(message->GetIDsFromNames(1, names, 0, &tags), S_OK);
  tags->aulPropTag[0] = CHANGE_PROP_TYPE(tags->aulPropTag[0], PT_UNICODE);
  ULONG count = 0;
  LPSPropValue values = nullptr;
  ASSERT_EQ(message->GetProps(tags, MAPI_UNICODE, &count, &values), S_OK);
  EXPECT_EQ(std::wstring(values[0].Value.lpszW), L"FREQ=WEEKLY");
  static wchar_t kDaily[] = L"FREQ=DAILY";
  values[0].Value.lpszW = kDaily;
  ASSERT_EQ(message->SetProps(1, values, nullptr), S_OK);
  MAPIFreeBuffer(values);
  MAPIFreeBuffer(tags);
  Ref<IDispatch> prop{Object(Call(props.p, L"Item", kMethod, Args(L"NxCalRecurrenceID")))};
  EXPECT_EQ(Call(prop.p, L"Value", kGet).text(), L"FREQ=DAILY");
}

// The names in an item's recipient table, read through its MAPIOBJECT.
std::vector<std::wstring> TableNames(IDispatch* item) {
  Ref<IMessage> message{MessageOf(item)};
  Ref<IMAPITable> table;
  std::vector<std::wstring> names;
  if (message->GetRecipientTable(MAPI_UNICODE, &table.p) != S_OK) return {L"<no table>"};
  LPSRowSet rows = nullptr;
  EXPECT_EQ(table->QueryRows(100, 0, &rows), S_OK);
  for (ULONG r = 0; rows != nullptr && r < rows->cRows; ++r) {
    names.push_back(TextIn(rows->aRow[r].lpProps, rows->aRow[r].cValues, PR_DISPLAY_NAME_W));
  }
  FreeProws(rows);
  return names;
}

// The names of an item's recipients through the object model.
std::vector<std::wstring> RecipientNames(IDispatch* item) {
  Ref<IDispatch> recipients{Object(Call(item, L"Recipients", kGet))};
  std::vector<std::wstring> names;
  for (LONG i = 1; i <= Call(recipients.p, L"Count", kGet).v.lVal; ++i) {
    Ref<IDispatch> one{Object(Call(recipients.p, L"Item", kMethod, Args(i)))};
    names.push_back(Call(one.p, L"Name", kGet).text());
  }
  return names;
}

Var DateVar(DATE date) {
  Var out;
  out.v.vt = VT_DATE;
  out.v.date = date;
  return out;
}

TEST(SimOutlookRecipients, ChangedOccurrenceKeepsItsOwnRecipientsAndProperties) {
  testing::TempDir dir;
  const std::string path = (dir.path() / "store.db").string();
  constexpr FileTime kNow = 133'219'296'000'000'000ULL;  // 2023-02-27T00:00:00Z
  const std::vector<std::wstring> series_names = {L"Ada Lovell"};
  const std::vector<std::wstring> own_names = {L"Bo Smith", L"Cy Guest"};
  std::wstring entry_id;
  DATE first = 0;
  {
    auto store = Store::Open(path, nullptr);
    ASSERT_NE(store, nullptr);
    store->SetClock([] { return kNow; });
    SeedDirectory(*store);
    Ref<IDispatch> app{NewApplication(store)};
    Ref<IDispatch> series{Object(Call(app.p, L"CreateItem", kMethod, Args(1)))};
    Call(series.p, L"Subject", kPut, Args(L"Weekly"));
    {
      Ref<IDispatch> recipients{Object(Call(series.p, L"Recipients", kGet))};
      Ref<IDispatch> ada{Object(Call(recipients.p, L"Add", kMethod, Args(L"Ada Lovell")))};
    }
    Ref<IDispatch> pattern{Object(Call(series.p, L"GetRecurrencePattern", kMethod))};
    ASSERT_EQ(Call(series.p, L"Save", kMethod).v.vt, VT_EMPTY);
    entry_id = Call(series.p, L"EntryID", kGet).text();
    first = Call(series.p, L"Start", kGet).v.date;

    // Not yet changed, an occurrence shows the series' recipients in both views.
    Ref<IDispatch> second{
        Object(Call(pattern.p, L"GetOccurrence", kMethod, Args(DateVar(first + 7))))};
    EXPECT_EQ(RecipientNames(second.p), series_names);
    EXPECT_EQ(TableNames(second.p), series_names);

    // Changed through the object model, then through MAPI, as the add-in does.
    {
      Ref<IDispatch> recipients{Object(Call(second.p, L"Recipients", kGet))};
      ASSERT_EQ(Call(recipients.p, L"Remove", kMethod, Args(1)).v.vt, VT_EMPTY);
      Ref<IDispatch> bo{Object(Call(recipients.p, L"Add", kMethod, Args(L"Bo Smith")))};
      Ref<IDispatch> props{Object(Call(second.p, L"UserProperties", kGet))};
      Ref<IDispatch> rate{Object(Call(props.p, L"Add", kMethod, Args(L"Rate", 3, 0)))};
      Var value;
      value.v.vt = VT_R8;
      value.v.dblVal = 2.5;
      ASSERT_EQ(Call(rate.p, L"Value", kPut, Args(std::move(value))).v.vt, VT_EMPTY);
    }
    ASSERT_EQ(Call(second.p, L"Save", kMethod).v.vt, VT_EMPTY);
    Ref<IMessage> message{MessageOf(second.p)};
    LPADRLIST add = NewList({{{PR_DISPLAY_NAME_W, L"Cy Guest"}, {PR_RECIPIENT_TYPE, L"1"}}});
    ASSERT_EQ(message->ModifyRecipients(MODRECIP_ADD, add), S_OK);
    FreePadrlist(add);
    static wchar_t organiser[] = L"Organiser";
    SPropValue sender{PR_SENDER_NAME_W, 0, {}};
    sender.Value.lpszW = organiser;
    ASSERT_EQ(message->SetProps(1, &sender, nullptr), S_OK);
    ASSERT_EQ(message->SaveChanges(KEEP_OPEN_READWRITE), S_OK);

    // The series is one item still, with its own recipients.
    EXPECT_EQ(store->items().size(), 1u);
    EXPECT_EQ(RecipientNames(series.p), series_names);
    EXPECT_EQ(Call(second.p, L"RecurrenceState", kGet).v.lVal, 3);
  }

  // The exception, read back through Exceptions in a new session on the file.
  auto store = Store::Open(path, nullptr);
  ASSERT_NE(store, nullptr);
  Ref<IDispatch> app{NewApplication(store)};
  Ref<IDispatch> ns{Object(Call(app.p, L"GetNamespace", kMethod, Args(L"MAPI")))};
  Ref<IDispatch> series{Object(Call(ns.p, L"GetItemFromID", kMethod, Args(entry_id.c_str())))};
  EXPECT_EQ(RecipientNames(series.p), series_names);
  EXPECT_EQ(TableNames(series.p), series_names);
  Ref<IDispatch> pattern{Object(Call(series.p, L"GetRecurrencePattern", kMethod))};
  Ref<IDispatch> exceptions{Object(Call(pattern.p, L"Exceptions", kGet))};
  ASSERT_EQ(Call(exceptions.p, L"Count", kGet).v.lVal, 1);
  Ref<IDispatch> exception{Object(Call(exceptions.p, L"Item", kMethod, Args(1)))};
  Ref<IDispatch> changed{Object(Call(exception.p, L"AppointmentItem", kGet))};
  EXPECT_EQ(RecipientNames(changed.p), own_names);
  EXPECT_EQ(TableNames(changed.p), own_names);
  {
    Ref<IMessage> message{MessageOf(changed.p)};
    SizedSPropTagArray(1, tags) = {1, {PR_SENDER_NAME_W}};
    ULONG count = 0;
    LPSPropValue values = nullptr;
    ASSERT_EQ(message->GetProps(reinterpret_cast<LPSPropTagArray>(&tags), 0, &count, &values),
              S_OK);
    EXPECT_EQ(TextIn(values, count, PR_SENDER_NAME_W), L"Organiser");
    MAPIFreeBuffer(values);
    Ref<IDispatch> props{Object(Call(changed.p, L"UserProperties", kGet))};
    Ref<IDispatch> rate{Object(Call(props.p, L"Item", kMethod, Args(L"Rate")))};
    EXPECT_EQ(Call(rate.p, L"Value", kGet).v.dblVal, 2.5);
  }
  Ref<IDispatch> third{
      Object(Call(pattern.p, L"GetOccurrence", kMethod, Args(DateVar(first + 14))))};
  EXPECT_EQ(RecipientNames(third.p), series_names);

  // Deleted, the occurrence has no recipients left anywhere.
  Ref<IMessage> gone{MessageOf(changed.p)};
  ASSERT_EQ(Call(changed.p, L"Delete", kMethod).v.vt, VT_EMPTY);
  Ref<IMAPITable> table;
  EXPECT_EQ(gone->GetRecipientTable(0, &table.p), MAPI_E_OBJECT_DELETED);
  const StoredItem& stored = store->items().begin()->second;
  EXPECT_FALSE(NamedValue(*store, stored, kExceptionRecipients).has_value());
  EXPECT_FALSE(NamedValue(*store, stored, kExceptionFields).has_value());
}

TEST(SimOutlookRecipients, SendingIsRefusedAndCounted) {
  auto store = Store::Open("", nullptr);
  Ref<IDispatch> app{NewApplication(store)};
  Ref<IDispatch> item{Object(Call(app.p, L"CreateItem", kMethod, Args(1)))};
  EXPECT_EQ(store->refused_sends(), 0);
  EXPECT_EQ(Call(item.p, L"Send", kMethod).v.vt, VT_ERROR);
  EXPECT_EQ(Call(item.p, L"ForwardAsVcal", kMethod).v.vt, VT_ERROR);
  EXPECT_EQ(Call(item.p, L"Respond", kMethod, Args(3)).v.vt, VT_ERROR);
  Ref<IMessage> message{MessageOf(item.p)};
  EXPECT_NE(message->SubmitMessage(0), S_OK);
  EXPECT_EQ(store->refused_sends(), 4);
}

}  // namespace
}  // namespace calendar_mirrow_addin::sim
