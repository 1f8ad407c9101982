#include "model/time_zone_map.h"

#include <cwctype>
#include <string_view>

#include "base/logger.h"
#include "base/text.h"
#include "model/windows_zone_data.h"

namespace calendar_mirrow_addin {

namespace {

// ERROR_FILE_NOT_FOUND and ERROR_INVALID_DATA, as the registry would report them.
constexpr int32_t kErrorFileNotFound = 2;
constexpr int32_t kErrorInvalidData = 13;

struct PreferredZone {
  const wchar_t* windows_key;
  const wchar_t* olson;
};

// Windows zone to preferred Olson identifier. The order matters: where zones share a rule
// or a label, the later row wins the way back from an Outlook zone.
constexpr PreferredZone kPreferredZones[] = {
    {L"Afghanistan Standard Time", L"Asia/Kabul"},
    {L"Alaskan Standard Time", L"America/Anchorage"},
    {L"Arab Standard Time", L"Asia/Riyadh"},
    {L"Arabian Standard Time", L"Asia/Muscat"},
    {L"Arabic Standard Time", L"Asia/Baghdad"},
    {L"Armenian Standard Time", L"Asia/Yerevan"},
    {L"Atlantic Standard Time", L"America/Halifax"},
    {L"AUS Central Standard Time", L"Australia/Darwin"},
    {L"AUS Eastern Standard Time", L"Australia/Sydney"},
    {L"Azerbaijan Standard Time", L"Asia/Baku"},
    {L"Azores Standard Time", L"Atlantic/Azores"},
    {L"Canada Central Standard Time", L"America/Regina"},
    {L"Cape Verde Standard Time", L"Atlantic/Cape_Verde"},
    {L"Caucasus Standard Time", L"Europe/Samara"},
    {L"Cen. Australia Standard Time", L"Australia/Adelaide"},
    {L"Central America Standard Time", L"America/Managua"},
    {L"Central Asia Standard Time", L"Asia/Dhaka"},
    {L"Central Brazilian Standard Time", L"America/Manaus"},
    {L"Central Europe Standard Time", L"Europe/Belgrade"},
    {L"Central European Standard Time", L"Europe/Sarajevo"},
    {L"Central Pacific Standard Time", L"Asia/Magadan"},
    {L"Central Standard Time", L"America/Chicago"},
    {L"Central Standard Time (Mexico)", L"America/Mexico_City"},
    {L"China Standard Time", L"Asia/Hong_Kong"},
    {L"Dateline Standard Time", L"Etc/GMT+12"},
    {L"E. Africa Standard Time", L"Africa/Nairobi"},
    {L"E. Australia Standard Time", L"Australia/Brisbane"},
    {L"E. Europe Standard Time", L"Europe/Bucharest"},
    {L"E. South America Standard Time", L"America/Sao_Paulo"},
    {L"Eastern Standard Time", L"America/New_York"},
    {L"Egypt Standard Time", L"Africa/Cairo"},
    {L"Ekaterinburg Standard Time", L"Asia/Yekaterinburg"},
    {L"Fiji Standard Time", L"Pacific/Fiji"},
    {L"FLE Standard Time", L"Europe/Helsinki"},
    {L"Georgian Standard Time", L"Asia/Tbilisi"},
    {L"GMT Standard Time", L"Europe/London"},
    {L"Greenland Standard Time", L"America/Godthab"},
    {L"Greenwich Standard Time", L"Africa/Casablanca"},
    {L"GTB Standard Time", L"Europe/Istanbul"},
    {L"Hawaiian Standard Time", L"Pacific/Honolulu"},
    {L"India Standard Time", L"Asia/Calcutta"},
    {L"Iran Standard Time", L"Asia/Tehran"},
    {L"Israel Standard Time", L"Asia/Jerusalem"},
    {L"Jordan Standard Time", L"Asia/Amman"},
    {L"Korea Standard Time", L"Asia/Seoul"},
    {L"Mexico Standard Time", L"America/Mexico_City"},
    {L"Mexico Standard Time 2", L"America/Chihuahua"},
    {L"Mid-Atlantic Standard Time", L"America/Noronha"},
    {L"Middle East Standard Time", L"Asia/Beirut"},
    {L"Montevideo Standard Time", L"America/Montevideo"},
    {L"Mountain Standard Time", L"America/Denver"},
    {L"Mountain Standard Time (Mexico)", L"America/Chihuahua"},
    {L"Myanmar Standard Time", L"Asia/Rangoon"},
    {L"N. Central Asia Standard Time", L"Asia/Novosibirsk"},
    {L"Namibia Standard Time", L"Africa/Windhoek"},
    {L"Nepal Standard Time", L"Asia/Katmandu"},
    {L"New Zealand Standard Time", L"Pacific/Auckland"},
    {L"Newfoundland Standard Time", L"America/St_Johns"},
    {L"North Asia Standard Time", L"Asia/Krasnoyarsk"},
    {L"North Asia East Standard Time", L"Asia/Irkutsk"},
    {L"Pacific Standard Time", L"America/Los_Angeles"},
    {L"Pacific Standard Time (Mexico)", L"America/Tijuana"},
    {L"Pacific SA Standard Time", L"America/Santiago"},
    {L"Romance Standard Time", L"Europe/Paris"},
    {L"Russian Standard Time", L"Europe/Moscow"},
    {L"SA Eastern Standard Time", L"America/Buenos_Aires"},
    {L"SA Pacific Standard Time", L"America/Bogota"},
    {L"SA Western Standard Time", L"America/La_Paz"},
    {L"SE Asia Standard Time", L"Asia/Bangkok"},
    {L"Samoa Standard Time", L"Pacific/Apia"},
    {L"Singapore Standard Time", L"Asia/Singapore"},
    {L"South Africa Standard Time", L"Africa/Johannesburg"},
    {L"Sri Lanka Standard Time", L"Asia/Colombo"},
    {L"Taipei Standard Time", L"Asia/Taipei"},
    {L"Tasmania Standard Time", L"Australia/Hobart"},
    {L"Tokyo Standard Time", L"Asia/Tokyo"},
    {L"Tonga Standard Time", L"Pacific/Tongatapu"},
    {L"US Eastern Standard Time", L"America/Indianapolis"},
    {L"US Mountain Standard Time", L"America/Phoenix"},
    {L"Venezuela Standard Time", L"America/Caracas"},
    {L"Vladivostok Standard Time", L"Asia/Vladivostok"},
    {L"W. Australia Standard Time", L"Australia/Perth"},
    {L"W. Central Africa Standard Time", L"Africa/Lagos"},
    {L"W. Europe Standard Time", L"Europe/Berlin"},
    {L"West Asia Standard Time", L"Asia/Karachi"},
    {L"West Pacific Standard Time", L"Pacific/Guam"},
    {L"Yakutsk Standard Time", L"Asia/Yakutsk"},
};

struct ZoneGroup {
  const wchar_t* windows_key;
  const wchar_t* olson_ids;  // separated by blanks
};

// Every Olson identifier we understand, grouped by the Windows zone that converts it.
constexpr ZoneGroup kZoneGroups[] = {
    {L"AUS Central Standard Time", L"Australia/Darwin"},
    {L"AUS Eastern Standard Time", L"Australia/Sydney"},
    {L"Afghanistan Standard Time", L"Asia/Kabul"},
    {L"Alaskan Standard Time", L"America/Anchorage America/Juneau America/Nome America/Yakutat"},
    {L"Arab Standard Time",
     L"Africa/Addis_Ababa Africa/Asmara Africa/Dar_es_Salaam Africa/Djibouti "
     L"Africa/Kampala Africa/Khartoum Africa/Mogadishu Antarctica/Syowa Asia/Aden "
     L"Asia/Bahrain Asia/Kuwait Asia/Qatar Asia/Riyadh Indian/Antananarivo Indian/Comoro "
     L"Indian/Mayotte"},
    {L"Arabian Standard Time",
     L"Asia/Dubai Asia/Muscat Indian/Mahe Indian/Mauritius Indian/Reunion"},
    {L"Arabic Standard Time", L"Asia/Baghdad"},
    {L"Armenian Standard Time", L"Asia/Yerevan"},
    {L"Atlantic Standard Time",
     L"America/Glace_Bay America/Halifax America/Moncton America/Thule Atlantic/Bermuda"},
    {L"Azerbaijan Standard Time", L"Asia/Baku"},
    {L"Azores Standard Time", L"Atlantic/Azores"},
    {L"Canada Central Standard Time",
     L"America/Belize America/Costa_Rica America/El_Salvador America/Guatemala "
     L"America/Regina America/Swift_Current America/Tegucigalpa Pacific/Galapagos"},
    {L"Cape Verde Standard Time", L"Atlantic/Cape_Verde"},
    {L"Caucasus Standard Time", L"Europe/Samara"},
    {L"Cen. Australia Standard Time", L"Australia/Adelaide"},
    {L"Central America Standard Time", L"America/Managua"},
    {L"Central Asia Standard Time",
     L"Antarctica/Mawson Antarctica/Vostok Asia/Almaty Asia/Bishkek Asia/Dhaka "
     L"Asia/Qyzylorda Asia/Thimphu Indian/Chagos"},
    {L"Central Brazilian Standard Time", L"America/Campo_Grande America/Cuiaba America/Manaus"},
    {L"Central Europe Standard Time",
     L"Africa/Ceuta Africa/Tunis Arctic/Longyearbyen Atlantic/Jan_Mayen Europe/Amsterdam "
     L"Europe/Andorra Europe/Belgrade Europe/Bratislava Europe/Brussels Europe/Budapest "
     L"Europe/Copenhagen Europe/Gibraltar Europe/Ljubljana Europe/Luxembourg "
     L"Europe/Madrid Europe/Malta Europe/Monaco Europe/Oslo Europe/Podgorica "
     L"Europe/Prague Europe/Rome Europe/San_Marino Europe/Skopje Europe/Stockholm "
     L"Europe/Tirane Europe/Vaduz Europe/Vatican Europe/Vienna Europe/Warsaw "
     L"Europe/Zagreb Europe/Zurich"},
    {L"Central European Standard Time", L"Europe/Sarajevo"},
    {L"Central Pacific Standard Time",
     L"Asia/Magadan Pacific/Efate Pacific/Guadalcanal Pacific/Kosrae Pacific/Noumea "
     L"Pacific/Ponape"},
    {L"Central Standard Time",
     L"America/Chicago America/Indiana/Knox America/Indiana/Petersburg "
     L"America/Indiana/Vincennes America/Menominee America/North_Dakota/Center "
     L"America/North_Dakota/New_Salem America/Rainy_River America/Rankin_Inlet "
     L"America/Winnipeg"},
    {L"Central Standard Time (Mexico)",
     L"America/Cancun America/Merida America/Mexico_City America/Monterrey"},
    {L"China Standard Time",
     L"Antarctica/Casey Asia/Brunei Asia/Chongqing Asia/Harbin Asia/Hong_Kong "
     L"Asia/Kashgar Asia/Kuala_Lumpur Asia/Kuching Asia/Macau Asia/Makassar Asia/Manila "
     L"Asia/Shanghai Asia/Ulaanbaatar Asia/Urumqi"},
    {L"E. Africa Standard Time", L"Africa/Nairobi"},
    {L"E. Australia Standard Time",
     L"Antarctica/DumontDUrville Australia/Brisbane Australia/Lindeman "
     L"Pacific/Port_Moresby Pacific/Saipan Pacific/Truk"},
    {L"E. Europe Standard Time", L"Europe/Bucharest Europe/Kaliningrad Europe/Minsk"},
    {L"E. South America Standard Time", L"America/Sao_Paulo"},
    {L"Eastern Standard Time",
     L"America/Detroit America/Grand_Turk America/Indiana/Indianapolis "
     L"America/Indiana/Marengo America/Indiana/Vevay America/Iqaluit "
     L"America/Kentucky/Louisville America/Kentucky/Monticello America/Montreal "
     L"America/Nassau America/New_York America/Nipigon America/Pangnirtung "
     L"America/Thunder_Bay America/Toronto"},
    {L"Egypt Standard Time", L"Africa/Cairo"},
    {L"Ekaterinburg Standard Time", L"Asia/Yekaterinburg"},
    {L"FLE Standard Time",
     L"Asia/Istanbul Europe/Athens Europe/Chisinau Europe/Helsinki Europe/Kiev "
     L"Europe/Mariehamn Europe/Riga Europe/Sofia Europe/Tallinn Europe/Uzhgorod "
     L"Europe/Vilnius Europe/Zaporozhye"},
    {L"Fiji Standard Time",
     L"Pacific/Fiji Pacific/Funafuti Pacific/Kwajalein Pacific/Majuro Pacific/Nauru "
     L"Pacific/Tarawa Pacific/Wake Pacific/Wallis"},
    {L"GMT Standard Time",
     L"Atlantic/Canary Atlantic/Faroe Atlantic/Madeira Europe/Dublin Europe/Guernsey "
     L"Europe/Isle_of_Man Europe/Jersey Europe/London Europe/Lisbon"},
    {L"GTB Standard Time", L"Europe/Istanbul"},
    {L"Georgian Standard Time", L"Asia/Tbilisi"},
    {L"Greenland Standard Time", L"America/Godthab"},
    {L"Greenwich Standard Time",
     L"Africa/Abidjan Africa/Accra Africa/Bamako Africa/Banjul Africa/Bissau "
     L"Africa/Casablanca Africa/Conakry Africa/Dakar Africa/El_Aaiun Africa/Freetown "
     L"Africa/Lome Africa/Monrovia Africa/Nouakchott Africa/Ouagadougou Africa/Sao_Tome "
     L"America/Danmarkshavn Atlantic/Reykjavik Atlantic/St_Helena"},
    {L"Hawaiian Standard Time",
     L"Pacific/Fakaofo Pacific/Honolulu Pacific/Johnston Pacific/Rarotonga Pacific/Tahiti"},
    {L"India Standard Time", L"Asia/Calcutta"},
    {L"Iran Standard Time", L"Asia/Tehran"},
    {L"Israel Standard Time", L"Asia/Jerusalem"},
    {L"Jordan Standard Time", L"Asia/Amman"},
    {L"Korea Standard Time",
     L"Asia/Choibalsan Asia/Dili Asia/Jayapura Asia/Pyongyang Asia/Seoul Pacific/Palau"},
    {L"Mexico Standard Time 2", L"America/Mazatlan"},
    {L"Mid-Atlantic Standard Time", L"America/Noronha"},
    {L"Middle East Standard Time", L"Asia/Beirut"},
    {L"Montevideo Standard Time", L"America/Montevideo"},
    {L"Mountain Standard Time",
     L"America/Boise America/Cambridge_Bay America/Denver America/Edmonton America/Inuvik "
     L"America/Shiprock America/Yellowknife"},
    {L"Mountain Standard Time (Mexico)", L"America/Chihuahua"},
    {L"Myanmar Standard Time", L"Asia/Rangoon Indian/Cocos"},
    {L"N. Central Asia Standard Time", L"Asia/Novosibirsk Asia/Omsk"},
    {L"Namibia Standard Time", L"Africa/Windhoek"},
    {L"Nepal Standard Time", L"Asia/Katmandu"},
    {L"New Zealand Standard Time", L"Pacific/Auckland"},
    {L"Newfoundland Standard Time", L"America/St_Johns"},
    {L"North Asia East Standard Time", L"Asia/Irkutsk"},
    {L"North Asia Standard Time", L"Asia/Krasnoyarsk"},
    {L"Pacific SA Standard Time", L"America/Santiago"},
    {L"Pacific Standard Time",
     L"America/Dawson America/Los_Angeles America/Vancouver America/Whitehorse"},
    {L"Pacific Standard Time (Mexico)", L"America/Tijuana"},
    {L"Romance Standard Time", L"Europe/Paris"},
    {L"Russian Standard Time", L"Europe/Moscow Europe/Volgograd"},
    {L"SA Eastern Standard Time",
     L"America/Araguaina America/Argentina/Buenos_Aires America/Argentina/Catamarca "
     L"America/Argentina/Cordoba America/Argentina/Jujuy America/Argentina/La_Rioja "
     L"America/Argentina/Mendoza America/Argentina/Rio_Gallegos "
     L"America/Argentina/San_Juan America/Argentina/Tucuman America/Argentina/Ushuaia "
     L"America/Bahia America/Belem America/Cayenne America/Fortaleza America/Maceio "
     L"America/Paramaribo America/Recife Antarctica/Rothera"},
    {L"SA Pacific Standard Time",
     L"America/Atikokan America/Bogota America/Cayman America/Eirunepe America/Guayaquil "
     L"America/Jamaica America/Lima America/Panama America/Port-au-Prince "
     L"America/Resolute America/Rio_Branco"},
    {L"SA Western Standard Time",
     L"America/Anguilla America/Antigua America/Aruba America/Barbados "
     L"America/Blanc-Sablon America/Boa_Vista America/Curacao America/Dominica "
     L"America/Grenada America/Guadeloupe America/Guyana America/La_Paz "
     L"America/Martinique America/Montserrat America/Port_of_Spain America/Porto_Velho "
     L"America/Puerto_Rico America/Santo_Domingo America/St_Kitts America/St_Lucia "
     L"America/St_Thomas America/St_Vincent America/Tortola"},
    {L"SE Asia Standard Time",
     L"Antarctica/Davis Asia/Bangkok Asia/Hovd Asia/Jakarta Asia/Phnom_Penh "
     L"Asia/Pontianak Asia/Saigon Asia/Vientiane Indian/Christmas"},
    {L"Samoa Standard Time", L"Pacific/Apia Pacific/Midway Pacific/Niue Pacific/Pago_Pago"},
    {L"Singapore Standard Time", L"Asia/Singapore"},
    {L"South Africa Standard Time",
     L"Africa/Blantyre Africa/Bujumbura Africa/Gaborone Africa/Harare Africa/Johannesburg "
     L"Africa/Kigali Africa/Lubumbashi Africa/Lusaka Africa/Maputo Africa/Maseru "
     L"Africa/Mbabane Africa/Tripoli"},
    {L"Sri Lanka Standard Time", L"Asia/Colombo"},
    {L"Taipei Standard Time", L"Asia/Taipei"},
    {L"Tasmania Standard Time", L"Australia/Hobart"},
    {L"Tokyo Standard Time", L"Asia/Tokyo"},
    {L"Tonga Standard Time", L"Pacific/Enderbury Pacific/Tongatapu"},
    {L"US Mountain Standard Time", L"America/Dawson_Creek America/Hermosillo America/Phoenix"},
    {L"Venezuela Standard Time", L"America/Caracas"},
    {L"Vladivostok Standard Time", L"Asia/Vladivostok"},
    {L"W. Australia Standard Time", L"Australia/Perth"},
    {L"W. Central Africa Standard Time",
     L"Africa/Algiers Africa/Bangui Africa/Brazzaville Africa/Douala Africa/Kinshasa "
     L"Africa/Lagos Africa/Libreville Africa/Luanda Africa/Malabo Africa/Ndjamena "
     L"Africa/Niamey Africa/Porto-Novo"},
    {L"W. Europe Standard Time", L"Europe/Berlin"},
    {L"West Asia Standard Time",
     L"Asia/Aqtau Asia/Aqtobe Asia/Ashgabat Asia/Dushanbe Asia/Karachi Asia/Oral "
     L"Asia/Samarkand Asia/Tashkent Indian/Kerguelen Indian/Maldives"},
    {L"West Pacific Standard Time", L"Pacific/Guam"},
    {L"Yakutsk Standard Time", L"Asia/Yakutsk"},
};

// Registry key names are compared without regard to letter case.
bool SameKey(std::wstring_view a, std::wstring_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::towlower(a[i]) != std::towlower(b[i])) return false;
  }
  return true;
}

}  // namespace

