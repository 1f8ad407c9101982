// Recipients, the address book and user properties of the simulated Outlook, through the
// object model and MAPI as the add-in reaches them.

#include <gtest/gtest.h>

#include <tuple>
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
std::wstring TextIn(const SRow& row, ULONG tag) { return TextIn(row.lpProps, row.cValues, tag); }
LONG LongIn(const SRow& row, ULONG tag) {
  for (ULONG i = 0; i < row.cValues; ++i) {
    if (row.lpProps[i].ulPropTag == tag) return row.lpProps[i].Value.l;
  }
  return -1;
}

void SeedDirectory(Store& store) {
  for (const auto& [name, smtp, ex] : {std::tuple{L"Ada Lovell", L"ada@nexora.example", kAdaEx},
                                       {L"Bo Smith", L"bo1@nexora.example", L"/o=Nexora/cn=bo1"},
                                       {L"Bo Smith", L"bo2@nexora.example", L"/o=Nexora/cn=bo2"}}) {
    ASSERT_EQ(store.AddDirectoryUser({name, smtp, ex}), S_OK);
  }
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
  Ref<IDispatch> item = GetObj(app.p, L"CreateItem", {1});
  {
    Ref<IDispatch> recipients = GetObj(item.p, L"Recipients");
    const struct {
      const wchar_t* text;
      bool resolves;
      LONG type;
    } adds[] = {
        {L"Ada Lovell", true, 1}, {L"guest@far.nexora.example", true, 2}, {L"Nobody", false, 3}};
    for (const auto& add : adds) {
      Ref<IDispatch> one = GetObj(recipients.p, L"Add", {add.text});
      EXPECT_EQ(Get(one.p, L"Resolve").v.boolVal != 0, add.resolves) << add.text;
      EXPECT_EQ(Put(one.p, L"Type", add.type), S_OK);
      EXPECT_EQ(Put(one.p, L"MeetingResponseStatus", 3), S_OK);
    }
  }
  ASSERT_EQ(Call(item.p, L"Save", kMethod).hr, S_OK);

  Ref<IMessage> message = MessageOf(item.p);
  Ref<IMAPITable> table;
  ASSERT_EQ(message->GetRecipientTable(MAPI_UNICODE, &table.p), S_OK);
  ULONG count = 0;
  ASSERT_EQ(table->GetRowCount(0, &count), S_OK);
  ASSERT_EQ(count, 3u);
  LPSRowSet rows = nullptr;
  ASSERT_EQ(table->QueryRows(static_cast<LONG>(count), TBL_NOADVANCE, &rows), S_OK);
  ASSERT_EQ(rows->cRows, 3u);
  const SRow& ada = rows->aRow[0];
  EXPECT_EQ(TextIn(ada, PR_EMAIL_ADDRESS_W), kAdaEx);
  EXPECT_EQ(TextIn(ada, PR_SMTP_ADDRESS_W), L"ada@nexora.example");
  EXPECT_EQ(LongIn(ada, PR_RECIPIENT_FLAGS), 1);
  EXPECT_EQ(LongIn(rows->aRow[1], PR_RECIPIENT_TYPE), 2);
  EXPECT_EQ(LongIn(rows->aRow[1], kPrRecipientTrackStatus), 3);
  EXPECT_EQ(TextIn(rows->aRow[2], PR_ADDRTYPE_W), L"<absent>");

  // The add-in's patch: the rows as read with the organizer flagged and a name changed; a
  // change naming only the row id and the flag leaves the row's other values alone.
  LPADRLIST organizer =
      NewList({{{PR_ROWID, std::to_wstring(LongIn(ada, PR_ROWID))}, {PR_RECIPIENT_FLAGS, L"3"}}});
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
  LPADRLIST removal = NewList({{{PR_ROWID, std::to_wstring(LongIn(rows->aRow[2], PR_ROWID))}}});
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
      flags.push_back(LongIn(one->aRow[r], PR_RECIPIENT_FLAGS));
      names.push_back(TextIn(one->aRow[r], PR_DISPLAY_NAME_W));
    }
    FreeProws(one);
  }
  EXPECT_EQ(flags, (std::vector<LONG>{3, 1}));
  EXPECT_EQ(names, (std::vector<std::wstring>{L"Ada Lovell", L"Guest Far"}));
  Ref<IDispatch> recipients = GetObj(item.p, L"Recipients");
  EXPECT_EQ(Get(recipients.p, L"Count").v.lVal, 2);
  Ref<IDispatch> first = GetObj(recipients.p, L"Item", {1});
  Ref<IDispatch> entry = GetObj(first.p, L"AddressEntry");
  EXPECT_EQ(Get(entry.p, L"Type").text(), L"EX");
  EXPECT_EQ(Get(entry.p, L"Address").text(), kAdaEx);
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
    Ref<IDispatch> item = GetObj(app.p, L"CreateItem", {1});
    Ref<IMessage> message = MessageOf(item.p);
    LPADRLIST add = NewList({{{PR_DISPLAY_NAME_W, L"Ada Lovell"}, {PR_RECIPIENT_TYPE, L"1"}}});
    ASSERT_EQ(message->ModifyRecipients(MODRECIP_ADD, add), S_OK);
    FreePadrlist(add);
    Ref<IDispatch> props = GetObj(item.p, L"UserProperties");
    EXPECT_EQ(Get(props.p, L"Find", {L"NxCalRecurrenceID"}).v.pdispVal, nullptr);
    Ref<IDispatch> prop = GetObj(props.p, L"Add", {L"NxCalRecurrenceID", 1, 0});
    EXPECT_EQ(Put(prop.p, L"Value", L"FREQ=WEEKLY"), S_OK);
    Ref<IDispatch> doomed = GetObj(props.p, L"Add", {L"RealReminderSet ", 1, 0});
    EXPECT_EQ(Get(props.p, L"Count").v.lVal, 2);
    EXPECT_EQ(Call(doomed.p, L"Delete", kMethod).hr, S_OK);
    ASSERT_EQ(Call(item.p, L"Save", kMethod).hr, S_OK);
    entry_id = Get(item.p, L"EntryID").text();
  }
  auto store = Store::Open(path, nullptr);
  ASSERT_NE(store, nullptr);
  EXPECT_EQ(store->directory().size(), 3u);
  Ref<IDispatch> app{NewApplication(store)};
  Ref<IDispatch> ns = GetObj(app.p, L"GetNamespace", {L"MAPI"});
  Ref<IDispatch> item = GetObj(ns.p, L"GetItemFromID", {entry_id.c_str()});
  Ref<IDispatch> recipients = GetObj(item.p, L"Recipients");
  ASSERT_EQ(Get(recipients.p, L"Count").v.lVal, 1);
  Ref<IDispatch> ada = GetObj(recipients.p, L"Item", {1});
  EXPECT_EQ(Get(ada.p, L"Name").text(), L"Ada Lovell");
  EXPECT_EQ(Get(ada.p, L"Resolved").v.boolVal, VARIANT_FALSE);

  // The user property is a public-strings named property: MAPI reads and writes it by name.
  Ref<IDispatch> props = GetObj(item.p, L"UserProperties");
  EXPECT_EQ(Get(props.p, L"Count").v.lVal, 1);
  EXPECT_EQ(Get(props.p, L"Find", {L"RealReminderSet "}).v.pdispVal, nullptr);
  Ref<IMessage> message = MessageOf(item.p);
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
  Ref<IDispatch> prop = GetObj(props.p, L"Item", {L"NxCalRecurrenceID"});
  EXPECT_EQ(Get(prop.p, L"Value").text(), L"FREQ=DAILY");
}

