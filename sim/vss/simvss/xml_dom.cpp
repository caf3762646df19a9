#include "xml_dom.h"

#include <vsserror.h>

namespace {

// mingw-w64 has no msxml6.h; the class ids of the two DOM versions this service accepts.
const CLSID kDomDocument60 = {0x88d96a05, 0xf192, 0x11d4, {0xa6, 0x5f, 0x00, 0x40, 0x96, 0x32, 0x51, 0xe5}};
const CLSID kDomDocument30 = {0xf5078f32, 0xc551, 0x11d3, {0x89, 0xb9, 0x00, 0x00, 0xf8, 0x1f, 0xe2, 0x21}};
const IID kIXMLDOMDocument = {0x2933bf81, 0x7b36, 0x11d2, {0xb2, 0x0e, 0x00, 0xc0, 0x4f, 0x98, 0x3e, 0x60}};
const IID kIXMLDOMElement = {0x2933bf86, 0x7b36, 0x11d2, {0xb2, 0x0e, 0x00, 0xc0, 0x4f, 0x98, 0x3e, 0x60}};

class Bstr {
 public:
  explicit Bstr(const wchar_t* text) : b_(SysAllocString(text)) {}
  explicit Bstr(const std::wstring& text)
      : b_(SysAllocStringLen(text.data(), static_cast<UINT>(text.size()))) {}
  Bstr() = default;
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;
  ~Bstr() { SysFreeString(b_); }
  BSTR get() const { return b_; }
  BSTR* put() { SysFreeString(b_); b_ = nullptr; return &b_; }
  std::wstring str() const { return b_ ? std::wstring(b_, SysStringLen(b_)) : std::wstring(); }

 private:
  BSTR b_ = nullptr;
};

ComRef<IXMLDOMElement> AsElement(IXMLDOMNode* node) {
  ComRef<IXMLDOMElement> element;
  DOMNodeType type = NODE_INVALID;
  if (node && SUCCEEDED(node->get_nodeType(&type)) && type == NODE_ELEMENT)
    node->QueryInterface(kIXMLDOMElement, reinterpret_cast<void**>(element.put()));
  return element;
}

}  // namespace

std::wstring XmlElement::Name() const {
  Bstr name;
  if (element_) element_->get_tagName(name.put());
  return name.str();
}

XmlElement XmlElement::AppendChild(const wchar_t* name) {
  if (!element_) return XmlElement();
  ComRef<IXMLDOMDocument> document;
  if (FAILED(element_->get_ownerDocument(document.put())) || !document) return XmlElement();
  ComRef<IXMLDOMElement> child;
  Bstr tag(name);
  if (FAILED(document->createElement(tag.get(), child.put())) || !child) return XmlElement();
  ComRef<IXMLDOMNode> added;
  if (FAILED(element_->appendChild(child.get(), added.put()))) return XmlElement();
  return XmlElement(child);
}

void XmlElement::SetAttribute(const wchar_t* name, const std::wstring& value) {
  if (!element_) return;
  Bstr attribute(name);
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_BSTR;
  v.bstrVal = SysAllocStringLen(value.data(), static_cast<UINT>(value.size()));
  element_->setAttribute(attribute.get(), v);
  VariantClear(&v);
}

bool XmlElement::GetAttribute(const wchar_t* name, std::wstring* value) const {
  if (!element_) return false;
  Bstr attribute(name);
  VARIANT v;
  VariantInit(&v);
  HRESULT hr = element_->getAttribute(attribute.get(), &v);
  bool found = hr == S_OK && v.vt == VT_BSTR;
  if (found && value)
    value->assign(v.bstrVal ? v.bstrVal : L"", v.bstrVal ? SysStringLen(v.bstrVal) : 0);
  VariantClear(&v);
  return found;
}

bool XmlElement::HasAttribute(const wchar_t* name) const { return GetAttribute(name, nullptr); }

std::vector<std::wstring> XmlElement::AttributeNames() const {
  std::vector<std::wstring> names;
  ComRef<IXMLDOMNamedNodeMap> attributes;
  if (!element_ || FAILED(element_->get_attributes(attributes.put())) || !attributes) return names;
  LONG count = 0;
  attributes->get_length(&count);
  for (LONG i = 0; i < count; ++i) {
    ComRef<IXMLDOMNode> attribute;
    if (FAILED(attributes->get_item(i, attribute.put())) || !attribute) continue;
    Bstr name;
    attribute->get_nodeName(name.put());
    names.push_back(name.str());
  }
  return names;
}