TimeZoneMap& TimeZoneMap::Instance() {
  static TimeZoneMap map;
  return map;
}

TimeZoneMap::TimeZoneMap() {
  std::unordered_map<std::wstring, std::wstring> rule_by_key;
  std::unordered_map<std::wstring, std::wstring> label_by_key;
  for (const PreferredZone& zone : kPreferredZones) {
    std::wstring label;
    ZoneRule rule;
    if (ReadRegistryZone(zone.windows_key, label, rule) != 0) continue;
    olson_by_fuzzy_rule_[ZoneRuleFuzzyKey(rule)] = zone.olson;
    olson_by_label_[label] = zone.olson;
    rule_by_key[zone.windows_key] = ZoneRuleToHex(rule);
    label_by_key[zone.windows_key] = label;
  }
  for (const ZoneGroup& group : kZoneGroups) {
    const auto rule = rule_by_key.find(group.windows_key);
    if (rule == rule_by_key.end()) continue;  // unknown to both lookups
    for (std::wstring_view olson : SplitTokens(group.olson_ids, L" ")) {
      rule_by_olson_[std::wstring(olson)] = rule->second;
      label_by_olson_[std::wstring(olson)] = label_by_key[group.windows_key];
    }
  }
}

bool TimeZoneMap::GetZoneRule(const std::wstring& olson, ZoneRule& out) const {
  const auto found = rule_by_olson_.find(olson);
  return found != rule_by_olson_.end() && ZoneRuleFromHex(found->second, &out);
}

