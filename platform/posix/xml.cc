// The XML service on Linux: pugixml holds the DOM; the SAX pass is sax_parse.cc.
//
// Chosen by measurement: a synthetic gzip feed of 25,000 entries (34 MB of XML, 0.6 MB
// compressed), inflated in 64 KiB blocks, best of 7 runs on the 2-core build machine:
//   inflate only                              22 ms
//   inflate + pugixml parse                  163 ms   peak +67 MB over the inflated text
//   inflate + expat pass + pugixml parse     420 ms   (2.6x)  same peak
//   inflate + libxml2 push parse, SAX hook   736 ms   (4.5x)  peak +270 MB
// libxml2 is slower and uses four times the memory; expat's tokenizing cost more than the
// DOM load itself, so the SAX pass became a scan of the markup and the DOM load decides
// well-formedness. pugixml's XPath is namespace-unaware, so patterns match qualified names
// as written, which is what the callers expect. The DOM keeps the inflated text (parsed in
// place) and its node tree; nothing else of the feed is held.
//
// The DOM load refuses a DOCTYPE: the service never sends one, and entity declarations
// (and their expansion) are not let into the feed.

#include "platform/xml.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <pugixml.hpp>
#include <unordered_map>
#include <utility>

#include "platform/utf8.h"

namespace calendar_mirrow_addin::platform {

namespace {

// Detached nodes (created, cloned or removed) live under this element of the document
// node, which saving, serializing, child listings and queries never show. The name cannot
// occur in parsed markup or in a pattern.
constexpr char kHolderName[] = "#detached";
// Whitespace-only text is dropped, except where it is an element's whole content.
constexpr unsigned kParseOptions =
    pugi::parse_default | pugi::parse_ws_pcdata_single | pugi::parse_doctype;
constexpr size_t kSaveBlock = 65536;
constexpr size_t kFirstStreamCapacity = 65536;

struct FreeBytes {
  void operator()(char* bytes) const { std::free(bytes); }
};
using Bytes = std::unique_ptr<char, FreeBytes>;

bool IsHolder(pugi::xml_node node) {
  return node.type() == pugi::node_element && node.parent().type() == pugi::node_document &&
         std::strcmp(node.name(), kHolderName) == 0;
}

pugi::xml_node Holder(pugi::xml_node any) {
  pugi::xml_node document = any.root();
  for (pugi::xml_node child = document.last_child(); child; child = child.previous_sibling()) {
    if (IsHolder(child)) return child;
  }
  pugi::xml_node holder = document.append_child(pugi::node_element);
  holder.set_name(kHolderName);
  return holder;
}

bool InHolder(pugi::xml_node node) {
  while (node && node.parent().type() != pugi::node_document) node = node.parent();
  return IsHolder(node);
}

// Names are refused unless they could appear in markup, so serialization stays well formed.
bool IsName(std::string_view name) {
  if (name.empty()) return false;
  for (size_t i = 0; i < name.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(name[i]);
    const bool start = std::isalpha(c) || c == '_' || c == ':' || c >= 0x80;
    if (!start && (i == 0 || !(std::isdigit(c) || c == '.' || c == '-'))) return false;
  }
  return true;
}

std::string_view PrefixOf(std::string_view qualified_name) {
  const size_t colon = qualified_name.find(':');
  return colon == std::string_view::npos ? std::string_view() : qualified_name.substr(0, colon);
}

std::string DeclarationName(std::string_view prefix) {
  return prefix.empty() ? std::string("xmlns") : "xmlns:" + std::string(prefix);
}

// The prefix an attribute declares ("" for the default namespace); none for others.
std::optional<std::string_view> DeclaredPrefix(std::string_view attribute_name) {
  if (attribute_name == "xmlns") return std::string_view();
  if (attribute_name.starts_with("xmlns:")) return attribute_name.substr(6);
  return std::nullopt;
}

// The namespace bound to `prefix` at `scope` and its ancestors (detached trees end at their
// own top); null when none declares it.
const char* LookupNamespace(pugi::xml_node scope, std::string_view prefix) {
  const std::string name = DeclarationName(prefix);
  for (pugi::xml_node node = scope; node.type() == pugi::node_element && !IsHolder(node);
       node = node.parent()) {
    if (pugi::xml_attribute declaration = node.attribute(name.c_str())) return declaration.value();
  }
  return nullptr;
}

// Visits `root` and its descendants in document order without recursion (feeds may nest
// deeply): `enter` says whether to descend; `leave` follows every `enter`.
template <typename Enter, typename Leave>
void Walk(pugi::xml_node root, Enter enter, Leave leave) {
  pugi::xml_node node = root;
  for (;;) {
    pugi::xml_node child = enter(node) ? node.first_child() : pugi::xml_node();
    if (child) {
      node = child;
      continue;
    }
    for (;;) {
      leave(node);
      if (node == root) return;
      if (pugi::xml_node next = node.next_sibling()) {
        node = next;
        break;
      }
      node = node.parent();
    }
  }
}

// The prefixes (including "" for the default namespace of unprefixed elements) that the
// subtree uses without declaring them itself, in order of first use.
std::vector<std::string> UndeclaredPrefixes(pugi::xml_node root) {
  std::vector<std::string> needed;
  std::unordered_map<std::string, int> declared;  // open declarations on the current path
  auto use = [&](std::string_view prefix) {
    if (prefix == "xml" || prefix == "xmlns") return;
    const auto found = declared.find(std::string(prefix));
    if (found != declared.end() && found->second > 0) return;
    for (const std::string& known : needed) {
      if (known == prefix) return;
    }
    needed.emplace_back(prefix);
  };
  Walk(
      root,
      [&](pugi::xml_node node) {
        if (node.type() != pugi::node_element) return false;
        for (pugi::xml_attribute attribute : node.attributes()) {
          if (auto prefix = DeclaredPrefix(attribute.name())) ++declared[std::string(*prefix)];
        }
        use(PrefixOf(node.name()));
        for (pugi::xml_attribute attribute : node.attributes()) {
          if (DeclaredPrefix(attribute.name())) continue;
          if (std::string_view prefix = PrefixOf(attribute.name()); !prefix.empty()) use(prefix);
        }
        return true;
      },
      [&](pugi::xml_node node) {
        if (node.type() != pugi::node_element) return;
        for (pugi::xml_attribute attribute : node.attributes()) {
          if (auto prefix = DeclaredPrefix(attribute.name())) --declared[std::string(*prefix)];
        }
      });
  return needed;
}

// The declarations, in scope at `scope`, of the namespaces that `root` uses without
// declaring: what `root` needs to stand on its own. An empty default namespace is never
// declared (the element then falls into its new parent's default namespace).
std::vector<std::pair<std::string, std::string>> MissingDeclarations(pugi::xml_node root,
                                                                     pugi::xml_node scope) {
  std::vector<std::pair<std::string, std::string>> missing;
  if (root.type() != pugi::node_element) return missing;
  for (const std::string& prefix : UndeclaredPrefixes(root)) {
    const char* uri = LookupNamespace(scope, prefix);
    if (uri != nullptr && *uri != '\0') missing.emplace_back(DeclarationName(prefix), uri);
  }
  return missing;
}

// Makes an element that leaves `scope` keep the namespaces it had there.
void DeclareInScope(pugi::xml_node element, pugi::xml_node scope) {
  const auto missing = MissingDeclarations(element, scope);
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
    element.prepend_attribute(it->first.c_str()).set_value(it->second.c_str());
  }
}

// Drops the declarations of `element` that its parent has in scope already.
void DropRedundantDeclarations(pugi::xml_node element) {
  if (element.type() != pugi::node_element) return;
  for (pugi::xml_attribute attribute = element.first_attribute(); attribute;) {
    pugi::xml_attribute next = attribute.next_attribute();
    if (auto prefix = DeclaredPrefix(attribute.name())) {
      const char* in_scope = LookupNamespace(element.parent(), *prefix);
      if (in_scope != nullptr && std::strcmp(in_scope, attribute.value()) == 0) {
        element.remove_attribute(attribute);
      }
    }
    attribute = next;
  }
}

// Takes a node out of its tree without freeing it: handles to it stay valid.
void Detach(pugi::xml_node node) {
  if (node.parent() == Holder(node)) return;
  DeclareInScope(node, node.parent());
  Holder(node).append_move(node);
}

// Collects markup and hands it on in blocks (to a stream) or keeps it (for Xml()).
class Emitter {
 public:
  explicit Emitter(IStream* sink = nullptr) : sink_(sink) {}

