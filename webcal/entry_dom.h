#pragma once

// The rules every reader and writer of entries follows on the DOM: patterns match
// qualified names as written, children are found or created in one way, and values are
// read with the same results (S_FALSE for "not there").

#include <string>
#include <string_view>

#include "base/hresult.h"
#include "platform/xml.h"

namespace calendar_mirrow_addin {

// Selects the children of `parent` matching `name`. With exactly one match, or when an
// attribute name is given, takes the first element whose attribute equals the value
// (exactly); with no attribute name and two or more matches, takes nothing. When nothing
// is taken: with `create`, a new element `name` in `namespace_uri` is appended to
// `parent` (with the attribute set when one is named); without, E_FAIL.
HRESULT FindOrCreateChild(platform::XmlDocument* document, const platform::XmlNode& parent,
                          std::wstring_view name, std::wstring_view namespace_uri,
                          std::wstring_view attribute_name, std::wstring_view attribute_value,
                          bool create, platform::XmlNode* child);

// Sets an attribute (no namespace): replaces an existing one, else adds it after the others.
HRESULT SetAttribute(const platform::XmlNode& element, std::wstring_view name,
                     std::wstring_view value);

// The markup of a node, without empty default-namespace declarations; text content that
// holds the same characters is left as it is.
std::wstring GetNodeXml(const platform::XmlNode& node);

// The text of the first node matching `pattern`: a text node's value, else the value of
// the element's first child, which must be text (else E_INVALIDARG). S_FALSE when nothing
// matches or the element is empty.
HRESULT GetChildText(const platform::XmlNode& node, std::wstring_view pattern,
                     std::wstring* text);
// The value of attribute `name` of the first node matching `pattern`; S_FALSE when no node
// matches or it has no such attribute.
HRESULT GetChildAttribute(const platform::XmlNode& node, std::wstring_view pattern,
                          std::wstring_view name, std::wstring* value);
// The value of the first node matched by a pattern ending in an attribute step; S_FALSE
// when nothing matches.
HRESULT GetPatternValue(const platform::XmlNode& node, std::wstring_view pattern,
                        std::wstring* value);

// The last segment of a URL path or an entry address: trailing "/" removed, then what
// follows the last "/" (all of it when there is none).
std::wstring LastPathSegment(std::wstring_view path);

}  // namespace calendar_mirrow_addin