// The names in an item's recipient table, read through its MAPIOBJECT.
std::vector<std::wstring> TableNames(IDispatch* item) {
  Ref<IMessage> message = MessageOf(item);
  Ref<IMAPITable> table;
  std::vector<std::wstring> names;
  if (message->GetRecipientTable(MAPI_UNICODE, &table.p) != S_OK) return {L"<no table>"};
  LPSRowSet rows = nullptr;
  EXPECT_EQ(table->QueryRows(100, 0, &rows), S_OK);
  for (ULONG r = 0; rows != nullptr && r < rows->cRows; ++r) {
    names.push_back(TextIn(rows->aRow[r], PR_DISPLAY_NAME_W));
  }
  FreeProws(rows);
  return names;
}

// The names of an item's recipients through the object model.
std::vector<std::wstring> RecipientNames(IDispatch* item) {
  Ref<IDispatch> recipients = GetObj(item, L"Recipients");
  std::vector<std::wstring> names;
  for (LONG i = 1; i <= Get(recipients.p, L"Count").v.lVal; ++i) {
    Ref<IDispatch> one = GetObj(recipients.p, L"Item", {i});
    names.push_back(Get(one.p, L"Name").text());
  }
  return names;
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
    Ref<IDispatch> series = GetObj(app.p, L"CreateItem", {1});
    EXPECT_EQ(Put(series.p, L"Subject", L"Weekly"), S_OK);
    {
      Ref<IDispatch> recipients = GetObj(series.p, L"Recipients");
      Ref<IDispatch> ada = GetObj(recipients.p, L"Add", {L"Ada Lovell"});
    }
    Ref<IDispatch> pattern = GetObj(series.p, L"GetRecurrencePattern");
    ASSERT_EQ(Call(series.p, L"Save", kMethod).hr, S_OK);
    entry_id = Get(series.p, L"EntryID").text();
    first = Get(series.p, L"Start").v.date;

    // Not yet changed, an occurrence shows the series' recipients in both views.
    Ref<IDispatch> second = GetObj(pattern.p, L"GetOccurrence", {Var::Date(first + 7)});
    EXPECT_EQ(RecipientNames(second.p), series_names);
    EXPECT_EQ(TableNames(second.p), series_names);

    // Changed through the object model, then through MAPI, as the add-in does.
    {
      Ref<IDispatch> recipients = GetObj(second.p, L"Recipients");
      ASSERT_EQ(Call(recipients.p, L"Remove", kMethod, {1}).hr, S_OK);
      Ref<IDispatch> bo = GetObj(recipients.p, L"Add", {L"Bo Smith"});
      Ref<IDispatch> props = GetObj(second.p, L"UserProperties");
      Ref<IDispatch> rate = GetObj(props.p, L"Add", {L"Rate", 3, 0});
      Var value;
      value.v.vt = VT_R8;
      value.v.dblVal = 2.5;
      ASSERT_EQ(Put(rate.p, L"Value", std::move(value)), S_OK);
    }
    ASSERT_EQ(Call(second.p, L"Save", kMethod).hr, S_OK);
    Ref<IMessage> message = MessageOf(second.p);
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
    EXPECT_EQ(Get(second.p, L"RecurrenceState").v.lVal, 3);
  }

  // The exception, read back through Exceptions in a new session on the file.
  auto store = Store::Open(path, nullptr);
  ASSERT_NE(store, nullptr);
  Ref<IDispatch> app{NewApplication(store)};
  Ref<IDispatch> ns = GetObj(app.p, L"GetNamespace", {L"MAPI"});
  Ref<IDispatch> series = GetObj(ns.p, L"GetItemFromID", {entry_id.c_str()});
  EXPECT_EQ(RecipientNames(series.p), series_names);
  EXPECT_EQ(TableNames(series.p), series_names);
  Ref<IDispatch> pattern = GetObj(series.p, L"GetRecurrencePattern");
  Ref<IDispatch> exceptions = GetObj(pattern.p, L"Exceptions");
  ASSERT_EQ(Get(exceptions.p, L"Count").v.lVal, 1);
  Ref<IDispatch> exception = GetObj(exceptions.p, L"Item", {1});
  Ref<IDispatch> changed = GetObj(exception.p, L"AppointmentItem");
  EXPECT_EQ(RecipientNames(changed.p), own_names);
  EXPECT_EQ(TableNames(changed.p), own_names);
  {
    Ref<IMessage> message = MessageOf(changed.p);
    SizedSPropTagArray(1, tags) = {1, {PR_SENDER_NAME_W}};
    ULONG count = 0;
    LPSPropValue values = nullptr;
    ASSERT_EQ(message->GetProps(reinterpret_cast<LPSPropTagArray>(&tags), 0, &count, &values),
              S_OK);
    EXPECT_EQ(TextIn(values, count, PR_SENDER_NAME_W), L"Organiser");
    MAPIFreeBuffer(values);
    Ref<IDispatch> props = GetObj(changed.p, L"UserProperties");
    Ref<IDispatch> rate = GetObj(props.p, L"Item", {L"Rate"});
    EXPECT_EQ(Get(rate.p, L"Value").v.dblVal, 2.5);
  }
  Ref<IDispatch> third = GetObj(pattern.p, L"GetOccurrence", {Var::Date(first + 14)});
  EXPECT_EQ(RecipientNames(third.p), series_names);

  // Deleted, the occurrence has no recipients left anywhere.
  Ref<IMessage> gone = MessageOf(changed.p);
  ASSERT_EQ(Call(changed.p, L"Delete", kMethod).hr, S_OK);
  Ref<IMAPITable> table;
  EXPECT_EQ(gone->GetRecipientTable(0, &table.p), MAPI_E_OBJECT_DELETED);
  const StoredItem& stored = store->items().begin()->second;
  EXPECT_FALSE(NamedValue(*store, stored, kExceptionRecipients).has_value());
  EXPECT_FALSE(NamedValue(*store, stored, kExceptionFields).has_value());
}

TEST(SimOutlookRecipients, SendingIsRefusedAndCounted) {
  auto store = Store::Open("", nullptr);
  Ref<IDispatch> app{NewApplication(store)};
  Ref<IDispatch> item = GetObj(app.p, L"CreateItem", {1});
  EXPECT_EQ(store->refused_sends(), 0);
  EXPECT_TRUE(FAILED(Call(item.p, L"Send", kMethod).hr));
  EXPECT_TRUE(FAILED(Call(item.p, L"ForwardAsVcal", kMethod).hr));
  EXPECT_TRUE(FAILED(Call(item.p, L"Respond", kMethod, {3}).hr));
  Ref<IMessage> message = MessageOf(item.p);
  EXPECT_NE(message->SubmitMessage(0), S_OK);
  EXPECT_EQ(store->refused_sends(), 4);
}

}  // namespace
}  // namespace calendar_mirrow_addin::sim