  void Put(std::string_view text) {
    out_.append(text);
    if (sink_ != nullptr && out_.size() >= kSaveBlock) Flush();
  }
  void Flush() {
    if (sink_ == nullptr || out_.empty() || failed_) return;
    ULONG written = 0;
    const ULONG size = static_cast<ULONG>(out_.size());
    if (sink_->Write(out_.data(), size, &written) != S_OK || written != size) failed_ = true;
    out_.clear();
  }
  // Escapes `<`, `&`, `>` and `"` (so that serialized text never holds markup-like quotes),
  // and, in attribute values, the white space that parsing would normalize.
  void PutEscaped(const char* text, bool attribute) {
    const char* run = text;
    for (const char* p = text;; ++p) {
      const char* entity = nullptr;
      switch (*p) {
        case '\0':
          out_.append(run, p - run);
          return;
        case '&':
          entity = "&amp;";
          break;
        case '<':
          entity = "&lt;";
          break;
        case '>':
          entity = "&gt;";
          break;
        case '"':
          entity = "&quot;";
          break;
        case '\r':
          entity = "&#13;";
          break;
        case '\n':
          entity = attribute ? "&#10;" : nullptr;
          break;
        case '\t':
          entity = attribute ? "&#9;" : nullptr;
          break;
        default:
          break;
      }
      if (entity == nullptr) continue;
      out_.append(run, p - run);
      out_.append(entity);
      run = p + 1;
    }
  }
  bool failed() const { return failed_; }
  std::string& text() { return out_; }

