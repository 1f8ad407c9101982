#pragma once

#include <string>

#include "outlook/automation.h"
#include "outlook/com_ref.h"
#include "platform/com/mapi_interfaces.h"

namespace calendar_mirrow_addin {

// Property sets of the named properties the calendar uses.
inline constexpr GUID PSETID_Appointment = {
    0x00062002, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline constexpr GUID PSETID_Common = {
    0x00062008, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline constexpr GUID PSETID_Meeting = {
    0x6ED8DA90, 0x450B, 0x101B, {0x98, 0xDA, 0x00, 0xAA, 0x00, 0x3F, 0x13, 0x05}};

// Named property ids (kind MNID_ID) and the types written with them.
inline constexpr LONG GLOBAL_OBJID = 0x0003;               // PSETID_Meeting, PT_BINARY
inline constexpr LONG dispidApptSequence = 0x8201;         // PT_LONG
inline constexpr LONG dispidApptStartWhole = 0x820D;       // PT_SYSTIME
inline constexpr LONG dispidApptEndWhole = 0x820E;         // PT_SYSTIME
inline constexpr LONG dispidApptRecur = 0x8216;            // PT_BINARY
inline constexpr LONG dispidIntendedBusyStatus = 0x8224;   // PT_LONG
inline constexpr LONG dispidFInvited = 0x8229;             // PT_BOOLEAN
inline constexpr LONG dispidTimeZoneStruct = 0x8233;       // PT_BINARY
inline constexpr LONG PidLidTimeZoneDescription = 0x8234;  // PT_UNICODE
inline constexpr LONG dispidCommonStart = 0x8516;          // PSETID_Common, PT_SYSTIME
inline constexpr LONG dispidCommonEnd = 0x8517;            // PSETID_Common, PT_SYSTIME

// The size of the time-zone structure (dispidTimeZoneStruct).
inline constexpr size_t kTimeZoneStructSize = 48;

// Every operation returns an HRESULT (0 = success). Values and tag arrays handed out are
// MAPI memory that the caller frees with MAPIFreeBuffer.

// The MAPI object behind an Outlook item or folder, read from its MAPIOBJECT property.
HRESULT GetMapiObject(IDispatch* outlook_object, ComRef<IUnknown>& mapi_object);
// The property interface of an Outlook item: MAPIOBJECT, then IMessage, then IMAPIProp.
HRESULT GetItemProps(IDispatch* item, ComRef<IMAPIProp>& props);

// Looks up (creating if needed) the tag of a named property. A tag that comes back as an
// error is no tag: the result is then the lookup's warning, or E_FAIL.
HRESULT GetNamedPropertyTag(IMAPIProp* props, const GUID& property_set, LONG id,
                            LPSPropTagArray* tags);

// Reads one named property. A missing property comes back as MAPI_W_ERRORS_RETURNED with
// an error-typed value, which callers take for a failure (and free).
HRESULT GetNamedProperty(IMAPIProp* props, const GUID& property_set, LONG id, LPSPropValue* value);
HRESULT GetNamedProperty(IDispatch* item, const GUID& property_set, LONG id, LPSPropValue* value);
HRESULT GetNamedProperty(IMessage* message, const GUID& property_set, LONG id, LPSPropValue* value);

// One named property of an item, read; the value is MAPI memory, freed with the holder. A
// property that comes back as an error value gives that error (E_FAIL when it has none).
struct NamedPropertyValue {
  NamedPropertyValue() = default;
  ~NamedPropertyValue() { MAPIFreeBuffer(value); }
  NamedPropertyValue(const NamedPropertyValue&) = delete;
  NamedPropertyValue& operator=(const NamedPropertyValue&) = delete;
  HRESULT Read(IDispatch* item, const GUID& set, LONG id);
  LPSPropValue value = nullptr;
};

// Writes one named property with the given type (PT_...) into `value`'s tag, and saves.
HRESULT SetNamedProperty(IMAPIProp* props, const GUID& property_set, LONG id, SPropValue& value,
                         ULONG type);
HRESULT SetNamedProperty(IDispatch* item, const GUID& property_set, LONG id, SPropValue& value,
                         ULONG type);
HRESULT SetNamedProperty(IMessage* message, const GUID& property_set, LONG id, SPropValue& value,
                         ULONG type);

// Writes one property whose tag is already in the value, and saves.
HRESULT SetProperty(IMAPIProp* props, SPropValue& value);
HRESULT SetProperty(IDispatch* item, SPropValue& value);

// Reads one wide-text property by tag. A property that comes back as an error gives that
// error (a failure code), never text.
HRESULT GetStringProperty(IMAPIProp* props, ULONG tag, std::wstring& text);
HRESULT GetStringProperty(IDispatch* item, ULONG tag, std::wstring& text);

// False, with a SEVERE line, for a value of type PT_ERROR.
bool CheckPropertyValue(const SPropValue& value);
// False, with a SEVERE line, for a row of fewer than `required` values or with an error
// among its first `required` values.
bool CheckRow(const SRow& row, ULONG required);

// The GLOBAL_OBJID value (PT_BINARY) of a UID, in MAPI memory: one buffer, its bytes
// linked to it, freed together by MAPIFreeBuffer.
HRESULT GlobalObjectIdFromUid(const std::wstring& uid, LPSPropValue* value);

}  // namespace calendar_mirrow_addin
