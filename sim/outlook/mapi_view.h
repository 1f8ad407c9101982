#pragma once

// The MAPI view of the simulated store: the session, the calendar folder with its contents
// table, and the messages. Every object is reference counted as COM does: created with one
// reference that belongs to the caller, freed by the last Release.

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <vector>

#include "platform/com/mapi_interfaces.h"
#include "sim/outlook/store.h"

namespace calendar_mirrow_addin::sim {

// Answers the IMAPIProp members the system never calls, and GetIDsFromNames and reference
// counting, for every object below.
template <typename Interface>
class PropObject : public Interface {
 public:
  ULONG AddRef() override { return ++references_; }
  ULONG Release() override {
    const ULONG left = --references_;
    if (left == 0) delete this;
    return left;
  }
  HRESULT GetLastError(HRESULT, ULONG, LPMAPIERROR*) override { return MAPI_E_NO_SUPPORT; }
  HRESULT GetPropList(ULONG, LPSPropTagArray*) override { return MAPI_E_NO_SUPPORT; }
  HRESULT OpenProperty(ULONG, LPCIID, ULONG, ULONG, LPUNKNOWN*) override {
    return MAPI_E_NO_SUPPORT;
  }
  HRESULT CopyTo(ULONG, LPCIID, LPSPropTagArray, ULONG_PTR, LPMAPIPROGRESS, LPCIID, LPVOID, ULONG,
                 LPSPropProblemArray*) override {
    return MAPI_E_NO_SUPPORT;
  }
  HRESULT CopyProps(LPSPropTagArray, ULONG_PTR, LPMAPIPROGRESS, LPCIID, LPVOID, ULONG,
                    LPSPropProblemArray*) override {
    return MAPI_E_NO_SUPPORT;
  }
  HRESULT GetNamesFromIDs(LPSPropTagArray*, LPGUID, ULONG, ULONG*, LPMAPINAMEID**) override {
    return MAPI_E_NO_SUPPORT;
  }
  HRESULT GetIDsFromNames(ULONG count, LPMAPINAMEID* names, ULONG flags,
                          LPSPropTagArray* tags) override;

  Store& store() const { return *store_; }

 protected:
  explicit PropObject(std::shared_ptr<Store> store) : store_(std::move(store)) {}
  virtual ~PropObject() = default;

  std::shared_ptr<Store> store_;

 private:
  std::atomic<ULONG> references_{1};
};

// One item opened (or created, not yet saved). Changes wait in the object until
// SaveChanges; reads see them over the stored values. The object model's item works on the
// same object, so a value set through either view is read through the other.
class Message final : public PropObject<IMessage> {
 public:
  // What saving an occurrence does to its series: makes it an exception with the
  // occurrence's values.
  using OccurrenceSave = std::function<HRESULT(Message& series, const Message& occurrence)>;

  // An item of the store (`number` from StoredItem), or a new one when `number` is 0.
  static Message* Open(std::shared_ptr<Store> store, int64_t number, bool writable);
  ~Message() override;

  HRESULT QueryInterface(REFIID iid, void** object) override;
  HRESULT SaveChanges(ULONG flags) override;
  HRESULT GetProps(LPSPropTagArray tags, ULONG flags, ULONG* count, LPSPropValue* values) override;
  HRESULT SetProps(ULONG count, LPSPropValue values, LPSPropProblemArray* problems) override;
  HRESULT DeleteProps(LPSPropTagArray tags, LPSPropProblemArray* problems) override;
  HRESULT GetAttachmentTable(ULONG, LPMAPITABLE*) override { return MAPI_E_NO_SUPPORT; }
  HRESULT OpenAttach(ULONG, LPCIID, ULONG, LPATTACH*) override { return MAPI_E_NO_SUPPORT; }
  HRESULT CreateAttach(LPCIID, ULONG, ULONG*, LPATTACH*) override { return MAPI_E_NO_SUPPORT; }
  HRESULT DeleteAttach(ULONG, ULONG_PTR, LPMAPIPROGRESS, ULONG) override {
    return MAPI_E_NO_SUPPORT;
  }
  HRESULT GetRecipientTable(ULONG flags, LPMAPITABLE* table) override;
  HRESULT ModifyRecipients(ULONG flags, LPADRLIST changes) override;
  // No mail leaves the simulated store: refused, and counted.
  HRESULT SubmitMessage(ULONG) override;
  HRESULT SetReadFlag(ULONG) override { return MAPI_E_NO_SUPPORT; }

  // The value under the property id of `tag` (pending change first), with its stored tag.
  std::optional<std::pair<ULONG, PropData>> Get(ULONG tag) const;
  // A change kept until Save; MAPI_E_NO_ACCESS when the item may not change.
  HRESULT Set(ULONG tag, PropData data);
  HRESULT Remove(ULONG tag);
  // The recipient rows (pending ones first), and a change of them kept until Save.
  std::vector<PropMap> Recipients() const;
  HRESULT SetRecipients(std::vector<PropMap> rows);
  // The tags the item holds now, pending changes included.
  std::vector<ULONG> Tags() const;
  HRESULT Save();
  bool saved() const { return number_ != 0; }
  bool deleted() const;
  // Makes this new message, filled with an occurrence's values, that occurrence of `series`
  // (on which it takes a reference): never stored on its own, its values wait in the object,
  // and saving it hands them to `save`.
  void BecomeOccurrence(Message* series, OccurrenceSave save);
  // An occurrence that has been deleted from its series.
  void MarkDeleted() { gone_ = true; }
  Bytes entry_id() const;
  FileTime last_modified() const;

 private:
  Message(std::shared_ptr<Store> store, int64_t number, bool writable)
      : PropObject(std::move(store)), number_(number), writable_(writable) {}
  HRESULT CheckWritable() const;

  int64_t number_;
  bool writable_;
  Message* series_ = nullptr;  // set for an occurrence
  OccurrenceSave save_occurrence_;
  bool gone_ = false;
  PropMap changes_;                                 // at most one tag per property id
  std::set<ULONG> removed_;                         // property ids
  std::optional<std::vector<PropMap>> recipients_;  // changed rows, until Save
};

// The default calendar folder.
IMAPIFolder* NewCalendarFolder(std::shared_ptr<Store> store);
// The session of the namespace (MAPIOBJECT).
IMAPISession* NewSession(std::shared_ptr<Store> store);

}  // namespace calendar_mirrow_addin::sim
