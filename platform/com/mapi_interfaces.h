#pragma once

// The MAPI interfaces the Outlook calendar calls (properties, messages, folders, tables,
// the session and its address book), with their interface ids. On Windows the SDK supplies
// them; elsewhere the same members are declared in the same order, so that the simulated
// store implements them and the calendar calls them unchanged. Only the members the system
// calls need a real body behind them.

#include "platform/com/mapi.h"

#ifdef _WIN32
#include <mapiguid.h>
#else

// Ids of the OLE form {000203xx-0000-0000-C000-000000000046}.
inline constexpr IID MakeMapiIid(uint32_t first) {
  return {first, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
}
inline constexpr IID IID_IMAPISession = MakeMapiIid(0x00020300);
inline constexpr IID IID_IMAPITable = MakeMapiIid(0x00020301);
inline constexpr IID IID_IMAPIProp = MakeMapiIid(0x00020303);
inline constexpr IID IID_IMessage = MakeMapiIid(0x00020307);
inline constexpr IID IID_IAddrBook = MakeMapiIid(0x00020309);
inline constexpr IID IID_IMAPIContainer = MakeMapiIid(0x0002030B);
inline constexpr IID IID_IMAPIFolder = MakeMapiIid(0x0002030C);

using LPCIID = const IID*;
using BOOKMARK = ULONG_PTR;
inline constexpr BOOKMARK BOOKMARK_BEGINNING = 0;
inline constexpr BOOKMARK BOOKMARK_CURRENT = 1;
inline constexpr BOOKMARK BOOKMARK_END = 2;

// Declared for the shapes of the members below; the system passes none of them.
class IMAPIAdviseSink;
class IMAPIProgress;
class IAttach;
class IMsgStore;
class IProfSect;
class IMsgServiceAdmin;
struct SRestriction;
struct SSortOrderSet;
struct ADRPARM;
struct MAPIUID;
using LPMAPIADVISESINK = IMAPIAdviseSink*;
using LPMAPIPROGRESS = IMAPIProgress*;
using LPATTACH = IAttach*;
using LPMDB = IMsgStore*;
using LPPROFSECT = IProfSect*;
using LPSERVICEADMIN = IMsgServiceAdmin*;
using LPSRestriction = SRestriction*;
using LPSSortOrderSet = SSortOrderSet*;
using LPADRPARM = ADRPARM*;
using LPMAPIUID = MAPIUID*;
using LPFNDISMISS = void (*)(ULONG_PTR ui_param, LPVOID context);
using LPFNBUTTON = SCODE (*)(ULONG_PTR ui_param, LPVOID context, ULONG entry_id_size,
                             LPENTRYID entry_id, ULONG flags);

class IMAPITable;
class IMessage;
class IMAPIFolder;
class IAddrBook;
using LPMAPITABLE = IMAPITable*;
using LPMESSAGE = IMessage*;
using LPMAPIFOLDER = IMAPIFolder*;
using LPADRBOOK = IAddrBook*;

class IMAPIProp : public IUnknown {
 public:
  virtual HRESULT GetLastError(HRESULT result, ULONG flags, LPMAPIERROR* error) = 0;
  virtual HRESULT SaveChanges(ULONG flags) = 0;
  virtual HRESULT GetProps(LPSPropTagArray tags, ULONG flags, ULONG* count,
                           LPSPropValue* values) = 0;
  virtual HRESULT GetPropList(ULONG flags, LPSPropTagArray* tags) = 0;
  virtual HRESULT OpenProperty(ULONG tag, LPCIID iid, ULONG interface_options, ULONG flags,
                               LPUNKNOWN* object) = 0;
  virtual HRESULT SetProps(ULONG count, LPSPropValue values, LPSPropProblemArray* problems) = 0;
  virtual HRESULT DeleteProps(LPSPropTagArray tags, LPSPropProblemArray* problems) = 0;
  virtual HRESULT CopyTo(ULONG excluded_iid_count, LPCIID excluded_iids,
                         LPSPropTagArray excluded_tags, ULONG_PTR ui_param, LPMAPIPROGRESS progress,
                         LPCIID target_iid, LPVOID target, ULONG flags,
                         LPSPropProblemArray* problems) = 0;
  virtual HRESULT CopyProps(LPSPropTagArray tags, ULONG_PTR ui_param, LPMAPIPROGRESS progress,
                            LPCIID target_iid, LPVOID target, ULONG flags,
                            LPSPropProblemArray* problems) = 0;
  virtual HRESULT GetNamesFromIDs(LPSPropTagArray* tags, LPGUID property_set, ULONG flags,
                                  ULONG* count, LPMAPINAMEID** names) = 0;
  virtual HRESULT GetIDsFromNames(ULONG count, LPMAPINAMEID* names, ULONG flags,
                                  LPSPropTagArray* tags) = 0;

 protected:
  ~IMAPIProp() = default;
};
using LPMAPIPROP = IMAPIProp*;

class IMessage : public IMAPIProp {
 public:
  virtual HRESULT GetAttachmentTable(ULONG flags, LPMAPITABLE* table) = 0;
  virtual HRESULT OpenAttach(ULONG number, LPCIID iid, ULONG flags, LPATTACH* attachment) = 0;
  virtual HRESULT CreateAttach(LPCIID iid, ULONG flags, ULONG* number, LPATTACH* attachment) = 0;
  virtual HRESULT DeleteAttach(ULONG number, ULONG_PTR ui_param, LPMAPIPROGRESS progress,
                               ULONG flags) = 0;
  virtual HRESULT GetRecipientTable(ULONG flags, LPMAPITABLE* table) = 0;
  virtual HRESULT ModifyRecipients(ULONG flags, LPADRLIST changes) = 0;
  virtual HRESULT SubmitMessage(ULONG flags) = 0;
  virtual HRESULT SetReadFlag(ULONG flags) = 0;

 protected:
  ~IMessage() = default;
};

class IMAPIContainer : public IMAPIProp {
 public:
  virtual HRESULT GetContentsTable(ULONG flags, LPMAPITABLE* table) = 0;
  virtual HRESULT GetHierarchyTable(ULONG flags, LPMAPITABLE* table) = 0;
  virtual HRESULT OpenEntry(ULONG entry_id_size, LPENTRYID entry_id, LPCIID iid, ULONG flags,
                            ULONG* object_type, LPUNKNOWN* object) = 0;
  virtual HRESULT SetSearchCriteria(LPSRestriction restriction, LPENTRYLIST containers,
                                    ULONG search_flags) = 0;
  virtual HRESULT GetSearchCriteria(ULONG flags, LPSRestriction* restriction,
                                    LPENTRYLIST* containers, ULONG* search_state) = 0;

 protected:
  ~IMAPIContainer() = default;
};

class IMAPIFolder : public IMAPIContainer {
 public:
  virtual HRESULT CreateMessage(LPCIID iid, ULONG flags, LPMESSAGE* message) = 0;
  virtual HRESULT CopyMessages(LPENTRYLIST messages, LPCIID iid, LPVOID target_folder,
                               ULONG_PTR ui_param, LPMAPIPROGRESS progress, ULONG flags) = 0;
  virtual HRESULT DeleteMessages(LPENTRYLIST messages, ULONG_PTR ui_param, LPMAPIPROGRESS progress,
                                 ULONG flags) = 0;
  virtual HRESULT CreateFolder(ULONG folder_type, LPTSTR name, LPTSTR comment, LPCIID iid,
                               ULONG flags, LPMAPIFOLDER* folder) = 0;
  virtual HRESULT CopyFolder(ULONG entry_id_size, LPENTRYID entry_id, LPCIID iid,
                             LPVOID target_folder, LPTSTR new_name, ULONG_PTR ui_param,
                             LPMAPIPROGRESS progress, ULONG flags) = 0;
  virtual HRESULT DeleteFolder(ULONG entry_id_size, LPENTRYID entry_id, ULONG_PTR ui_param,
                               LPMAPIPROGRESS progress, ULONG flags) = 0;
  virtual HRESULT SetReadFlags(LPENTRYLIST messages, ULONG_PTR ui_param, LPMAPIPROGRESS progress,
                               ULONG flags) = 0;
  virtual HRESULT GetMessageStatus(ULONG entry_id_size, LPENTRYID entry_id, ULONG flags,
                                   ULONG* status) = 0;
  virtual HRESULT SetMessageStatus(ULONG entry_id_size, LPENTRYID entry_id, ULONG new_status,
                                   ULONG new_status_mask, ULONG* old_status) = 0;
  virtual HRESULT SaveContentsSort(LPSSortOrderSet sort, ULONG flags) = 0;
  virtual HRESULT EmptyFolder(ULONG_PTR ui_param, LPMAPIPROGRESS progress, ULONG flags) = 0;

 protected:
  ~IMAPIFolder() = default;
};

class IMAPITable : public IUnknown {
 public:
  virtual HRESULT GetLastError(HRESULT result, ULONG flags, LPMAPIERROR* error) = 0;
  virtual HRESULT Advise(ULONG event_mask, LPMAPIADVISESINK sink, ULONG* connection) = 0;
  virtual HRESULT Unadvise(ULONG connection) = 0;
  virtual HRESULT GetStatus(ULONG* table_status, ULONG* table_type) = 0;
  virtual HRESULT SetColumns(LPSPropTagArray columns, ULONG flags) = 0;
  virtual HRESULT QueryColumns(ULONG flags, LPSPropTagArray* columns) = 0;
  virtual HRESULT GetRowCount(ULONG flags, ULONG* count) = 0;
  virtual HRESULT SeekRow(BOOKMARK origin, LONG row_count, LONG* rows_sought) = 0;
  virtual HRESULT SeekRowApprox(ULONG numerator, ULONG denominator) = 0;
  virtual HRESULT QueryPosition(ULONG* row, ULONG* numerator, ULONG* denominator) = 0;
  virtual HRESULT FindRow(LPSRestriction restriction, BOOKMARK origin, ULONG flags) = 0;
  virtual HRESULT Restrict(LPSRestriction restriction, ULONG flags) = 0;
  virtual HRESULT CreateBookmark(BOOKMARK* position) = 0;
  virtual HRESULT FreeBookmark(BOOKMARK position) = 0;
  virtual HRESULT SortTable(LPSSortOrderSet sort, ULONG flags) = 0;
  virtual HRESULT QuerySortOrder(LPSSortOrderSet* sort) = 0;
  virtual HRESULT QueryRows(LONG row_count, ULONG flags, LPSRowSet* rows) = 0;
  virtual HRESULT Abort() = 0;
  virtual HRESULT ExpandRow(ULONG instance_key_size, LPBYTE instance_key, ULONG row_count,
                            ULONG flags, LPSRowSet* rows, ULONG* more_rows) = 0;
  virtual HRESULT CollapseRow(ULONG instance_key_size, LPBYTE instance_key, ULONG flags,
                              ULONG* row_count) = 0;
  virtual HRESULT WaitForCompletion(ULONG flags, ULONG timeout, ULONG* table_status) = 0;
  virtual HRESULT GetCollapseState(ULONG flags, ULONG instance_key_size, LPBYTE instance_key,
                                   ULONG* state_size, LPBYTE* state) = 0;
  virtual HRESULT SetCollapseState(ULONG flags, ULONG state_size, LPBYTE state,
                                   BOOKMARK* location) = 0;

 protected:
  ~IMAPITable() = default;
};

class IAddrBook : public IMAPIProp {
 public:
  virtual HRESULT OpenEntry(ULONG entry_id_size, LPENTRYID entry_id, LPCIID iid, ULONG flags,
                            ULONG* object_type, LPUNKNOWN* object) = 0;
  virtual HRESULT CompareEntryIDs(ULONG first_size, LPENTRYID first, ULONG second_size,
                                  LPENTRYID second, ULONG flags, ULONG* result) = 0;
  virtual HRESULT Advise(ULONG entry_id_size, LPENTRYID entry_id, ULONG event_mask,
                         LPMAPIADVISESINK sink, ULONG* connection) = 0;
  virtual HRESULT Unadvise(ULONG connection) = 0;
  virtual HRESULT CreateOneOff(LPTSTR name, LPTSTR address_type, LPTSTR address, ULONG flags,
                               ULONG* entry_id_size, LPENTRYID* entry_id) = 0;
  virtual HRESULT NewEntry(ULONG_PTR ui_param, ULONG flags, ULONG container_size,
                           LPENTRYID container, ULONG template_size, LPENTRYID template_id,
                           ULONG* new_entry_size, LPENTRYID* new_entry) = 0;
  virtual HRESULT ResolveName(ULONG_PTR ui_param, ULONG flags, LPTSTR dialog_title,
                              LPADRLIST addresses) = 0;
  virtual HRESULT Address(ULONG_PTR* ui_param, LPADRPARM parameters, LPADRLIST* addresses) = 0;
  virtual HRESULT Details(ULONG_PTR* ui_param, LPFNDISMISS dismiss, LPVOID dismiss_context,
                          ULONG entry_id_size, LPENTRYID entry_id, LPFNBUTTON button,
                          LPVOID button_context, LPTSTR button_text, ULONG flags) = 0;
  virtual HRESULT RecipOptions(ULONG_PTR ui_param, ULONG flags, LPADRENTRY recipient) = 0;
  virtual HRESULT QueryDefaultRecipOpt(LPTSTR address_type, ULONG flags, ULONG* count,
                                       LPSPropValue* options) = 0;
  virtual HRESULT GetPAB(ULONG* entry_id_size, LPENTRYID* entry_id) = 0;
  virtual HRESULT SetPAB(ULONG entry_id_size, LPENTRYID entry_id) = 0;
  virtual HRESULT GetDefaultDir(ULONG* entry_id_size, LPENTRYID* entry_id) = 0;
  virtual HRESULT SetDefaultDir(ULONG entry_id_size, LPENTRYID entry_id) = 0;
  virtual HRESULT GetSearchPath(ULONG flags, LPSRowSet* search_path) = 0;
  virtual HRESULT SetSearchPath(ULONG flags, LPSRowSet search_path) = 0;
  virtual HRESULT PrepareRecips(ULONG flags, LPSPropTagArray tags, LPADRLIST recipients) = 0;

 protected:
  ~IAddrBook() = default;
};

class IMAPISession : public IUnknown {
 public:
  virtual HRESULT GetLastError(HRESULT result, ULONG flags, LPMAPIERROR* error) = 0;
  virtual HRESULT GetMsgStoresTable(ULONG flags, LPMAPITABLE* table) = 0;
  virtual HRESULT OpenMsgStore(ULONG_PTR ui_param, ULONG entry_id_size, LPENTRYID entry_id,
                               LPCIID iid, ULONG flags, LPMDB* store) = 0;
  virtual HRESULT OpenAddressBook(ULONG_PTR ui_param, LPCIID iid, ULONG flags,
                                  LPADRBOOK* address_book) = 0;
  virtual HRESULT OpenProfileSection(LPMAPIUID uid, LPCIID iid, ULONG flags,
                                     LPPROFSECT* section) = 0;
  virtual HRESULT GetStatusTable(ULONG flags, LPMAPITABLE* table) = 0;
  virtual HRESULT OpenEntry(ULONG entry_id_size, LPENTRYID entry_id, LPCIID iid, ULONG flags,
                            ULONG* object_type, LPUNKNOWN* object) = 0;
  virtual HRESULT CompareEntryIDs(ULONG first_size, LPENTRYID first, ULONG second_size,
                                  LPENTRYID second, ULONG flags, ULONG* result) = 0;
  virtual HRESULT Advise(ULONG entry_id_size, LPENTRYID entry_id, ULONG event_mask,
                         LPMAPIADVISESINK sink, ULONG* connection) = 0;
  virtual HRESULT Unadvise(ULONG connection) = 0;
  virtual HRESULT MessageOptions(ULONG_PTR ui_param, ULONG flags, LPTSTR address_type,
                                 LPMESSAGE message) = 0;
  virtual HRESULT QueryDefaultMessageOpt(LPTSTR address_type, ULONG flags, ULONG* count,
                                         LPSPropValue* options) = 0;
  virtual HRESULT EnumAdrTypes(ULONG flags, ULONG* count, LPTSTR** address_types) = 0;
  virtual HRESULT QueryIdentity(ULONG* entry_id_size, LPENTRYID* entry_id) = 0;
  virtual HRESULT Logoff(ULONG_PTR ui_param, ULONG flags, ULONG reserved) = 0;
  virtual HRESULT SetDefaultStore(ULONG flags, ULONG entry_id_size, LPENTRYID entry_id) = 0;
  virtual HRESULT AdminServices(ULONG flags, LPSERVICEADMIN* admin) = 0;
  virtual HRESULT ShowForm(ULONG_PTR ui_param, LPMDB store, LPMAPIFOLDER parent, LPCIID iid,
                           ULONG message_token, LPMESSAGE message_sent, ULONG flags,
                           ULONG message_status, ULONG message_flags, ULONG access,
                           LPSTR message_class) = 0;
  virtual HRESULT PrepareForm(LPCIID iid, LPMESSAGE message, ULONG* message_token) = 0;

 protected:
  ~IMAPISession() = default;
};
using LPMAPISESSION = IMAPISession*;
#endif
