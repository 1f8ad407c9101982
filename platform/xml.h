#pragma once

// The XML service: a DOM document with node handles, and a streaming SAX pass over the
// same bytes. Queries match qualified names exactly as written in the document ("nxd:who"
// matches only elements written with the prefix nxd; "entry" only unprefixed ones), with
// no namespace mapping, so that a pattern means the same whichever parser stands behind
// it. Failures are results: nothing here throws.

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/com/stream.h"

namespace calendar_mirrow_addin::platform {

class XmlDocumentState;  // the parser's document; shared by every handle into it

enum class XmlNodeType { kNone, kDocument, kElement, kAttribute, kText, kOther };

// A counted reference to a node: the document lives as long as any handle into it. A
// default handle is null. Handles are cheap to copy.
class XmlNode {
 public:
  XmlNode() = default;
  XmlNode(std::shared_ptr<XmlDocumentState> document, void* node, bool attribute = false)
      : document_(std::move(document)), node_(node), attribute_(attribute) {}

  explicit operator bool() const { return node_ != nullptr; }
  bool operator==(const XmlNode& other) const { return node_ == other.node_; }

  XmlNodeType type() const;
  // The qualified name as written ("nxd:who", "entry"); attributes too. Empty for text.
  std::wstring name() const;
  // The value of an attribute or text node; empty for others.
  std::wstring value() const;
  bool SetValue(std::wstring_view value);
  // The text of every text node below, in document order.
  std::wstring text() const;
  // Replaces every child with one text node.
  bool SetText(std::wstring_view text);

  XmlNode FirstChild() const;
  XmlNode Parent() const;
  // The value of an attribute; none when the element has no such attribute.
  std::optional<std::wstring> Attribute(std::wstring_view name) const;
  // Replaces the value of an existing attribute, or adds the attribute after the others.
  bool SetAttribute(std::wstring_view name, std::wstring_view value);

  // XPath 1.0 patterns relative to this node ("entry", "link[@rel='edit']/@href",
  // "nxd:where[not(@rel)]/@valueString"). None when the pattern is not valid XPath.
  std::optional<std::vector<XmlNode>> Select(std::wstring_view pattern) const;
  // The first match in document order; a null handle when nothing (or nothing valid) matches.
  XmlNode SelectSingle(std::wstring_view pattern) const;

  // Appends `child` (an element or text, from this document or another one, attached or
  // not) as the last child of this node and removes it from where it was. Returns the
  // handle of the node as it now stands in this node; null on failure. A namespace
  // declaration the child carries that this node has in scope already (same prefix, same
  // URI) is dropped.
  XmlNode AppendChild(const XmlNode& child);
  // Removes a child of this node; false when it is not one.
  bool RemoveChild(const XmlNode& child);
  // A copy not yet attached anywhere, in the same document; the namespace declarations in
  // scope here that the copy uses are declared on it, so it can be serialized on its own.
  XmlNode Clone(bool deep) const;

  // The markup of this node and everything below, as UTF-16 text; an element declares the
  // namespaces in scope that it uses and that no ancestor inside the text declares. No
  // empty default-namespace declaration is ever produced.
  std::wstring Xml() const;

  const std::shared_ptr<XmlDocumentState>& document() const { return document_; }
  void* handle() const { return node_; }
  // Whether handle() is an attribute rather than a node (parsers keep them apart).
  bool is_attribute() const { return attribute_; }

 private:
  std::shared_ptr<XmlDocumentState> document_;
  void* node_ = nullptr;
  bool attribute_ = false;
};

// A DOM document. Bytes written to stream() (UTF-8 XML, in as many pieces as wanted) are
// loaded as the document when it is next used; bytes that do not make a well-formed
// document leave it empty, with load_error() saying why.
class XmlDocument {
 public:
  XmlDocument();
  ~XmlDocument();
  XmlDocument(const XmlDocument&) = delete;
  XmlDocument& operator=(const XmlDocument&) = delete;

  // Replaces the content with the parsed text; false (document empty) when not well formed.
  bool LoadXml(std::wstring_view text);
  // The stream that loads the document: Write appends bytes; Commit (or the next use of
  // the document) parses them, answering E_FAIL when they are not well formed. Read, Seek
  // and the rest answer E_NOTIMPL. Owned by the document. Handles taken before a new load
  // stay valid but refer to the content as it was.
  IStream* stream();
  // Why the last load failed; empty after a successful one.
  const std::string& load_error();

  // The document node (the parent of the root element); queries start here ("feed").
  XmlNode Root();
  // A new element, not attached anywhere. A non-empty `namespace_uri` is declared on it
  // ("xmlns" or "xmlns:prefix" after the prefix of `qualified_name`); an empty one declares
  // nothing.
  XmlNode CreateElement(std::wstring_view qualified_name, std::wstring_view namespace_uri);

  // Writes the whole document as UTF-8 XML with an XML declaration; false when the
  // destination refuses bytes.
  bool Save(IStream* destination);

 private:
  std::shared_ptr<XmlDocumentState> state_;
};

// Receives the events of a SAX pass. Names and text are UTF-8 views valid only during the
// call. Characters receives the character data between two tags in one call, however the
// bytes arrived; character references are handed on as written. Any result other than S_OK
// stops the pass, which then fails.
class SaxContentHandler {
 public:
  virtual ~SaxContentHandler() = default;
  virtual HRESULT StartElement(std::string_view local_name, std::string_view qualified_name) = 0;
  virtual HRESULT Characters(std::string_view text) = 0;
};

// Reads `source` to its end in blocks and reports the start tags and character data to
// `handler`. The pass is for progress and cancellation: it may leave finer faults of the
// markup to the DOM load of the same bytes, which is what decides that a document is
// well-formed. S_OK when the whole stream was read. Otherwise the failure: the source's
// own failing result (any Read result but S_OK; a Read that gives S_FALSE is a failure
// too), the handler's result, or E_FAIL for markup cut off by the end of the stream,
// elements left open or closed without being opened, or a DOCTYPE; `error` then says why.
// A source or handler result that is not S_OK but not a failure code either (S_FALSE) is
// reported as E_FAIL, so that the result is a failure however the caller tests it.
HRESULT SaxParse(IStream* source, SaxContentHandler* handler, std::string* error);

}  // namespace calendar_mirrow_addin::platform
