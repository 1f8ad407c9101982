#include "addin/addin.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <mutex>
#include <vector>

#include "addin/registration.h"
#include "base/string_table.h"
#include "platform/com/runtime.h"
#include "platform/store.h"
#include "sim/outlook/object_model.h"
#include "tests/addin/host_fixture.h"

namespace calendar_mirrow_addin::testing {
namespace {

constexpr int32_t kLongWait = 20000;  // only reached when the add-in is broken

// What the injected sync function saw.
struct SyncLog {
  std::mutex mutex;
  std::vector<bool> manual;  // one entry per run
  bool had_application = true;
  bool had_session = true;
};

class AddinTest : public HostFixture {
 protected:
  void SetUp() override {
    module_ = NewModule();
    ASSERT_EQ(module_->Load(), 0);
    module_->SetSyncFunction([this](const SyncRequest& request) {
      std::lock_guard<std::mutex> lock(log_.mutex);
      log_.manual.push_back(request.manual);
      log_.had_application = log_.had_application && request.application != nullptr;
      log_.had_session = log_.had_session && request.session != nullptr;
    });
    store_ = sim::Store::Open("", nullptr);
    ASSERT_NE(store_, nullptr);
    application_ = ComRef<IDispatch>(sim::NewApplication(store_));
    addin_ = ComRef<Addin>(Addin::Create(module_.get()));
  }
  void TearDown() override {
    addin_.Reset();
    application_.Reset();
  }

