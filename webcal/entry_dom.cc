#include "webcal/entry_dom.h"

#include <optional>
#include <vector>

namespace calendar_mirrow_addin {

using platform::XmlNode;
using platform::XmlNodeType;

HRESULT FindOrCreateChild(platform::XmlDocument* document, const XmlNode& parent,
                          std::wstring_view name, std::wstring_view namespace_uri,
                          std::wstring_view attribute_name, std::wstring_view attribute_value,
                          bool create, XmlNode* child) {
  if (!parent || child == nullptr) return E_POINTER;
  const std::optional<std::vector<XmlNode>> matches = parent.Select(name);
  if (!matches) return E_FAIL;

  XmlNode taken;
  if (matches->size() == 1 || !attribute_name.empty()) {
    for (const XmlNode& match : *matches) {
      if (match.type() != XmlNodeType::kElement) continue;
      if (!attribute_name.empty()) {
        const std::optional<std::wstring> value = match.Attribute(attribute_name);
        if (!value || *value != attribute_value) continue;
      }
      taken = match;
      break;
    }
  }
  if (taken) {
    *child = taken;
    return S_OK;
  }
  if (!create) return E_FAIL;
  if (document == nullptr) return E_POINTER;

  XmlNode created = document->CreateElement(name, namespace_uri);
  if (!created) return E_FAIL;
  if (!attribute_name.empty()) {
    const HRESULT hr = SetAttribute(created, attribute_name, attribute_value);
    if (hr != S_OK) return hr;
  }
  XmlNode placed = XmlNode(parent).AppendChild(created);
  if (!placed) return E_FAIL;
  *child = placed;
  return S_OK;
}

HRESULT SetAttribute(const XmlNode& element, std::wstring_view name, std::wstring_view value) {
  if (!element) return E_POINTER;
  return XmlNode(element).SetAttribute(name, value) ? S_OK : E_FAIL;
}

namespace {

bool IsSpace(wchar_t c) { return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n'; }

// Whether `markup` holds, at `pos`, an empty default-namespace declaration: white space,
// "xmlns", optional white space around "=", and an empty quoted value. Returns its length.
size_t EmptyDefaultDeclarationAt(std::wstring_view markup, size_t pos) {
  size_t i = pos;
  if (i >= markup.size() || !IsSpace(markup[i])) return 0;
  while (i < markup.size() && IsSpace(markup[i])) ++i;
  constexpr std::wstring_view kName = L"xmlns";
  if (markup.substr(i, kName.size()) != kName) return 0;
  i += kName.size();
  while (i < markup.size() && IsSpace(markup[i])) ++i;
  if (i >= markup.size() || markup[i] != L'=') return 0;
  ++i;
  while (i < markup.size() && IsSpace(markup[i])) ++i;
  if (i + 1 >= markup.size() || (markup[i] != L'"' && markup[i] != L'\'') ||
      markup[i + 1] != markup[i]) {
    return 0;
  }
  return i + 2 - pos;
}

}  // namespace

std::wstring GetNodeXml(const XmlNode& node) {
  const std::wstring markup = node.Xml();
  // One pass that knows where it is, so that the same characters in text content, in an
  // attribute value, a comment or a CDATA section are left alone.
  enum class State { kText, kTag, kValue, kComment, kCData, kOther };
  std::wstring out;
  out.reserve(markup.size());
  State state = State::kText;
  wchar_t quote = 0;
  const std::wstring_view view = markup;
  size_t i = 0;
  while (i < view.size()) {
    const wchar_t c = view[i];
    switch (state) {
      case State::kText:
        if (c == L'<') {
          if (view.substr(i, 4) == L"<!--") {
            state = State::kComment;
          } else if (view.substr(i, 9) == L"<![CDATA[") {
            state = State::kCData;
          } else if (view.substr(i, 2) == L"<?" || view.substr(i, 2) == L"<!") {
            state = State::kOther;
          } else {
            state = State::kTag;
          }
        }
        break;
      case State::kTag:
        if (c == L'"' || c == L'\'') {
          quote = c;
          state = State::kValue;
        } else if (c == L'>') {
          state = State::kText;
        } else if (!IsSpace(view[i - 1])) {
          // Tried at the first blank of a run only, so that the pass stays linear.
          if (const size_t length = EmptyDefaultDeclarationAt(view, i); length != 0) {
            i += length;
            continue;
          }
        }
        break;
      case State::kValue:
        if (c == quote) state = State::kTag;
        break;
      case State::kComment:
        if (view.substr(i, 3) == L"-->") {
          out.append(view.substr(i, 3));
          i += 3;
          state = State::kText;
          continue;
        }
        break;
      case State::kCData:
        if (view.substr(i, 3) == L"]]>") {
          out.append(view.substr(i, 3));
          i += 3;
          state = State::kText;
          continue;
        }
        break;
      case State::kOther:
        if (c == L'>') state = State::kText;
        break;
    }
    out.push_back(c);
    ++i;
  }
  return out;
}

namespace {

bool IsTextLike(const XmlNode& node) {
  const XmlNodeType type = node.type();
  return type == XmlNodeType::kText || type == XmlNodeType::kAttribute;
}

}  // namespace

HRESULT GetChildText(const XmlNode& node, std::wstring_view pattern, std::wstring* text) {
  if (!node || text == nullptr) return E_POINTER;
  const XmlNode found = node.SelectSingle(pattern);
  if (!found) return S_FALSE;
  if (IsTextLike(found)) {
    *text = found.value();
    return S_OK;
  }
  const XmlNode first = found.FirstChild();
  if (!first) return S_FALSE;
  if (first.type() != XmlNodeType::kText) return E_INVALIDARG;
  *text = first.value();
  return S_OK;
}

HRESULT GetChildAttribute(const XmlNode& node, std::wstring_view pattern, std::wstring_view name,
                          std::wstring* value) {
  if (!node || value == nullptr) return E_POINTER;
  const XmlNode found = node.SelectSingle(pattern);
  if (!found) return S_FALSE;
  std::optional<std::wstring> attribute = found.Attribute(name);
  if (!attribute) return S_FALSE;
  *value = std::move(*attribute);
  return S_OK;
}

HRESULT GetPatternValue(const XmlNode& node, std::wstring_view pattern, std::wstring* value) {
  if (!node || value == nullptr) return E_POINTER;
  const XmlNode found = node.SelectSingle(pattern);
  if (!found) return S_FALSE;
  if (!IsTextLike(found)) return E_INVALIDARG;
  *value = found.value();
  return S_OK;
}

std::wstring LastPathSegment(std::wstring_view path) {
  while (!path.empty() && path.back() == L'/') path.remove_suffix(1);
  const size_t slash = path.rfind(L'/');
  return std::wstring(slash == std::wstring_view::npos ? path : path.substr(slash + 1));
}

}  // namespace calendar_mirrow_addin
