// Feed parsing: one pass over the response fills the DOM and drives progress and cancel.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/utf8.h"
#include "platform/xml.h"
#include "tests/support/progress_recorder.h"
#include "tests/support/scripted_stream.h"
#include "tests/support/temp_dir.h"
#include "webcal/dom_builder_read_stream.h"
#include "webcal/progress_content_handler.h"

namespace calendar_mirrow_addin {
namespace {

using testing::CapturedLog;
using testing::ProgressRecorder;
using testing::ScriptedStream;

constexpr char kTask[] = "Loading events from Nexora Calendar/";

std::string Entries(int count) {
  std::string entries;
  for (int i = 1; i <= count; ++i) {
    entries += "<entry><id>e" + std::to_string(i) + "</id><title>" + std::to_string(i * 11) +
               "</title></entry>";
  }
  return entries;
}

std::string Total(const std::string& text) {
  return "<openSearch:totalResults>" + text + "</openSearch:totalResults>";
}

std::string Feed(const std::string& body) {
  return "<feed xmlns='http://www.w3.org/2005/Atom' "
         "xmlns:openSearch='http://a9.com/-/spec/opensearchrss/1.0/'>" +
         body + "</feed>";
}

std::vector<std::wstring> Items(std::initializer_list<int> counts, int total) {
  std::vector<std::wstring> items;
  for (int count : counts) items.push_back(FormatProgressItem(count, total));
  return items;
}

TEST(FeedParsingTest, TotalAndEntriesDriveTheMonitorAndTheDocumentGetsEveryByte) {
  const std::string kNoTask;
  const struct {
    std::string name, body, task;
    std::vector<std::wstring> sub_tasks;
  } kCases[] = {
      {"three of three", Total("3") + Entries(3), "3", Items({1, 2, 3}, 3)},
      {"total after two entries", Entries(2) + Total(" +5x") + Entries(1), "5", Items({1}, 5)},
      {"total 0 never known", Total("0") + Entries(2), "0", {}},
      {"negative total", Total("-4") + Entries(2), kNoTask, {}},
      {"empty total element", "<openSearch:totalResults/>" + Entries(2), kNoTask, {}},
      {"total beyond 32 bits", Total("\n 99999999999") + Entries(1), "2147483647",
       Items({1}, 2147483647)},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    const std::string feed = Feed(c.body);
    ScriptedStream response(feed, 5);
    platform::XmlDocument document;
    DomBuilderReadStream reader(&response, &document);
    ProgressRecorder monitor;
    ProgressContentHandler handler = MakeFeedProgressHandler(&monitor);
    std::string error;
    ASSERT_EQ(platform::SaxParse(&reader, &handler, &error), S_OK) << error;
    const std::vector<std::wstring> tasks = c.task.empty()
                                                ? std::vector<std::wstring>{}
                                                : std::vector{platform::Utf8ToWide(kTask + c.task)};
    EXPECT_EQ(monitor.tasks, tasks);
    EXPECT_EQ(monitor.sub_tasks, c.sub_tasks);
    EXPECT_EQ(monitor.worked, static_cast<int>(c.sub_tasks.size()));
    EXPECT_EQ(reader.BytesCopied(), static_cast<int32_t>(feed.size()));
    size_t entries = 0;
    for (size_t at = 0; (at = c.body.find("<entry>", at)) != std::string::npos; ++at) ++entries;
    EXPECT_EQ(document.Root().Select(L"feed/entry")->size(), entries);
  }
}

TEST(FeedParsingTest, CancelStopsReadingBeforeTheRestIsFetched) {
  const std::string feed = Feed(Total("4000") + Entries(4000));
  ScriptedStream response(feed, 4096);
  platform::XmlDocument document;
  DomBuilderReadStream reader(&response, &document);
  ProgressRecorder monitor;
  monitor.cancel_after = 10;
  ProgressContentHandler handler = MakeFeedProgressHandler(&monitor);
  std::string error;
  EXPECT_EQ(platform::SaxParse(&reader, &handler, &error), E_FAIL);
  EXPECT_EQ(monitor.sub_tasks.size(), 10u);
  EXPECT_LE(response.position, 4096u);
}

TEST(FeedParsingTest, CopyFailuresAreLoggedAndFailTheRead) {
  const struct {
    std::string name;
    int fail_read;  // of the response
    HRESULT read_failure;
    int fail_write;  // of the document stream
    HRESULT write_failure;
    HRESULT expected;
    std::string logged;
  } kCases[] = {
      {"delegate fails", 2, E_ACCESSDENIED, INT_MAX, S_OK, E_ACCESSDENIED,
       "Error reading from delegate"},
      {"delegate gives S_FALSE", 2, S_FALSE, INT_MAX, S_OK, S_FALSE, "Error reading from delegate"},
      {"document refuses", INT_MAX, S_OK, 2, E_OUTOFMEMORY, E_OUTOFMEMORY, "Error writing to DOM"},
      {"document takes half", INT_MAX, S_OK, 2, S_OK, E_FAIL, "Not all bytes written to DOM"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    CapturedLog log(Logger::SEVERE);
    ScriptedStream response("0123456789", 4);
    response.fail_read = c.fail_read;
    response.read_failure = c.read_failure;
    ScriptedStream dom;
    dom.fail_write = c.fail_write;
    dom.write_failure = c.write_failure;
    DomBuilderReadStream reader(&response, &dom);
    char buffer[16];
    ULONG read = 99;
    ASSERT_EQ(reader.Read(buffer, sizeof buffer, &read), S_OK);
    EXPECT_EQ(read, 4u);
    EXPECT_EQ(reader.Read(buffer, sizeof buffer, &read), c.expected);
    EXPECT_EQ(reader.BytesCopied(), 4);
    EXPECT_TRUE(log.Contains(c.logged)) << log.Text();
  }
}

}  // namespace
}  // namespace calendar_mirrow_addin
