#pragma once

// The simulated Outlook of one user, logged on as the add-in logs on, for the tests of
// the Outlook calendar.

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/text.h"
#include "outlook/outlook.h"
#include "sim/outlook/object_model.h"
#include "sim/outlook/seed.h"
#include "tests/support/temp_dir.h"

namespace calendar_mirrow_addin::testing {

inline constexpr FileTime kMonday = 133'219'296'000'000'000ULL;  // 2023-02-27T00:00:00Z
inline constexpr FileTime kSecond = 10'000'000;

inline std::wstring Hex(const sim::Bytes& bytes) { return sim::HexText(bytes); }

// The simulated store of one user, opened as the add-in opens Outlook.
class OutlookFixture : public ::testing::Test {
 protected:
  void SetUp() override { Open(""); }

  // (Re)opens the store (`path` empty: in memory) and logs on a new Outlook.
  void Open(const std::string& path, bool resolve_address_book = true) {
    outlook_.reset();
    store_ = sim::Store::Open(path, nullptr);
    ASSERT_NE(store_, nullptr);
    store_->SetClock([this] { return now_; });
    ComRef<IDispatch> application(sim::NewApplication(store_));
    outlook_ =
        std::make_unique<Outlook>(application.get(), L"ann@nexora.example", resolve_address_book);
    std::wstring folder_id;
    ASSERT_EQ(outlook_->Logon(L"", &folder_id), S_OK);
    EXPECT_EQ(folder_id, Hex(store_->folder_entry_id()));
  }

  sim::Bytes Add(const std::wstring& subject,
                 const std::wstring& message_class = L"IPM.Appointment",
                 std::optional<sim::Bytes> global_object_id = std::nullopt) {
    sim::AppointmentSeed seed;
    seed.subject = subject;
    seed.message_class = message_class;
    seed.start = kMonday + 3600 * kSecond;
    seed.global_object_id = std::move(global_object_id);
    now_ += kSecond;
    return sim::AddAppointment(*store_, seed);
  }

  // An item of the store through the object model.
  ComRef<IDispatch> ItemObject(const std::wstring& id) {
    ComRef<IDispatch> item;
    EXPECT_EQ(outlook_->GetItemFromId(id, item), S_OK);
    return item;
  }
  ComRef<IDispatch> ItemObject(const sim::Bytes& entry_id) { return ItemObject(Hex(entry_id)); }

  // The event as a sync reads it: listed briefly, then loaded in full (`loads`: successfully).
  Event* Loaded(const std::wstring& id, bool loads = true) {
    outlook_->mutable_events().clear();
    std::wstring error;
    EXPECT_TRUE(outlook_->LoadEvents(nullptr, error, nullptr));
    const auto found = outlook_->events().find(id);
    if (found == outlook_->events().end()) {
      ADD_FAILURE() << "not listed: " << WideToUtf8(id);
      return nullptr;
    }
    EXPECT_EQ(outlook_->Load(found->second.get()), loads) << log_.Text();
    return found->second.get();
  }
  Event* Loaded(const sim::Bytes& entry_id, bool loads = true) {
    return Loaded(Hex(entry_id), loads);
  }

  std::vector<std::wstring> LoadedIds() const {
    std::vector<std::wstring> ids;
    for (const auto& [id, event] : outlook_->events()) ids.push_back(id);
    return ids;
  }

  const sim::StoredItem& Item(const sim::Bytes& entry_id) const { return *store_->Find(entry_id); }

  CapturedLog log_;
  FileTime now_ = kMonday;
  std::shared_ptr<sim::Store> store_;
  std::unique_ptr<Outlook> outlook_;
};

}  // namespace calendar_mirrow_addin::testing
