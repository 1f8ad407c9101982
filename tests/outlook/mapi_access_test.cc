#include "outlook/mapi_access.h"

#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <map>

#include "outlook/global_object_id.h"
#include "tests/outlook/test_dispatch.h"
#include "tests/support/temp_dir.h"

namespace calendar_mirrow_addin {
namespace {

#define NOT_CALLED \
  override { return E_NOTIMPL; }

// A message holding binary, long and wide-text properties; named properties get ids from
// 0x8000 on. Records each call with its flags or tag; lookups and writes fail to order.
class TestMessage : public IMessage {
 public:
  std::map<ULONG, SPropValue> properties;  // by id; binary and text point into `data_`
  HRESULT ids_result = S_OK, set_result = S_OK;
  std::vector<std::pair<std::string, ULONG>> calls;
  ULONG references = 1;

  void Store(ULONG tag, const std::wstring& text) {
    data_.emplace_back(reinterpret_cast<const char*>(text.c_str()),
                       (text.size() + 1) * sizeof(wchar_t));
    properties[PROP_ID(tag)] = SPropValue{tag, 0, {}};
    properties[PROP_ID(tag)].Value.lpszW = reinterpret_cast<LPWSTR>(data_.back().data());
  }
  HRESULT QueryInterface(REFIID iid, void** object) override {
    const bool known = IsEqualIID(iid, IID_IMessage) || IsEqualIID(iid, IID_IMAPIProp);
    *object = known ? this : nullptr;
    if (known) AddRef();
    return known ? S_OK : E_NOINTERFACE;
  }
  ULONG AddRef() override { return ++references; }
  ULONG Release() override { return --references; }
  HRESULT SaveChanges(ULONG flags) override { return Record("SaveChanges", flags, S_OK); }
  HRESULT GetIDsFromNames(ULONG, LPMAPINAMEID* names, ULONG flags, LPSPropTagArray* tags) override {
    if (FAILED(ids_result)) return Record("GetIDsFromNames", flags, ids_result);
    const auto key = std::make_pair(std::memcmp(names[0]->lpguid, &PSETID_Meeting, sizeof(GUID)),
                                    names[0]->Kind.lID);
    const auto entry = named_.try_emplace(key, 0x8000 + named_.size()).first;
    MAPIAllocateBuffer(CbNewSPropTagArray(1), reinterpret_cast<void**>(tags));
    **tags = {1, {ids_result == S_OK ? PROP_TAG(PT_UNSPECIFIED, entry->second) : PT_ERROR}};
    return Record("GetIDsFromNames", flags, ids_result);
  }
  // Copies the values into one MAPI buffer; a missing one comes back as an error value.
  HRESULT GetProps(LPSPropTagArray tags, ULONG flags, ULONG* count, LPSPropValue* values) override {
    HRESULT hr = S_OK;
    MAPIAllocateBuffer(sizeof(SPropValue) * tags->cValues, reinterpret_cast<void**>(values));
    for (ULONG i = 0; i < tags->cValues; ++i) {
      const auto found = properties.find(PROP_ID(tags->aulPropTag[i]));
      SPropValue& value = (*values)[i] = found != properties.end() ? found->second : SPropValue{};
      if (found == properties.end()) {
        value.ulPropTag = CHANGE_PROP_TYPE(tags->aulPropTag[i], PT_ERROR);
        value.Value.err = MAPI_E_NOT_FOUND;
        hr = MAPI_W_ERRORS_RETURNED;
      } else if (PROP_TYPE(value.ulPropTag) == PT_BINARY) {
        MAPIAllocateMore(value.Value.bin.cb, *values,
                         reinterpret_cast<void**>(&value.Value.bin.lpb));
        std::memcpy(value.Value.bin.lpb, found->second.Value.bin.lpb, value.Value.bin.cb);
      }
    }
    *count = tags->cValues;
    return Record("GetProps", flags, hr);
  }
  HRESULT SetProps(ULONG count, LPSPropValue values, LPSPropProblemArray* problems) override {
    if (count != 1 || problems || FAILED(set_result)) return Record("SetProps", 0, set_result);
    SPropValue& stored = properties[PROP_ID(values->ulPropTag)] = *values;
    if (PROP_TYPE(values->ulPropTag) == PT_BINARY) {
      data_.emplace_back(reinterpret_cast<const char*>(values->Value.bin.lpb),
                         values->Value.bin.cb);
      stored.Value.bin.lpb = reinterpret_cast<LPBYTE>(data_.back().data());
    }
    return Record("SetProps", values->ulPropTag, set_result);
  }
  HRESULT GetLastError(HRESULT, ULONG, LPMAPIERROR*) NOT_CALLED;
  HRESULT GetPropList(ULONG, LPSPropTagArray*) NOT_CALLED;
  HRESULT OpenProperty(ULONG, LPCIID, ULONG, ULONG, LPUNKNOWN*) NOT_CALLED;
  HRESULT DeleteProps(LPSPropTagArray, LPSPropProblemArray*) NOT_CALLED;
  HRESULT CopyTo(ULONG, LPCIID, LPSPropTagArray, ULONG_PTR, LPMAPIPROGRESS, LPCIID, LPVOID, ULONG,
                 LPSPropProblemArray*) NOT_CALLED;
  HRESULT CopyProps(LPSPropTagArray, ULONG_PTR, LPMAPIPROGRESS, LPCIID, LPVOID, ULONG,
                    LPSPropProblemArray*) NOT_CALLED;
  HRESULT GetNamesFromIDs(LPSPropTagArray*, LPGUID, ULONG, ULONG*, LPMAPINAMEID**) NOT_CALLED;
  HRESULT GetAttachmentTable(ULONG, LPMAPITABLE*) NOT_CALLED;
  HRESULT OpenAttach(ULONG, LPCIID, ULONG, LPATTACH*) NOT_CALLED;
  HRESULT CreateAttach(LPCIID, ULONG, ULONG*, LPATTACH*) NOT_CALLED;
  HRESULT DeleteAttach(ULONG, ULONG_PTR, LPMAPIPROGRESS, ULONG) NOT_CALLED;
  HRESULT GetRecipientTable(ULONG, LPMAPITABLE*) NOT_CALLED;
  HRESULT ModifyRecipients(ULONG, LPADRLIST) NOT_CALLED;
  HRESULT SubmitMessage(ULONG) NOT_CALLED;
  HRESULT SetReadFlag(ULONG) NOT_CALLED;