bool TimeZoneMap::GetDisplayLabel(const std::wstring& olson, std::wstring& label) const {
  const auto found = label_by_olson_.find(olson);
  if (found == label_by_olson_.end()) return false;
  label = found->second;
  return true;
}

bool TimeZoneMap::FindOlsonName(const ZoneRule& rule, const std::wstring& label,
                                std::wstring& olson) const {
  if (const auto by_label = olson_by_label_.find(label); by_label != olson_by_label_.end()) {
    olson = by_label->second;
    return true;
  }
  LogInfo(L"Unable to get by label " + label);
  if (rule_by_olson_.contains(label)) {
    olson = label;
    return true;
  }
  const auto by_rule = olson_by_fuzzy_rule_.find(ZoneRuleFuzzyKey(rule));
  if (by_rule == olson_by_fuzzy_rule_.end()) return false;
  olson = by_rule->second;
  return true;
}

bool TimeZoneMap::UtcToZoneLocal(const SystemTime& utc, const std::wstring& olson,
                                 SystemTime& local) const {
  if (olson.empty()) {
    local = utc;
    return true;
  }
  ZoneRule rule;
  return GetZoneRule(olson, rule) && RuleUtcToLocal(rule, utc, &local);
}

bool TimeZoneMap::ZoneLocalToUtc(const SystemTime& local, const std::wstring& olson,
                                 SystemTime& utc) const {
  if (olson.empty()) {
    utc = local;
    return true;
  }
  ZoneRule rule;
  return GetZoneRule(olson, rule) && RuleLocalToUtc(rule, local, &utc);
}

// Without a registry the zone data comes from the table compiled in from the Windows data
// file, which records what the registry holds for each key.
int32_t TimeZoneMap::ReadRegistryZone(const std::wstring& windows_key, std::wstring& label,
                                      ZoneRule& rule) {
  for (const WindowsZoneData& zone : WindowsZoneTable()) {
    if (!SameKey(zone.key, windows_key)) continue;
    ZoneRule read;
    if (!ZoneRuleFromTziHex(zone.tzi_hex, &read)) return kErrorInvalidData;
    rule = read;
    label = zone.label;
    return 0;
  }
  return kErrorFileNotFound;
}

}  // namespace calendar_mirrow_addin
