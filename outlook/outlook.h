#pragma once

#include <map>
#include <memory>
#include <string>

#include "base/hresult.h"
#include "outlook/com_ref.h"
#include "platform/com/dispatch.h"
#include "platform/com/mapi_interfaces.h"
#include "sync/calendar.h"

namespace calendar_mirrow_addin {

// The user's default Outlook calendar folder as a Calendar. Event ids are the items' MAPI
// entry ids in upper-case hexadecimal, the text the object model's EntryID uses too.
//
// Loading is in two phases: the brief list reads three columns of the folder's contents
// table for every item (id, modification time, UID); Load reads an event in full, only for
// the events the engine needs. Reading in full and writing arrive with the next change;
// until then they fail with E_NOTIMPL.
class Outlook : public Calendar {
 public:
  // `application` is the Outlook Application object (a reference is taken).
  // `resolve_address_book` selects how recipients are resolved (the "RESOLVE_ADDRESS_BOOK"
  // setting, read by the owner).
  Outlook(IDispatch* application, const std::wstring& user, bool resolve_address_book = true);
  ~Outlook() override;

  std::wstring GetName() const override { return L"Outlook"; }
  bool LoadEvents(const DateTime* updated_min, std::wstring& error_message,
                  IProgressMonitor* progress) override;
  bool Load(Event* event) override;
  int Import(const Event* event, std::wstring* new_id, DateTime* new_updated,
             std::wstring* message) override;
  int Update(const std::wstring& target_id, const Event* source, std::wstring* new_id,
             DateTime* new_updated, std::wstring* message) override;
  int Delete(const std::wstring& id, std::wstring* message) override;
  std::unique_ptr<DateTime> GetUpdatedTime(const Event* event) const override;

  // Opens the MAPI namespace (with `profile` when not empty) and names the default
  // calendar folder.
  HRESULT Logon(const std::wstring& profile, std::wstring* calendar_folder_id);
  HRESULT Logoff();
  HRESULT GetItemFromId(const std::wstring& id, ComRef<IDispatch>& item);
  // The brief list: every appointment's id, modification time and UID (written into the
  // item when it has none). Items not changed after `updated_min` are left out.
  HRESULT LoadEventsBrief(const DateTime* updated_min, IProgressMonitor* progress);

  const std::wstring& calendar_folder_id() const { return calendar_folder_id_; }
  bool resolve_address_book() const { return resolve_address_book_; }

 private:
  HRESULT ReadUid(IMessage* message, Event* event);
  HRESULT BriefEvent(IMAPIFolder* folder, const SRow& row, const DateTime* updated_min);

  ComRef<IDispatch> application_;
  ComRef<IDispatch> name_space_;
  std::wstring calendar_folder_id_;
  bool resolve_address_book_;
  std::map<std::wstring, std::wstring> resolved_addresses_;
};

// The entry id as upper-case hexadecimal, two digits a byte.
std::wstring EntryIdText(const SBinary& entry_id);

}  // namespace calendar_mirrow_addin