 private:
  HRESULT Record(const char* call, ULONG value, HRESULT hr) {
    calls.emplace_back(call, value);
    return hr;
  }
  std::map<std::pair<int, LONG>, ULONG> named_;
  std::deque<std::string> data_;  // stays where it is as it grows
};

TEST(MapiAccessTest, ReportsTheFailingStep) {
  const std::string lookup = "SEVERE: Unable to query tag for property name: ";
  const struct {
    HRESULT ids_result, set_result;
    bool stored;
    HRESULT get, set;
    std::string line;
  } cases[] = {
      {S_OK, S_OK, false, MAPI_W_ERRORS_RETURNED, S_OK, ""},
      {S_OK, MAPI_E_NO_ACCESS, true, S_OK, MAPI_E_NO_ACCESS, ""},
      {MAPI_E_NO_SUPPORT, S_OK, true, MAPI_E_NO_SUPPORT, MAPI_E_NO_SUPPORT,
       lookup + " [hr: 0x80040102]\n"},
      // A lookup that hands back an error tag names no property.
      {MAPI_W_ERRORS_RETURNED, S_OK, true, MAPI_W_ERRORS_RETURNED, MAPI_W_ERRORS_RETURNED,
       lookup + " [hr: 0x40380]\n"},
  };
  for (const auto& c : cases) {
    testing::CapturedLog log;
    TestMessage message;
    if (c.stored) message.properties[0x8000] = {0x80000003, 0, {}};
    message.ids_result = c.ids_result;
    message.set_result = c.set_result;
    LPSPropValue value = nullptr;
    EXPECT_EQ(GetNamedProperty(&message, PSETID_Appointment, dispidApptSequence, &value), c.get);
    if (value) {
      EXPECT_EQ(PROP_TYPE(value->ulPropTag), c.get == S_OK ? PT_LONG : PT_ERROR);
      MAPIFreeBuffer(value);
    }
    SPropValue number{};
    EXPECT_EQ(SetNamedProperty(&message, PSETID_Appointment, dispidApptSequence, number, PT_LONG),
              c.set);
    EXPECT_EQ(message.calls.back().first == "SaveChanges", c.set == S_OK);
    EXPECT_EQ(log.Text(), c.line + c.line);
  }
}

TEST(MapiAccessTest, ReadsStringsButNeverAnErrorAsText) {
  TestMessage message;
  message.Store(PR_SENDER_EMAIL_ADDRESS_W, L"organizer@nexora.example");
  std::wstring text = L"unchanged";
  EXPECT_EQ(GetStringProperty(&message, PR_SENDER_NAME_W, text), MAPI_E_NOT_FOUND);
  EXPECT_EQ(text, L"unchanged");
  EXPECT_EQ(GetStringProperty(&message, PR_SENDER_EMAIL_ADDRESS_W, text), S_OK);
  EXPECT_EQ(text, L"organizer@nexora.example");
}

TEST(MapiAccessTest, ChecksRows) {
  SPropValue values[3] = {{PR_ENTRYID, 0, {}}, {PROP_TAG(PT_ERROR, 0x8001), 0, {}}};
  values[1].Value.err = MAPI_E_NOT_FOUND;
  const struct {
    SRow row;
    ULONG required;
    std::string line;
  } cases[] = {
      {{0, 2, values}, 3, "SEVERE: Row has less properties than required: 2 < 3\n"},
      {{0, 3, nullptr}, 1, "SEVERE: Row has less properties than required: 0 < 1\n"},
      {{0, 3, values}, 2, "SEVERE: Error in property ID 8001: 8004010F\n"},
      {{0, 3, values}, 1, ""},
  };
  for (const auto& c : cases) {
    testing::CapturedLog log;
    EXPECT_EQ(CheckRow(c.row, c.required), c.line.empty());
    EXPECT_EQ(log.Text(), c.line);
  }
}

}  // namespace
}  // namespace calendar_mirrow_addin
