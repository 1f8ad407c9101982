// The XML service: queries by qualified name, detached nodes, namespace declarations that
// travel with moved and copied nodes, loading through the stream, saving, and the SAX pass.

#include "platform/xml.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "platform/utf8.h"
#include "tests/support/scripted_stream.h"

namespace calendar_mirrow_addin::platform {
namespace {

using testing::ScriptedStream;

constexpr wchar_t kAtom[] = L"http://www.w3.org/2005/Atom";
constexpr wchar_t kData[] = L"http://schemas.nexora.example/d/2005";
constexpr wchar_t kCal[] = L"http://schemas.nexora.example/cal/2005";

// A feed as the service sends it: namespaces declared on the feed only.
const std::wstring kFeed =
    std::wstring(L"<?xml version='1.0' encoding='UTF-8'?><feed xmlns='") + kAtom +
    L"' xmlns:openSearch='http://a9.com/-/spec/opensearchrss/1.0/' xmlns:nxd='" + kData +
    L"' xmlns:nxCal='" + kCal + L"' xmlns:gd='" + kData +
    L"'><openSearch:totalResults>1</openSearch:totalResults><entry><id>e1</id>"
    L"<link rel='alternate' href='http://www.nexora.example/alt'/>"
    L"<link rel='edit' href='http://www.nexora.example/e1/7'/>"
    L"<nxd:where rel='" +
    kData + L"#other' valueString='Other'/><nxd:where rel='" + kData +
    L"#event' valueString='Room'/><nxd:where valueString='Hall'/>"
    L"<gd:who email='b@nexora.example'/><nxd:who email='a@nexora.example'/>"
    L"<nxCal:uid value='u1'/><title>A &amp; B</title><category xmlns=''/></entry></feed>";

std::vector<std::wstring> Values(const std::vector<XmlNode>& nodes) {
  std::vector<std::wstring> values;
  for (const XmlNode& node : nodes) values.push_back(node.text());
  return values;
}

TEST(XmlQueryTest, MatchesQualifiedNamesAsWrittenAndRefusesInvalidPatterns) {
  XmlDocument document;
  ASSERT_TRUE(document.LoadXml(kFeed));
  const XmlNode entry = document.Root().SelectSingle(L"feed/entry");
  ASSERT_TRUE(entry);
  const std::pair<std::wstring, std::optional<std::vector<std::wstring>>> kCases[] = {
      // nxd and gd name the same namespace: only the written prefix matches.
      {L"nxd:who/@email", std::vector<std::wstring>{L"a@nexora.example"}},
      {L"gd:who/@email", std::vector<std::wstring>{L"b@nexora.example"}},
      {L"who", std::vector<std::wstring>{}},
      {L"link[@rel='edit']/@href", std::vector<std::wstring>{L"http://www.nexora.example/e1/7"}},
      {std::wstring(L"nxd:where[not(@rel) or (@rel='") + kData + L"#event')]/@valueString",
       std::vector<std::wstring>{L"Room", L"Hall"}},
      {L"title", std::vector<std::wstring>{L"A & B"}},
      {L"nxd:who[", std::nullopt},
      {L"count(nxd:who)", std::nullopt},
  };
  for (const auto& [pattern, expected] : kCases) {
    SCOPED_TRACE(WideToUtf8(pattern));
    const auto found = entry.Select(pattern);
    ASSERT_EQ(found.has_value(), expected.has_value());
    if (!expected) {
      EXPECT_FALSE(entry.SelectSingle(pattern));
      continue;
    }
    EXPECT_EQ(Values(*found), *expected);
    const XmlNode first = entry.SelectSingle(pattern);
    EXPECT_EQ(first ? first.text() : L"<none>", expected->empty() ? L"<none>" : expected->front());
  }
}

TEST(XmlNamespaceTest, ClonedEntryStandsAloneAndStaysOutOfTheDocument) {
  XmlDocument document;
  ASSERT_TRUE(document.LoadXml(kFeed));
  const XmlNode copy = document.Root().SelectSingle(L"feed/entry").Clone(true);
  ASSERT_TRUE(copy);
  EXPECT_FALSE(copy.Parent());

  XmlDocument alone;
  EXPECT_EQ(copy.Xml().find(L"xmlns=\"\""), std::wstring::npos);
  ASSERT_TRUE(alone.LoadXml(copy.Xml())) << alone.load_error();
  const XmlNode entry = alone.Root().SelectSingle(L"entry");
  ASSERT_TRUE(entry);
  EXPECT_EQ(entry.Attribute(L"xmlns"), kAtom);
  EXPECT_EQ(entry.Attribute(L"xmlns:nxd"), kData);
  EXPECT_EQ(entry.Attribute(L"xmlns:nxCal"), kCal);
  EXPECT_EQ(entry.Attribute(L"xmlns:gd"), kData);
  EXPECT_FALSE(entry.Attribute(L"xmlns:openSearch"));  // declared, not used

  // The copy is nowhere in the document: not in queries, listings or the saved text.
  EXPECT_EQ(document.Root().Select(L"//entry")->size(), 1u);
  EXPECT_EQ(document.Root().FirstChild().name(), L"feed");
  ScriptedStream saved;
  ASSERT_TRUE(document.Save(&saved));
  EXPECT_EQ(saved.written.find("<entry"), saved.written.rfind("<entry"));
}

TEST(XmlNamespaceTest, AppendAcrossDocumentsMovesTheEntryWithItsNamespaces) {
  XmlDocument source;
  ASSERT_TRUE(source.LoadXml(kFeed));
  XmlNode original = source.Root().SelectSingle(L"feed/entry");
  XmlDocument target;
  // The target binds nxd to the same namespace, nxCal to another one, and lacks gd.
  ASSERT_TRUE(target.LoadXml(std::wstring(L"<feed xmlns='") + kAtom + L"' xmlns:nxd='" + kData +
                             L"' xmlns:nxCal='urn:other'/>"));
  const XmlNode moved = target.Root().SelectSingle(L"feed").AppendChild(original);
  ASSERT_TRUE(moved);
  EXPECT_EQ(moved.SelectSingle(L"nxCal:uid/@value").value(), L"u1");
  EXPECT_EQ(moved.Parent().name(), L"feed");
  EXPECT_FALSE(moved.Attribute(L"xmlns:nxd"));  // in scope already
  EXPECT_FALSE(moved.Attribute(L"xmlns"));
  EXPECT_EQ(moved.Attribute(L"xmlns:nxCal"), kCal);
  EXPECT_EQ(moved.Attribute(L"xmlns:gd"), kData);
  EXPECT_TRUE(source.Root().SelectSingle(L"feed/openSearch:totalResults"));
  EXPECT_FALSE(source.Root().SelectSingle(L"feed/entry"));
  // The old handle still reads what it pointed to.
  EXPECT_EQ(original.SelectSingle(L"id").text(), L"e1");
  // A removed node keeps its content and namespaces, and is no child any more.
  XmlNode feed = target.Root().FirstChild();
  ASSERT_TRUE(feed.RemoveChild(moved));
  EXPECT_FALSE(feed.RemoveChild(moved));
  XmlDocument removed;
  ASSERT_TRUE(removed.LoadXml(moved.Xml())) << WideToUtf8(moved.Xml());
  EXPECT_EQ(removed.Root().FirstChild().Attribute(L"xmlns:nxCal"), kCal);
  EXPECT_EQ(removed.Root().SelectSingle(L"entry/nxCal:uid/@value").value(), L"u1");
  ASSERT_TRUE(feed.AppendChild(moved));
  // A node cannot be appended below itself, nor a second element to a document.
  EXPECT_FALSE(moved.SelectSingle(L"title").AppendChild(moved));
  EXPECT_FALSE(target.Root().AppendChild(target.CreateElement(L"entry", L"")));
}

TEST(XmlNamespaceTest, NewElementsDeclareTheirNamespaceOnlyWhereNotInScope) {
  XmlDocument document;
  XmlNode entry = document.Root().AppendChild(document.CreateElement(L"entry", kAtom));
  ASSERT_TRUE(entry.SetAttribute(L"xmlns:nxd", kData));
  // Name, namespace, and the declaration the element keeps once appended to the entry.
  const std::tuple<std::wstring, std::wstring, std::wstring, std::optional<std::wstring>> kCases[] =
      {
          {L"nxd:where", kData, L"xmlns:nxd", std::nullopt},
          {L"nxd:when", L"urn:other", L"xmlns:nxd", L"urn:other"},
          {L"title", kAtom, L"xmlns", std::nullopt},
          {L"category", L"", L"xmlns", std::nullopt},  // falls into the entry's namespace
          {L"nxCal:uid", kCal, L"xmlns:nxCal", kCal},
      };
  for (const auto& [name, uri, declaration, kept] : kCases) {
    SCOPED_TRACE(WideToUtf8(name));
    const XmlNode created = document.CreateElement(name, uri);
    EXPECT_EQ(created.Attribute(declaration), uri.empty() ? std::nullopt : std::optional(uri));
    const XmlNode placed = entry.AppendChild(created);
    ASSERT_TRUE(placed);
    EXPECT_EQ(placed.Attribute(declaration), kept);
  }
  EXPECT_EQ(document.Root().FirstChild(), entry);
  const std::wstring xml = entry.Xml();
  EXPECT_EQ(xml.find(L"xmlns=\"\""), std::wstring::npos) << WideToUtf8(xml);
  XmlDocument reparsed;
  EXPECT_TRUE(reparsed.LoadXml(xml)) << reparsed.load_error();
  EXPECT_FALSE(document.CreateElement(L"a b", L""));
}

TEST(XmlTextTest, TextAndAttributeValuesSurviveSerializationExactly) {
  const std::wstring kTexts[] = {
      L"xmlns=\"\"", L"<&>\"'", L"a]]>b", L"line\r\nnext\ttab", L" ", L"caf\u00e9 \U0001F600",
  };
  for (const std::wstring& text : kTexts) {
    SCOPED_TRACE(WideToUtf8(text));
    XmlDocument document;
    XmlNode element = document.Root().AppendChild(document.CreateElement(L"content", kAtom));
    element.AppendChild(document.CreateElement(L"old", L""));
    ASSERT_TRUE(element.SetText(text));
    ASSERT_TRUE(element.SetAttribute(L"v", text));
    EXPECT_FALSE(element.SelectSingle(L"old"));  // SetText replaced every child
    const std::wstring xml = element.Xml();
    EXPECT_EQ(xml.find(L"xmlns=\"\""), std::wstring::npos) << WideToUtf8(xml);
    XmlDocument reparsed;
    ASSERT_TRUE(reparsed.LoadXml(xml)) << reparsed.load_error();
    const XmlNode back = reparsed.Root().FirstChild();
    EXPECT_EQ(back.text(), text);
    EXPECT_EQ(back.Attribute(L"v"), text);
  }
}

TEST(XmlStreamTest, LoadsWhatIsWrittenInPiecesOrReportsWhyNot) {
  const std::string kFeedUtf8 = WideToUtf8(kFeed);
  // Bytes, size of the pieces written, whether Commit is called, and whether they load.
  const std::tuple<std::string, size_t, bool, bool> kCases[] = {
      {kFeedUtf8, 1, false, true},
      {kFeedUtf8, 7, true, true},
      {"<feed><entry></feed>", 3, true, false},
      {"<feed>", 100, false, false},
      {"<a/><b/>", 100, false, false},
      {"<!DOCTYPE x [<!ENTITY a 'aaaa'>]><x>&a;</x>", 5, true, false},
  };
  XmlDocument expected;
  ASSERT_TRUE(expected.LoadXml(kFeed));
  for (const auto& [bytes, piece, commit, loads] : kCases) {
    SCOPED_TRACE(bytes.substr(0, 40));
    XmlDocument document;
    for (size_t at = 0; at < bytes.size(); at += piece) {
      const ULONG size = static_cast<ULONG>(std::min(piece, bytes.size() - at));
      ULONG written = 0;
      ASSERT_EQ(document.stream()->Write(bytes.data() + at, size, &written), S_OK);
      ASSERT_EQ(written, size);
    }
    if (commit) {
      EXPECT_EQ(document.stream()->Commit(0), loads ? S_OK : E_FAIL);
    }
    EXPECT_EQ(document.load_error().empty(), loads) << document.load_error();
    if (loads) {
      EXPECT_EQ(document.Root().Xml(), expected.Root().Xml());
    } else {
      EXPECT_FALSE(document.Root().FirstChild());
    }
  }
}

TEST(XmlStreamTest, SaveWritesDeclarationAndFailsWhenTheDestinationRefuses) {
  XmlDocument document;
  ASSERT_TRUE(document.LoadXml(L"<feed><title>" + std::wstring(200000, L'x') + L"</title></feed>"));
  // From which write on the destination misbehaves, how, and whether Save succeeds.
  const std::tuple<int, HRESULT, bool> kCases[] = {
      {INT_MAX, S_OK, true}, {1, E_FAIL, false}, {2, E_FAIL, false}, {2, S_OK, false}};
  for (const auto& [from, failure, saved] : kCases) {
    ScriptedStream destination;
    destination.fail_write = from;
    destination.write_failure = failure;
    EXPECT_EQ(document.Save(&destination), saved) << from;
    if (!saved) continue;
    EXPECT_EQ(destination.written.rfind("<?xml version=\"1.0\" encoding=\"UTF-8\"?>", 0), 0u);
    XmlDocument reread;
    EXPECT_TRUE(reread.LoadXml(Utf8ToWide(destination.written)));
    EXPECT_EQ(reread.Root().SelectSingle(L"feed/title").text().size(), 200000u);
  }
}

// Records the events of a SAX pass and answers `result` at the element named `stop_at`.
struct RecordingHandler : SaxContentHandler {
  HRESULT StartElement(std::string_view local_name, std::string_view qualified_name) override {
    events.push_back("<" + std::string(local_name) + "|" + std::string(qualified_name));
    return qualified_name == stop_at ? result : S_OK;
  }
  HRESULT Characters(std::string_view text) override {
    events.push_back(std::string(text));
    return S_OK;
  }
  std::vector<std::string> events;
  std::string stop_at;
  HRESULT result = S_OK;
};

TEST(SaxParseTest, ReportsElementsAndTextAndFailsOnEveryKindOfFault) {
  const std::string kDocument = "<a:feed xmlns:a='urn:a'><b>12345</b><a:stop/><c/></a:feed>";
  const std::vector<std::string> kAll = {"<feed|a:feed", "<b|b", "12345", "<stop|a:stop", "<c|c"};
  struct Case {
    std::string name, input;
    int fail_read;
    HRESULT read_failure;
    HRESULT handler_result;
    HRESULT expected;
    size_t events;  // how many of kAll arrive
  } kCases[] = {
      {"whole, text split across reads", kDocument, INT_MAX, S_OK, S_OK, S_OK, 5},
      {"handler aborts", kDocument, INT_MAX, S_OK, E_ABORT, E_ABORT, 4},
      {"handler says S_FALSE", kDocument, INT_MAX, S_OK, S_FALSE, E_FAIL, 4},
      {"source fails", kDocument, 30, E_ACCESSDENIED, S_OK, E_ACCESSDENIED, 2},
      {"source gives S_FALSE", kDocument, 30, S_FALSE, S_OK, E_FAIL, 2},
      {"document cut", kDocument.substr(0, 40), INT_MAX, S_OK, S_OK, E_FAIL, 3},
      {"doctype", "<!DOCTYPE a [<!ENTITY x 'y'>]><a>&x;</a>", INT_MAX, S_OK, S_OK, E_FAIL, 0},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    ScriptedStream source(c.input, 1);  // one byte per read
    source.fail_read = c.fail_read;
    source.read_failure = c.read_failure;
    RecordingHandler handler;
    handler.stop_at = "a:stop";
    handler.result = c.handler_result;
    std::string error;
    EXPECT_EQ(SaxParse(&source, &handler, &error), c.expected);
    EXPECT_EQ(error.empty(), c.expected == S_OK) << error;
    EXPECT_EQ(handler.events, std::vector<std::string>(kAll.begin(), kAll.begin() + c.events));
    // A stopped pass reads no further.
    if (c.handler_result != S_OK) {
      EXPECT_LT(source.position, c.input.size());
    }
  }
}

// The pass is a scan of the markup: tags hidden in comments, instructions, CDATA and
// attribute values are no tags, whatever read they are split across.
TEST(SaxParseTest, TagsInsideOtherMarkupAreNotReportedAndBalanceIsChecked) {
  const std::string kDocument =
      "<?xml version='1.0'?><!-- <x> -- > --><f a='>y/' b=\"/>\"><?pi <y>?>"
      "<![CDATA[<z/> ]]]><g/>t</f>";
  for (size_t block : {size_t{1}, size_t{7}, kDocument.size()}) {
    ScriptedStream source(kDocument, block);
    RecordingHandler handler;
    std::string error;
    EXPECT_EQ(SaxParse(&source, &handler, &error), S_OK) << error;
    EXPECT_EQ(handler.events, (std::vector<std::string>{"<f|f", "<z/> ]", "<g|g", "t"}));
  }
  for (const char* unbalanced : {"", "<a>", "<a></a></b>", "<a><b/>", "<a><!-- x </a>", "< a/>"}) {
    ScriptedStream source(unbalanced, 3);
    RecordingHandler handler;
    std::string error;
    EXPECT_EQ(SaxParse(&source, &handler, &error), E_FAIL) << unbalanced;
    EXPECT_FALSE(error.empty());
  }
}

}  // namespace
}  // namespace calendar_mirrow_addin::platform