 private:
  IStream* sink_;
  std::string out_;
  bool failed_ = false;
};

// Writes `root` and everything below it; `extra` declarations go on `root` itself.
void Serialize(pugi::xml_node root, const std::vector<std::pair<std::string, std::string>>& extra,
               Emitter& out) {
  Walk(
      root,
      [&](pugi::xml_node node) {
        if (out.failed()) return false;
        switch (node.type()) {
          case pugi::node_document:
            return true;
          case pugi::node_element: {
            if (IsHolder(node)) return false;
            out.Put("<");
            out.Put(node.name());
            auto attribute_text = [&](const char* name, const char* value) {
              out.Put(" ");
              out.Put(name);
              out.Put("=\"");
              out.PutEscaped(value, true);
              out.Put("\"");
            };
            if (node == root) {
              for (const auto& [name, value] : extra) attribute_text(name.c_str(), value.c_str());
            }
            for (pugi::xml_attribute attribute : node.attributes()) {
              // An empty default-namespace declaration is never written.
              if (*attribute.value() == '\0' && std::strcmp(attribute.name(), "xmlns") == 0) {
                continue;
              }
              attribute_text(attribute.name(), attribute.value());
            }
            const bool open = node.first_child();
            out.Put(open ? ">" : "/>");
            return open;
          }
          case pugi::node_pcdata:
            out.PutEscaped(node.value(), false);
            return false;
          case pugi::node_cdata: {
            std::string_view value = node.value();
            out.Put("<![CDATA[");
            for (size_t end; (end = value.find("]]>")) != std::string_view::npos;) {
              out.Put(value.substr(0, end + 2));
              out.Put("]]><![CDATA[");
              value.remove_prefix(end + 2);
            }
            out.Put(value);
            out.Put("]]>");
            return false;
          }
          case pugi::node_comment:
            out.Put("<!--");
            out.Put(node.value());
            out.Put("-->");
            return false;
          case pugi::node_pi:
            out.Put("<?");
            out.Put(node.name());
            if (*node.value() != '\0') {
              out.Put(" ");
              out.Put(node.value());
            }
            out.Put("?>");
            return false;
          default:
            return false;
        }
      },
      [&](pugi::xml_node node) {
        if (node.type() == pugi::node_element && !IsHolder(node) && node.first_child() &&
            !out.failed()) {
          out.Put("</");
          out.Put(node.name());
          out.Put(">");
        }
      });
}

}  // namespace

// The parser's document and everything around it: the bytes written to the stream, the
// compiled patterns, and earlier trees that handles may still point into.
class XmlDocumentState {
 public:
  XmlDocumentState() : stream_(this), current_(std::make_unique<Tree>()) {}

