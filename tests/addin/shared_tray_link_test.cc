#include "addin/shared_tray_link.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "base/string_table.h"
#include "tests/addin/host_fixture.h"

namespace calendar_mirrow_addin::testing {
namespace {

std::wstring ErrorText(int code) {
  return FormatResourceString(IDS_ERROR_CODE, {std::to_wstring(code)});
}

using LoadTest = HostFixture;

TEST_F(LoadTest, EachFailureReportsItsCodeWhereTheMessageBlockExists) {
  struct Case {
    const char* refused;  // "" with no_folder: the folder cannot be determined
    bool no_folder;
    bool logs_is_file;
    int code;
    bool delivered;      // the message block and its mutex existed
    bool message_event;  // the message event existed and was set
  };
  const Case cases[] = {
      {"", true, false, 2002, false, false},
      {"MUTEX_TASKBAR_ICON", false, false, 2003, false, false},
      {"MUTEX_MMFILE_TASKBAR_ICON", false, false, 2004, false, false},
      {"MUTEX_NXSYNC_MESSAGE", false, false, 2037, false, false},
      {"MUTEX_MMFILE_NXSYNC_MESSAGE", false, false, 2036, false, false},
      {"NXSYNCER_EVENT_SYNC_AUTO", false, false, 2005, true, false},
      {"NXSYNCER_EVENT_STOP_SYNC", false, false, 2005, true, false},
      {"NXSYNCER_EVENT_MESSAGE", false, false, 2005, true, false},
      {"", false, true, 2013, true, true},
      {"", false, false, 0, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.refused) + " code " + std::to_string(c.code));
    prefix_ += "x";  // fresh objects for each case
    const auto message_event = Event("NXSYNCER_EVENT_MESSAGE");
    if (c.logs_is_file) {
      const auto product = temp_.path() / "data" / "Nexora" / "Tidewell";
      std::filesystem::create_directories(product);
      std::ofstream(product / "logs") << "not a folder";
    }
    auto module = NewModule(c.refused, c.no_folder);
    EXPECT_EQ(module->Load(), c.code);
    EXPECT_EQ(MessageText(), c.delivered ? ErrorText(c.code) : L"");
    EXPECT_EQ(message_event->Wait(0), c.message_event);
    std::filesystem::remove(temp_.path() / "data" / "Nexora" / "Tidewell" / "logs");
  }
}

TEST_F(LoadTest, LoadMakesTheFoldersAndALogFile) {
  auto module = NewModule();
  ASSERT_EQ(module->Load(), 0);
  const auto product = temp_.path() / "data" / "Nexora" / "Tidewell";
  EXPECT_EQ(module->app_data_folder(), Utf8ToWide(product.string()) + L"/");
  EXPECT_TRUE(std::filesystem::is_directory(product / "data_files"));
  EXPECT_EQ(module->product_version(), L"0.9.4.1");
  LogInfo(L"written after load");
  ASSERT_NE(GetLogger(), nullptr);
  EXPECT_NE(ReadFileText(WideToUtf8(GetLogger()->FilePath())).find("written after load"),
            std::string::npos);
}

using BlockTest = HostFixture;

TEST_F(BlockTest, TextsThatDoNotFitWholeAreDroppedAndTheMessageEventIsStillSet) {
  auto module = NewModule();
  ASSERT_EQ(module->Load(), 0);
  const auto message_event = Event("NXSYNCER_EVENT_MESSAGE");
  const auto status = Block("MUTEX_MMFILE_TASKBAR_ICON", kStatusBlockSize);
  const std::wstring kNonBmp = L"\U0001F600";
  struct Case {
    bool message;  // else the status block
    std::wstring text;
    bool written;
  };
  const Case cases[] = {
      {true, std::wstring(8191, L'm'), true},
      {true, std::wstring(8192, L'n'), false},
      {true, std::wstring(8190, L'p') + kNonBmp, false},  // the pair would not fit whole
      {true, std::wstring(8189, L'q') + kNonBmp, true},
      {false, std::wstring(5119, L's'), true},
      {false, std::wstring(5120, L't'), false},
      {true, L"a" + kNonBmp + L"\u00e9z", true},
  };
  std::wstring message = L"";
  std::wstring status_text = L"";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text.size());
    if (c.message) {
      module->tray_link().PostTrayMessage(c.text);
      EXPECT_TRUE(message_event->Wait(0));
      if (c.written) message = c.text;
    } else {
      module->tray_link().SetTrayStatus(c.text);
      EXPECT_FALSE(message_event->Wait(0));
      if (c.written) status_text = c.text;
    }
    EXPECT_EQ(MessageText(), message);
    EXPECT_EQ(ReadBlockText(status->bytes()), status_text);
  }
  // The last text as the Windows tray reads it: UTF-16LE, the pair D83D DE00, a zero.
  const auto block = Block("MUTEX_MMFILE_NXSYNC_MESSAGE", kMessageBlockSize);
  const uint8_t expected[] = {'a', 0, 0x3D, 0xD8, 0x00, 0xDE, 0xE9, 0, 'z', 0, 0, 0};
  EXPECT_TRUE(std::equal(std::begin(expected), std::end(expected), block->bytes().begin()));
}

TEST_F(BlockTest, AnotherProcessSeesTheTextAndADeadHolderDoesNotBlockTheWrite) {
  auto module = NewModule();
  ASSERT_EQ(module->Load(), 0);
  // The child writes a message and dies holding the message mutex.
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    std::string error;
    auto mutex = platform::NamedMutex::Create(prefix_ + "MUTEX_NXSYNC_MESSAGE", &error);
    auto block =
        platform::SharedBlock::Create(prefix_ + "MUTEX_MMFILE_NXSYNC_MESSAGE", 16384, &error);
    const bool ok = mutex && block && WriteBlockText(mutex.get(), block.get(), L"from the child");
    if (ok) mutex->Acquire(platform::kWaitForever);
    _exit(ok ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(MessageText(), L"from the child");
  module->tray_link().PostTrayMessage(L"after the child");
  EXPECT_EQ(MessageText(), L"after the child");
}

TEST_F(BlockTest, StopRequestStaysSetAndErrorCodesAreFormatted) {
  auto module = NewModule();
  ASSERT_EQ(module->Load(), 0);
  const auto stop = Event("NXSYNCER_EVENT_STOP_SYNC", true);
  EXPECT_FALSE(module->tray_link().IsStopRequested());
  stop->Set();
  EXPECT_TRUE(module->tray_link().IsStopRequested());
  EXPECT_TRUE(module->tray_link().IsStopRequested());
  module->tray_link().ReportError(2016);
  EXPECT_EQ(MessageText(), ErrorText(2016));
  EXPECT_NE(MessageText().find(L"Error code: 2016."), std::wstring::npos);
  EXPECT_EQ(module->tray_link().LoadResourceString(145), L"");
}

}  // namespace
}  // namespace calendar_mirrow_addin::testing
