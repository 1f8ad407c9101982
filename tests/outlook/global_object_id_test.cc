#include "outlook/global_object_id.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace calendar_mirrow_addin {
namespace {

std::vector<uint8_t> FromHex(const std::string& hex) {
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  bytes.shrink_to_fit();  // so that a read past the end meets the sanitizer
  return bytes;
}

const std::string kClassId = "040000008200E00074C5B7101A82E008";
const std::string kZeros16 = "00000000000000000000000000000000";
const std::string kVCal = "7643616C2D55696401000000";
// An exception id as Outlook makes it: instance date 2008-03-25 and a creation time.
const std::string kOutlookId = kClassId + "07D80319" + "5025D461E473C801" + "0000000000000000" +
                               "10000000" + "2A5844B3A444F74A9C246C60886F116B";
// The same id of a whole series (zero instance date): 112 digits.
const std::string kOutlookSeriesId = kClassId + "00000000" + "5025D461E473C801" +
                                     "0000000000000000" + "10000000" +
                                     "2A5844B3A444F74A9C246C60886F116B";

std::wstring Wide(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

TEST(GlobalObjectIdTest, ReadsUids) {
  const struct {
    std::string id_hex;
    std::wstring uid;
  } cases[] = {
      // Written by older versions with the size fixed at 0x32 (the true size is read back by
      // the writing test).
      {kClassId + "00000000" + kZeros16 + "32000000" + kVCal + "61626300", L"abc"},
      {kClassId + "07D8030A" + kZeros16 + "32000000" + kVCal + "61626300", L"abc|20080310"},
      {kOutlookId, Wide(kOutlookId)},
      // Too short to hold any text: no UID, and no read before the data.
      {kClassId + "00000000" + kZeros16 + "0C000000" + kVCal, L""},
      {kClassId + "00000000" + kZeros16 + "32000000",
       Wide(kClassId + "00000000" + kZeros16 + "32000000")},
      {"", L""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(UidFromGlobalObjectId(FromHex(c.id_hex)), c.uid) << c.id_hex;
  }
}

// The hexadecimal of text's bytes.
std::string HexOf(const std::string& text) {
  std::string hex;
  for (const unsigned char c : text) {
    hex += "0123456789ABCDEF"[c >> 4];
    hex += "0123456789ABCDEF"[c & 15];
  }
  return hex;
}

TEST(GlobalObjectIdTest, WritesIdsThatReadBackTheSameUid) {
  std::string lower_case = kOutlookSeriesId;
  lower_case[kOutlookSeriesId.size() - 1] = 'b';
  const std::string abc_id = kClassId + "00000000" + kZeros16 + "10000000" + kVCal + "61626300";
  const auto text_id = [](const std::string& size, const std::string& uid) {
    return kClassId + "00000000" + kZeros16 + size + kVCal + HexOf(uid) + "00";
  };
  const struct {
    std::wstring uid;
    std::string id_hex;
  } cases[] = {
      {L"abc|20080310", kClassId + "07D8030A" + kZeros16 + "10000000" + kVCal + "61626300"},
      {L"abc", abc_id},
      {L"caf\u00e9", text_id("12000000", "caf\xC3\xA9")},
      // A "|" without a date after it is part of the UID.
      {L"a|b", text_id("10000000", "a|b")},
      {Wide(kOutlookSeriesId), kOutlookSeriesId},
      // Not decoded: an instance date, a lower-case digit, digits spelling a text-form id.
      {Wide(kOutlookId), text_id("7D000000", kOutlookId)},
      {Wide(lower_case), text_id("7D000000", lower_case)},
      {Wide(abc_id), text_id("7D000000", abc_id)},
      // The size field counts all the data: 12 + 300 + 1 = 0x139.
      {std::wstring(300, L'x'), text_id("39010000", std::string(300, 'x'))},
  };
  for (const auto& c : cases) {
    const std::vector<uint8_t> id = GlobalObjectIdBytesFromUid(c.uid);
    EXPECT_EQ(id, FromHex(c.id_hex)) << c.id_hex;
    EXPECT_EQ(UidFromGlobalObjectId(id), c.uid) << c.id_hex;
  }
}

TEST(GlobalObjectIdTest, GeneratedUidsAreNewBinaryIds) {
  const std::wstring uid = GenerateUid();
  ASSERT_EQ(uid.size(), 112u);
  EXPECT_TRUE(uid.starts_with(L"040000008200E00074C5B7101A82E0080000000000000000"));
  EXPECT_EQ(uid.substr(48, 32), uid.substr(80, 32));
  EXPECT_EQ(GlobalObjectIdBytesFromUid(uid).size(), 56u);
  EXPECT_NE(GenerateUid(), uid);
}

}  // namespace
}  // namespace calendar_mirrow_addin
