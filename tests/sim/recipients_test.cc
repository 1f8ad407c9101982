// Recipients and user properties of a changed occurrence in the simulated Outlook, and sending
// refused, where the add-in's own tests do not reach.

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

// An ADRLIST of one entry of text values, allocated as MAPI callers do.
LPADRLIST NewList(const std::vector<std::pair<ULONG, std::wstring>>& values) {
  LPVOID buffer = nullptr;
  EXPECT_EQ(MAPIAllocateBuffer(static_cast<ULONG>(CbNewADRLIST(1)), &buffer), S_OK);
  auto* list = static_cast<LPADRLIST>(buffer);
  LPVOID props = nullptr;
  MAPIAllocateBuffer(static_cast<ULONG>(values.size() * sizeof(SPropValue)), &props);
  list->cEntries = 1;
  list->aEntries[0] = {0, static_cast<ULONG>(values.size()), static_cast<LPSPropValue>(props)};
  for (size_t v = 0; v < values.size(); ++v) {
    const auto& [tag, text] = values[v];
    const PropData data = PROP_TYPE(tag) == PT_LONG ? PropData{std::stoll(text)} : PropData{text};
    ToSPropValue(tag, data, props, &list->aEntries[0].rgPropVals[v]);
  }
  return list;
}

std::wstring TextIn(const SPropValue* values, ULONG count, ULONG tag) {
  for (ULONG i = 0; i < count; ++i) {
    if (values[i].ulPropTag == tag) return values[i].Value.lpszW;
  }
  return L"<absent>";
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
    names.push_back(TextIn(rows->aRow[r].lpProps, rows->aRow[r].cValues, PR_DISPLAY_NAME_W));
  }
  FreeProws(rows);
  return names;
}

// The names of an item's recipients through the object model.
std::vector<std::wstring> RecipientNames(IDispatch* item) {
  Ref<IDispatch> recipients = GetObj(item, L"Recipients");
  std::vector<std::wstring> names;
  for (LONG i = 1; i <= Get(recipients.p, L"Count").v.lVal; ++i) {
    names.push_back(Get(GetObj(recipients.p, L"Item", {i}).p, L"Name").text());
  }
  return names;
}

// Changed through the object model, then through MAPI, as the add-in changes it; read back
// from the file through Exceptions.
TEST(SimOutlookRecipients, ChangedOccurrenceKeepsItsOwnRecipientsAndProperties) {
  testing::TempDir dir;
  const std::string path = (dir.path() / "store.db").string();
  const std::vector<std::wstring> series_names = {L"Ada Lovell"};
  const std::vector<std::wstring> own_names = {L"Bo Smith", L"Cy Guest"};
  std::wstring entry_id;
  DATE first = 0;
  {
    auto store = Store::Open(path, nullptr);
    ASSERT_NE(store, nullptr);
    store->SetClock([] { return kMonday; });
    Ref<IDispatch> app{NewApplication(store)};
    Ref<IDispatch> series = GetObj(app.p, L"CreateItem", {1});
    GetObj(GetObj(series.p, L"Recipients").p, L"Add", {L"Ada Lovell"});
    Ref<IDispatch> pattern = GetObj(series.p, L"GetRecurrencePattern");
    ASSERT_EQ(Call(series.p, L"Save", kMethod).hr, S_OK);
    entry_id = Get(series.p, L"EntryID").text();
    first = Get(series.p, L"Start").v.date;

    Ref<IDispatch> second = GetObj(pattern.p, L"GetOccurrence", {Var::Date(first + 7)});
    EXPECT_EQ(TableNames(second.p), series_names);  // not yet changed
    {
      Ref<IDispatch> recipients = GetObj(second.p, L"Recipients");
      ASSERT_EQ(Call(recipients.p, L"Remove", kMethod, {1}).hr, S_OK);
      GetObj(recipients.p, L"Add", {L"Bo Smith"});
      Ref<IDispatch> rate = GetObj(GetObj(second.p, L"UserProperties").p, L"Add", {L"Rate", 3, 0});
      Var value;
      value.v.vt = VT_R8;
      value.v.dblVal = 2.5;
      ASSERT_EQ(Put(rate.p, L"Value", std::move(value)), S_OK);
    }
    ASSERT_EQ(Call(second.p, L"Save", kMethod).hr, S_OK);
    Ref<IMessage> message = MessageOf(second.p);
    LPADRLIST add = NewList({{PR_DISPLAY_NAME_W, L"Cy Guest"}, {PR_RECIPIENT_TYPE, L"1"}});
    ASSERT_EQ(message->ModifyRecipients(MODRECIP_ADD, add), S_OK);
    FreePadrlist(add);
    static wchar_t organiser[] = L"Organiser";
    SPropValue sender{PR_SENDER_NAME_W, 0, {}};
    sender.Value.lpszW = organiser;
    ASSERT_EQ(message->SetProps(1, &sender, nullptr), S_OK);
    ASSERT_EQ(message->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
    EXPECT_EQ(store->items().size(), 1u);  // the series is one item still
    EXPECT_EQ(Get(second.p, L"RecurrenceState").v.lVal, 3);
  }

  auto store = Store::Open(path, nullptr);
  ASSERT_NE(store, nullptr);
  Ref<IDispatch> app{NewApplication(store)};
  Ref<IDispatch> series = ItemOf(app.p, ParseHex(entry_id).value_or(Bytes()));
  EXPECT_EQ(RecipientNames(series.p), series_names);
  EXPECT_EQ(TableNames(series.p), series_names);
  Ref<IDispatch> pattern = GetObj(series.p, L"GetRecurrencePattern");
  Ref<IDispatch> exceptions = GetObj(pattern.p, L"Exceptions");
  ASSERT_EQ(Get(exceptions.p, L"Count").v.lVal, 1);
  Ref<IDispatch> changed = GetObj(GetObj(exceptions.p, L"Item", {1}).p, L"AppointmentItem");
  EXPECT_EQ(RecipientNames(changed.p), own_names);
  EXPECT_EQ(TableNames(changed.p), own_names);
  Ref<IMessage> message = MessageOf(changed.p);
  SizedSPropTagArray(1, tags) = {1, {PR_SENDER_NAME_W}};
  ULONG count = 0;
  LPSPropValue values = nullptr;
  ASSERT_EQ(message->GetProps(reinterpret_cast<LPSPropTagArray>(&tags), 0, &count, &values), S_OK);
  EXPECT_EQ(TextIn(values, count, PR_SENDER_NAME_W), L"Organiser");
  MAPIFreeBuffer(values);
  Ref<IDispatch> rate = GetObj(GetObj(changed.p, L"UserProperties").p, L"Item", {L"Rate"});
  EXPECT_EQ(Get(rate.p, L"Value").v.dblVal, 2.5);
  Ref<IDispatch> third = GetObj(pattern.p, L"GetOccurrence", {Var::Date(first + 14)});
  EXPECT_EQ(RecipientNames(third.p), series_names);

  // Deleted, the occurrence has no recipients left anywhere.
  ASSERT_EQ(Call(changed.p, L"Delete", kMethod).hr, S_OK);
  Ref<IMAPITable> table;
  EXPECT_EQ(message->GetRecipientTable(0, &table.p), MAPI_E_OBJECT_DELETED);
  const StoredItem& stored = store->items().begin()->second;
  EXPECT_FALSE(NamedValue(*store, stored, kExceptionRecipients).has_value());
  EXPECT_FALSE(NamedValue(*store, stored, kExceptionFields).has_value());
}

TEST(SimOutlookRecipients, SendingIsRefusedAndCounted) {
  auto store = MemoryStore();
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