  std::unique_ptr<AddinModule> module_;
  std::shared_ptr<sim::Store> store_;
  ComRef<IDispatch> application_;
  ComRef<Addin> addin_;
  SyncLog log_;
};

TEST_F(AddinTest, EachConnectionServesAtMostTheFirstRequest) {
  struct Case {
    const char* name;
    bool preset_auto;
    bool preset_manual;
    std::vector<bool> runs;  // manual flag of each run
    bool manual_left;
  };
  const Case cases[] = {
      {"disconnect while waiting", false, false, {}, false},
      {"automatic", true, false, {false}, false},
      {"manual", false, true, {true}, false},
      {"both: automatic first", true, true, {false}, true},
  };
  const auto alive = Event("NXSYNCER_EVENT_OL_ALIVE");
  const auto sync_auto = Event("NXSYNCER_EVENT_SYNC_AUTO");
  const auto sync_manual = Event("NXSYNCER_EVENT_SYNC_MANUAL");
  const auto done = Event("NXSYNCER_EVENT_SYNC_DONE");
  // One Addin connected again and again: each connection must signal alive afresh.
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sync_manual->Reset();
    log_.manual.clear();
    if (c.preset_auto) sync_auto->Set();
    if (c.preset_manual) sync_manual->Set();
    ASSERT_EQ(addin_->OnConnection(application_.get(), ext_cm_AfterStartup, nullptr, nullptr),
              S_OK);
    EXPECT_TRUE(alive->Wait(kLongWait));
    if (!c.runs.empty()) {
      EXPECT_TRUE(done->Wait(kLongWait));
    }
    EXPECT_EQ(addin_->OnDisconnection(ext_dm_UserClosed, nullptr), S_OK);
    EXPECT_FALSE(done->Wait(0));  // no (further) done event
    EXPECT_EQ(log_.manual, c.runs);
    EXPECT_EQ(sync_manual->Wait(0), c.manual_left);
    EXPECT_FALSE(sync_auto->Wait(0));
  }
  EXPECT_TRUE(log_.had_application);
  EXPECT_TRUE(log_.had_session);
}

TEST_F(AddinTest, ConnectionFailures) {
  EXPECT_EQ(addin_->OnConnection(nullptr, ext_cm_Startup, nullptr, nullptr), E_POINTER);

  const auto alive = Event("NXSYNCER_EVENT_OL_ALIVE");
  ASSERT_EQ(addin_->OnConnection(application_.get(), ext_cm_Startup, nullptr, nullptr), S_OK);
  EXPECT_EQ(addin_->OnConnection(application_.get(), ext_cm_Startup, nullptr, nullptr),
            E_UNEXPECTED);
  EXPECT_TRUE(alive->Wait(kLongWait));
  EXPECT_EQ(addin_->OnDisconnection(ext_dm_HostShutdown, nullptr), S_OK);

  // The exit event cannot be made: 2001 goes to the tray, no thread starts.
  auto refusing = NewModule("NXSYNCER_EXIT");
  ASSERT_EQ(refusing->Load(), 0);
  ComRef<Addin> addin(Addin::Create(refusing.get()));
  EXPECT_EQ(addin->OnConnection(application_.get(), ext_cm_Startup, nullptr, nullptr), E_FAIL);
  EXPECT_EQ(MessageText(), FormatResourceString(IDS_ERROR_CODE, {L"2001"}));
  EXPECT_FALSE(alive->Wait(0));
}

TEST_F(AddinTest, ReleasedWhileConnectedEndsItsThreadAndDropsItsApplication) {
  const auto alive = Event("NXSYNCER_EVENT_OL_ALIVE");
  ASSERT_EQ(addin_->OnConnection(application_.get(), ext_cm_Startup, nullptr, nullptr), S_OK);
  EXPECT_TRUE(alive->Wait(kLongWait));
  EXPECT_FALSE(module_->CanUnload());
  addin_.Reset();  // joins the worker, which revoked its cookie
  EXPECT_TRUE(module_->CanUnload());
  application_->AddRef();
  EXPECT_EQ(application_->Release(), 1u);  // only the test's own reference is left
}

// The library as the host loads it.
class LibraryTest : public HostFixture {
 protected:
  template <typename Function>
  Function Resolve(const char* name) {
    return reinterpret_cast<Function>(dlsym(library_, name));
  }
  // Never closed: the library keeps what it loaded until the process ends.
  void* library_ = dlopen(TIDEWELL_ADDIN_LIBRARY, RTLD_NOW | RTLD_LOCAL);
};

TEST_F(LibraryTest, EntryPointsGiveTheAddinAndRegisterIt) {
  ASSERT_NE(library_, nullptr) << dlerror();
  using GetClassObject = HRESULT (*)(REFCLSID, REFIID, void**);
  using NoArguments = HRESULT (*)();
  const auto get_class_object = Resolve<GetClassObject>("DllGetClassObject");
  const auto can_unload = Resolve<NoArguments>("DllCanUnloadNow");
  const auto register_server = Resolve<NoArguments>("DllRegisterServer");
  const auto unregister_server = Resolve<NoArguments>("DllUnregisterServer");
  ASSERT_TRUE(get_class_object && can_unload && register_server && unregister_server);
  EXPECT_EQ(dlsym(library_, "RunWorkerThread"), nullptr);

  GUID class_id{};
  ASSERT_TRUE(ParseGuid(LoadResourceString(IDS_ADDIN_CLASS_ID), &class_id));
  void* object = nullptr;
  EXPECT_EQ(get_class_object(IID_IUnknown, IID_IClassFactory, &object), CLASS_E_CLASSNOTAVAILABLE);
  ASSERT_EQ(get_class_object(class_id, IID_IClassFactory, &object), S_OK);
  ComRef<IClassFactory> factory(static_cast<IClassFactory*>(object));
  ComRef<IUnknown> addin;
  ASSERT_EQ(factory->CreateInstance(nullptr, IID__IDTExtensibility2, addin.PutVoid()), S_OK);
  struct Query {
    const IID* iid;
    HRESULT expected;
  };
  for (const Query& q : {Query{&IID_IDispatch, S_OK}, Query{&IID__IDTExtensibility2, S_OK},
                         Query{&IID_IClassFactory, E_NOINTERFACE}}) {
    ComRef<IUnknown> other;
    EXPECT_EQ(addin->QueryInterface(*q.iid, other.PutVoid()), q.expected);
  }
  EXPECT_EQ(can_unload(), S_FALSE);
  factory.Reset();
  EXPECT_EQ(can_unload(), S_FALSE);  // the add-in still lives
  addin.Reset();
  EXPECT_EQ(can_unload(), S_OK);
  // The load ran in the temporary folders.
  EXPECT_TRUE(std::filesystem::is_directory(temp_.path() / "data/Nexora/Tidewell/logs"));

  const std::string clsid_key =
      std::string(kClassesRoot) + "\\CLSID\\" + WideToUtf8(LoadResourceString(IDS_ADDIN_CLASS_ID));
  const std::string addin_key = std::string(kOutlookAddinsKey) + "\\Nexora.Tidewell";
  struct Value {
    std::string key;
    const char* name;
    std::string bytes;
  };
  const Value values[] = {
      {std::string(kClassesRoot) + "\\Nexora.Tidewell\\CurVer", "",
       StoreText(L"Nexora.Tidewell.1")},
      {std::string(kClassesRoot) + "\\Nexora.Tidewell.1\\CLSID", "",
       StoreText(LoadResourceString(IDS_ADDIN_CLASS_ID))},
      {clsid_key + "\\InprocServer32", "",
       StoreText(Utf8ToWide(std::filesystem::canonical(TIDEWELL_ADDIN_LIBRARY).string()))},
      {clsid_key + "\\ProgID", "", StoreText(L"Nexora.Tidewell.1")},
      {addin_key, "LoadBehavior", std::string("\x08\0\0\0", 4)},
      {addin_key, "CommandLineSafe", std::string(4, '\0')},
      {addin_key, "FriendlyName", StoreText(L"Tidewell")},
  };
  ASSERT_TRUE(platform::WriteStoreValue(clsid_key + "\\InprocServer32", "ThreadingModel",
                                        StoreText(L"Apartment")));
  ASSERT_EQ(register_server(), S_OK);
  std::string bytes;
  for (const Value& v : values) {
    SCOPED_TRACE(v.key + " " + v.name);
    ASSERT_TRUE(platform::ReadStoreValue(v.key, v.name, &bytes));
    EXPECT_EQ(bytes, v.bytes);
  }
  EXPECT_FALSE(platform::ReadStoreValue(clsid_key + "\\InprocServer32", "ThreadingModel", &bytes));
  ASSERT_EQ(unregister_server(), S_OK);
  for (const Value& v : values) EXPECT_FALSE(platform::ReadStoreValue(v.key, v.name, &bytes));
  EXPECT_EQ(unregister_server(), S_OK);  // nothing left to remove is fine
}

}  // namespace
}  // namespace calendar_mirrow_addin::testing