  // Loads the bytes written to the stream since the last load, if any.
  void Sync() {
    if (pending_size_ == 0) return;
    const size_t size = pending_size_;
    pending_size_ = 0;
    pending_capacity_ = 0;
    // Give back the spare capacity of the geometric growth before the tree is built on it.
    if (char* shrunk = static_cast<char*>(std::realloc(pending_.get(), size))) {
      pending_.release();
      pending_.reset(shrunk);
    }
    Load(std::move(pending_), size, pugi::encoding_auto);
  }

  // Replaces the content with the parse of `text` (owned from here on).
  bool Load(Bytes text, size_t size, pugi::xml_encoding encoding) {
    auto tree = std::make_unique<Tree>();
    error_.clear();
    if (size == 0) {
      error_ = "No document element";
    } else {
      tree->text = std::move(text);
      const pugi::xml_parse_result result =
          tree->doc.load_buffer_inplace(tree->text.get(), size, kParseOptions, encoding);
      if (!result) {
        error_ = std::string(result.description()) + " at offset " + std::to_string(result.offset);
      } else {
        int elements = 0;
        for (pugi::xml_node child : tree->doc.children()) {
          if (child.type() == pugi::node_doctype) error_ = "DOCTYPE is not allowed";
          if (child.type() == pugi::node_element) ++elements;
        }
        if (error_.empty() && elements != 1) error_ = "Not exactly one document element";
      }
      if (!error_.empty()) {
        tree->doc.reset();
        tree->text.reset();
      }
    }
    // Handles into the old tree stay valid: it is kept when any were handed out.
    if (handed_out_) retired_.push_back(std::move(current_));
    current_ = std::move(tree);
    handed_out_ = false;
    return error_.empty();
  }

  bool LoadText(std::string_view utf8) {
    pending_.reset();
    pending_size_ = pending_capacity_ = 0;
    Bytes copy(static_cast<char*>(std::malloc(utf8.size() + 1)));
    if (copy == nullptr) return Load(nullptr, 0, pugi::encoding_utf8);
    std::memcpy(copy.get(), utf8.data(), utf8.size());
    return Load(std::move(copy), utf8.size(), pugi::encoding_utf8);
  }

  HRESULT Append(const void* data, ULONG size, ULONG* written) {
    if (written != nullptr) *written = 0;
    if (size == 0) return S_OK;
    if (data == nullptr) return E_POINTER;
    if (pending_size_ + size > pending_capacity_) {
      size_t capacity = std::max(pending_capacity_ * 2, kFirstStreamCapacity);
      while (capacity < pending_size_ + size) capacity *= 2;
      char* grown = static_cast<char*>(std::realloc(pending_.get(), capacity));
      if (grown == nullptr) return E_OUTOFMEMORY;
      pending_.release();
      pending_.reset(grown);
      pending_capacity_ = capacity;
    }
    std::memcpy(pending_.get() + pending_size_, data, size);
    pending_size_ += size;
    if (written != nullptr) *written = size;
    return S_OK;
  }

  pugi::xml_document& doc() { return current_->doc; }
  // Marks the current tree as reachable from a handle.
  pugi::xml_document& HandOut() {
    handed_out_ = true;
    return current_->doc;
  }
  const std::string& error() const { return error_; }
  IStream* stream() { return &stream_; }

  // The compiled pattern; null when it is not valid XPath. Compiled once per document.
  const pugi::xpath_query* Query(const std::string& pattern) {
    auto found = queries_.find(pattern);
    if (found != queries_.end()) return found->second.get();
    std::unique_ptr<pugi::xpath_query> query;
    if (pattern.find('\0') == std::string::npos) {
      try {
        query = std::make_unique<pugi::xpath_query>(pattern.c_str());
      } catch (...) {
        query.reset();
      }
    }
    return queries_.emplace(pattern, std::move(query)).first->second.get();
  }