std::wstring XmlElement::Text() const {
  Bstr text;
  if (element_) element_->get_text(text.put());
  return text.str();
}

void XmlElement::SetText(const std::wstring& text) {
  if (!element_) return;
  Bstr value(text);
  element_->put_text(value.get());
}

std::vector<XmlElement> XmlElement::Children(const wchar_t* name) const {
  std::vector<XmlElement> children;
  if (!element_) return children;
  ComRef<IXMLDOMNode> node;
  element_->get_firstChild(node.put());
  while (node) {
    ComRef<IXMLDOMElement> element = AsElement(node.get());
    if (element) {
      XmlElement child(element);
      if (!name || child.Name() == name) children.push_back(child);
    }
    ComRef<IXMLDOMNode> next;
    node->get_nextSibling(next.put());
    node = next;
  }
  return children;
}

XmlElement XmlElement::FirstChild(const wchar_t* name) const {
  std::vector<XmlElement> children = Children(name);
  return children.empty() ? XmlElement() : children.front();
}

HRESULT XmlDocument::New() {
  document_ = ComRef<IXMLDOMDocument>();
  HRESULT hr = CoCreateInstance(kDomDocument60, nullptr, CLSCTX_INPROC_SERVER, kIXMLDOMDocument,
                                reinterpret_cast<void**>(document_.put()));
  if (hr == CO_E_NOTINITIALIZED) {
    // A test or tool thread that never initialised COM; the service needs it for MSXML only.
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    hr = CoCreateInstance(kDomDocument60, nullptr, CLSCTX_INPROC_SERVER, kIXMLDOMDocument,
                          reinterpret_cast<void**>(document_.put()));
  }
  if (FAILED(hr))
    hr = CoCreateInstance(kDomDocument30, nullptr, CLSCTX_INPROC_SERVER, kIXMLDOMDocument,
                          reinterpret_cast<void**>(document_.put()));
  if (FAILED(hr)) return hr;
  document_->put_async(VARIANT_FALSE);
  document_->put_preserveWhiteSpace(VARIANT_FALSE);
  return S_OK;
}

HRESULT XmlDocument::Create(const wchar_t* root_name) {
  HRESULT hr = New();
  if (FAILED(hr)) return hr;
  ComRef<IXMLDOMElement> root;
  Bstr tag(root_name);
  hr = document_->createElement(tag.get(), root.put());
  if (FAILED(hr)) return hr;
  ComRef<IXMLDOMNode> added;
  return document_->appendChild(root.get(), added.put());
}

HRESULT XmlDocument::Parse(const wchar_t* text) {
  HRESULT hr = New();
  if (FAILED(hr)) return hr;
  if (!text) return VSS_E_INVALID_XML_DOCUMENT;
  Bstr source(text);
  VARIANT_BOOL ok = VARIANT_FALSE;
  hr = document_->loadXML(source.get(), &ok);
  // Malformed text answers S_FALSE with ok false, not a failure code.
  if (hr != S_OK || ok != VARIANT_TRUE || !Root()) {
    document_ = ComRef<IXMLDOMDocument>();
    return VSS_E_INVALID_XML_DOCUMENT;
  }
  return S_OK;
}

HRESULT XmlDocument::Serialize(std::wstring* out) const {
  if (!document_ || !out) return E_INVALIDARG;
  Bstr xml;
  HRESULT hr = document_->get_xml(xml.put());
  if (FAILED(hr)) return hr;
  *out = xml.str();
  return S_OK;
}

HRESULT XmlDocument::SerializeBstr(BSTR* out) const {
  if (!out) return E_INVALIDARG;
  *out = nullptr;
  if (!document_) return E_INVALIDARG;
  return document_->get_xml(out);
}

XmlElement XmlDocument::Root() const {
  if (!document_) return XmlElement();
  ComRef<IXMLDOMElement> root;
  if (FAILED(document_->get_documentElement(root.put()))) return XmlElement();
  return XmlElement(root);
}
