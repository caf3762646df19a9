// A thin layer over MSXML for the service's documents: build a tree, read one back, and the
// reference counting of the DOM objects handled by value types.
#pragma once

#include <windows.h>
#include <msxml2.h>
#include <string>
#include <vector>

// Owning COM pointer: constructing from a raw pointer takes over its reference.
template <class T>
class ComRef {
 public:
  ComRef() = default;
  explicit ComRef(T* p) : p_(p) {}
  ComRef(const ComRef& o) : p_(o.p_) { if (p_) p_->AddRef(); }
  ComRef(ComRef&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
  ComRef& operator=(ComRef o) noexcept { T* t = p_; p_ = o.p_; o.p_ = t; return *this; }
  ~ComRef() { if (p_) p_->Release(); }
  T* get() const { return p_; }
  T* operator->() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  // Releases what is held and hands out the slot for an out parameter.
  T** put() { if (p_) { p_->Release(); p_ = nullptr; } return &p_; }
  T* detach() { T* t = p_; p_ = nullptr; return t; }

 private:
  T* p_ = nullptr;
};

class XmlElement {
 public:
  XmlElement() = default;
  explicit XmlElement(ComRef<IXMLDOMElement> element) : element_(std::move(element)) {}

  explicit operator bool() const { return static_cast<bool>(element_); }
  IXMLDOMElement* get() const { return element_.get(); }
  std::wstring Name() const;

  // A new last child element; an empty element when the DOM refuses.
  XmlElement AppendChild(const wchar_t* name);
  void SetAttribute(const wchar_t* name, const std::wstring& value);
  bool GetAttribute(const wchar_t* name, std::wstring* value) const;
  bool HasAttribute(const wchar_t* name) const;
  std::vector<std::wstring> AttributeNames() const;
  std::wstring Text() const;
  void SetText(const std::wstring& text);

  // Child elements in document order, all or those with the given name.
  std::vector<XmlElement> Children(const wchar_t* name = nullptr) const;
  XmlElement FirstChild(const wchar_t* name) const;

 private:
  ComRef<IXMLDOMElement> element_;
};

class XmlDocument {
 public:
  // A new document whose root element has the given name. Initialises COM on the calling
  // thread when nobody has yet.
  HRESULT Create(const wchar_t* root_name);
  // S_OK, or VSS_E_INVALID_XML_DOCUMENT when the text is not well-formed XML.
  HRESULT Parse(const wchar_t* text);
  HRESULT Serialize(std::wstring* out) const;
  // Serialized into a new BSTR, for documents handed to a caller.
  HRESULT SerializeBstr(BSTR* out) const;

  XmlElement Root() const;
  IXMLDOMDocument* get() const { return document_.get(); }

 private:
  HRESULT New();
  ComRef<IXMLDOMDocument> document_;
};