 private:
  // The document's IStream: not reference-counted, owned by the state.
  class Stream final : public IStream {
   public:
    explicit Stream(XmlDocumentState* state) : state_(state) {}
    HRESULT QueryInterface(REFIID riid, void** object) override {
      if (object == nullptr) return E_POINTER;
      if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_ISequentialStream) ||
          IsEqualIID(riid, IID_IStream)) {
        *object = static_cast<IStream*>(this);
        return S_OK;
      }
      *object = nullptr;
      return E_NOINTERFACE;
    }
    ULONG AddRef() override { return 1; }
    ULONG Release() override { return 1; }
    HRESULT Read(void*, ULONG, ULONG*) override { return E_NOTIMPL; }
    HRESULT Write(const void* data, ULONG size, ULONG* written) override {
      return state_->Append(data, size, written);
    }
    HRESULT Seek(LARGE_INTEGER, DWORD, ULARGE_INTEGER*) override { return E_NOTIMPL; }
    HRESULT SetSize(ULARGE_INTEGER) override { return E_NOTIMPL; }
    HRESULT CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*, ULARGE_INTEGER*) override {
      return E_NOTIMPL;
    }
    HRESULT Commit(DWORD) override {
      state_->Sync();
      return state_->error().empty() ? S_OK : E_FAIL;
    }
    HRESULT Revert() override { return E_NOTIMPL; }
    HRESULT LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return E_NOTIMPL; }
    HRESULT UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return E_NOTIMPL; }
    HRESULT Stat(STATSTG*, DWORD) override { return E_NOTIMPL; }
    HRESULT Clone(IStream**) override { return E_NOTIMPL; }

   private:
    XmlDocumentState* state_;
  };

  // A parsed tree and the text it was parsed in place from (which must outlive it).
  struct Tree {
    Bytes text;
    pugi::xml_document doc;
  };

  Stream stream_;
  Bytes pending_;
  size_t pending_size_ = 0;
  size_t pending_capacity_ = 0;
  std::unique_ptr<Tree> current_;
  std::vector<std::unique_ptr<Tree>> retired_;
  bool handed_out_ = false;
  std::string error_;
  std::unordered_map<std::string, std::unique_ptr<pugi::xpath_query>> queries_;
};

namespace {

pugi::xml_node NodeOf(const XmlNode& handle) {
  if (!handle || handle.is_attribute()) return pugi::xml_node();
  handle.document()->Sync();
  return pugi::xml_node(static_cast<pugi::xml_node_struct*>(handle.handle()));
}

pugi::xml_attribute AttributeOf(const XmlNode& handle) {
  if (!handle || !handle.is_attribute()) return pugi::xml_attribute();
  handle.document()->Sync();
  return pugi::xml_attribute(static_cast<pugi::xml_attribute_struct*>(handle.handle()));
}

XmlNode Wrap(const std::shared_ptr<XmlDocumentState>& state, pugi::xml_node node) {
  return node ? XmlNode(state, node.internal_object()) : XmlNode();
}

XmlNode Wrap(const std::shared_ptr<XmlDocumentState>& state, const pugi::xpath_node& found) {
  if (found.attribute()) return XmlNode(state, found.attribute().internal_object(), true);
  return Wrap(state, found.node());
}

bool IsText(pugi::xml_node node) {
  return node.type() == pugi::node_pcdata || node.type() == pugi::node_cdata;
}

}  // namespace

XmlNodeType XmlNode::type() const {
  if (AttributeOf(*this)) return XmlNodeType::kAttribute;
  switch (NodeOf(*this).type()) {
    case pugi::node_null:
      return XmlNodeType::kNone;
    case pugi::node_document:
      return XmlNodeType::kDocument;
    case pugi::node_element:
      return XmlNodeType::kElement;
    case pugi::node_pcdata:
    case pugi::node_cdata:
      return XmlNodeType::kText;
    default:
      return XmlNodeType::kOther;
  }
}

std::wstring XmlNode::name() const {
  if (pugi::xml_attribute attribute = AttributeOf(*this)) return Utf8ToWide(attribute.name());
  pugi::xml_node node = NodeOf(*this);
  if (node.type() != pugi::node_element && node.type() != pugi::node_pi) return {};
  return Utf8ToWide(node.name());
}

std::wstring XmlNode::value() const {
  if (pugi::xml_attribute attribute = AttributeOf(*this)) return Utf8ToWide(attribute.value());
  pugi::xml_node node = NodeOf(*this);
  if (node.type() == pugi::node_element || node.type() == pugi::node_document) return {};
  return Utf8ToWide(node.value());
}

bool XmlNode::SetValue(std::wstring_view value) {
  const std::string utf8 = WideToUtf8(value);
  if (pugi::xml_attribute attribute = AttributeOf(*this)) return attribute.set_value(utf8.c_str());
  pugi::xml_node node = NodeOf(*this);
  if (!IsText(node) && node.type() != pugi::node_comment) return false;
  return node.set_value(utf8.c_str());
}

std::wstring XmlNode::text() const {
  if (pugi::xml_attribute attribute = AttributeOf(*this)) return Utf8ToWide(attribute.value());
  std::string text;
  const pugi::xml_node root = NodeOf(*this);
  if (!root) return {};
  Walk(
      root,
      [&](pugi::xml_node node) {
        if (IsText(node)) text += node.value();
        return (node.type() == pugi::node_element && !IsHolder(node)) ||
               node.type() == pugi::node_document;
      },
      [](pugi::xml_node) {});
  return Utf8ToWide(text);
}

bool XmlNode::SetText(std::wstring_view text) {
  if (AttributeOf(*this) || IsText(NodeOf(*this))) return SetValue(text);
  pugi::xml_node node = NodeOf(*this);
  if (node.type() != pugi::node_element) return false;
  while (pugi::xml_node child = node.first_child()) Detach(child);
  if (text.empty()) return true;
  return node.append_child(pugi::node_pcdata).set_value(WideToUtf8(text).c_str());
}

XmlNode XmlNode::FirstChild() const {
  pugi::xml_node child = NodeOf(*this).first_child();
  while (IsHolder(child)) child = child.next_sibling();
  return Wrap(document_, child);
}

XmlNode XmlNode::Parent() const {
  const pugi::xml_node parent = NodeOf(*this).parent();
  return IsHolder(parent) ? XmlNode() : Wrap(document_, parent);
}

std::optional<std::wstring> XmlNode::Attribute(std::wstring_view name) const {
  pugi::xml_node node = NodeOf(*this);
  if (node.type() != pugi::node_element) return std::nullopt;
  const pugi::xml_attribute attribute = node.attribute(WideToUtf8(name).c_str());
  if (!attribute) return std::nullopt;
  return Utf8ToWide(attribute.value());
}

bool XmlNode::SetAttribute(std::wstring_view name, std::wstring_view value) {
  pugi::xml_node node = NodeOf(*this);
  const std::string utf8_name = WideToUtf8(name);
  if (node.type() != pugi::node_element || !IsName(utf8_name)) return false;
  pugi::xml_attribute attribute = node.attribute(utf8_name.c_str());
  if (!attribute) attribute = node.append_attribute(utf8_name.c_str());
  return attribute.set_value(WideToUtf8(value).c_str());
}

std::optional<std::vector<XmlNode>> XmlNode::Select(std::wstring_view pattern) const {
  const pugi::xml_node context = NodeOf(*this);
  if (!context) return std::nullopt;
  const pugi::xpath_query* query = document_->Query(WideToUtf8(pattern));
  if (query == nullptr) return std::nullopt;
  try {
    pugi::xpath_node_set found = query->evaluate_node_set(context);
    found.sort();
    const bool show_detached = InHolder(context);
    std::vector<XmlNode> nodes;
    nodes.reserve(found.size());
    for (const pugi::xpath_node& match : found) {
      const pugi::xml_node owner = match.attribute() ? match.parent() : match.node();
      if (!show_detached && InHolder(owner)) continue;
      nodes.push_back(Wrap(document_, match));
    }
    return nodes;
  } catch (...) {
    return std::nullopt;  // not a node-set pattern, or out of memory
  }
}

XmlNode XmlNode::SelectSingle(std::wstring_view pattern) const {
  const pugi::xml_node context = NodeOf(*this);
  if (!context) return {};
  const pugi::xpath_query* query = document_->Query(WideToUtf8(pattern));
  if (query == nullptr) return {};
  try {
    const pugi::xpath_node first = query->evaluate_node(context);
    const pugi::xml_node owner = first.attribute() ? first.parent() : first.node();
    if (!InHolder(owner) || InHolder(context)) return Wrap(document_, first);
  } catch (...) {
    return {};
  }
  // The first match is a detached node: look further.
  auto all = Select(pattern);
  return all && !all->empty() ? all->front() : XmlNode();
}

XmlNode XmlNode::AppendChild(const XmlNode& child) {
  pugi::xml_node parent = NodeOf(*this);
  pugi::xml_node node = NodeOf(child);
  if (!node || (parent.type() != pugi::node_element && parent.type() != pugi::node_document)) {
    return {};
  }
  switch (node.type()) {
    case pugi::node_element:
    case pugi::node_pcdata:
    case pugi::node_cdata:
    case pugi::node_comment:
    case pugi::node_pi:
      break;
    default:
      return {};
  }
  if (parent.type() == pugi::node_document) {
    // A document has one element, and no text.
    if (IsText(node)) return {};
    for (pugi::xml_node other : parent.children()) {
      if (other.type() == pugi::node_element && !IsHolder(other) && node.type() == other.type()) {
        return {};
      }
    }
  }
  if (node.type() == pugi::node_element) DeclareInScope(node, node.parent());
  pugi::xml_node placed;
  if (parent.root() == node.root()) {
    placed = parent.append_move(node);  // refuses a node that is this one or an ancestor
  } else {
    placed = parent.append_copy(node);
    if (placed) Detach(node);
  }
  DropRedundantDeclarations(placed);
  return Wrap(document_, placed);
}

bool XmlNode::RemoveChild(const XmlNode& child) {
  pugi::xml_node parent = NodeOf(*this);
  pugi::xml_node node = NodeOf(child);
  if (!parent || !node || node.parent() != parent || IsHolder(node)) return false;
  Detach(node);
  return true;
}

XmlNode XmlNode::Clone(bool deep) const {
  pugi::xml_node node = NodeOf(*this);
  if (node.type() == pugi::node_null || node.type() == pugi::node_document) return {};
  pugi::xml_node copy;
  if (deep || node.type() != pugi::node_element) {
    copy = Holder(node).append_copy(node);
  } else {
    copy = Holder(node).append_child(node.name());
    for (pugi::xml_attribute attribute : node.attributes()) copy.append_copy(attribute);
  }
  if (copy.type() == pugi::node_element) DeclareInScope(copy, node.parent());
  return Wrap(document_, copy);
}

std::wstring XmlNode::Xml() const {
  if (pugi::xml_attribute attribute = AttributeOf(*this)) {
    Emitter out;
    out.Put(attribute.name());
    out.Put("=\"");
    out.PutEscaped(attribute.value(), true);
    out.Put("\"");
    return Utf8ToWide(out.text());
  }
  pugi::xml_node node = NodeOf(*this);
  if (!node) return {};
  Emitter out;
  Serialize(node, MissingDeclarations(node, node.parent()), out);
  return Utf8ToWide(out.text());
}

XmlDocument::XmlDocument() : state_(std::make_shared<XmlDocumentState>()) {}
XmlDocument::~XmlDocument() = default;

bool XmlDocument::LoadXml(std::wstring_view text) { return state_->LoadText(WideToUtf8(text)); }

IStream* XmlDocument::stream() { return state_->stream(); }

const std::string& XmlDocument::load_error() {
  state_->Sync();
  return state_->error();
}

XmlNode XmlDocument::Root() {
  state_->Sync();
  return Wrap(state_, state_->HandOut());
}

XmlNode XmlDocument::CreateElement(std::wstring_view qualified_name,
                                   std::wstring_view namespace_uri) {
  state_->Sync();
  const std::string name = WideToUtf8(qualified_name);
  if (!IsName(name) || PrefixOf(name) == "xmlns") return {};
  pugi::xml_node element = Holder(state_->HandOut()).append_child(name.c_str());
  if (!namespace_uri.empty()) {
    element.append_attribute(DeclarationName(PrefixOf(name)).c_str())
        .set_value(WideToUtf8(namespace_uri).c_str());
  }
  return Wrap(state_, element);
}

bool XmlDocument::Save(IStream* destination) {
  if (destination == nullptr) return false;
  state_->Sync();
  Emitter out(destination);
  out.Put("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n");
  Serialize(state_->doc(), {}, out);
  out.Flush();
  return !out.failed();
}

}  // namespace calendar_mirrow_addin::platform
