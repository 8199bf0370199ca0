// The profile is read with the system's XML DOM document through COM:
// synchronous load, elements by tag name, attribute values.
#include "port/XmlElements.h"

#include <windows.h>

#include <msxml2.h>
#include <objbase.h>

namespace port {
namespace {

// Owns one COM interface pointer.
template <typename T> class ComPtr {
public:
    ComPtr() = default;
    ~ComPtr() {
        if (p_)
            p_->Release();
    }
    ComPtr(const ComPtr&) = delete;
    ComPtr& operator=(const ComPtr&) = delete;
    T** Out() { return &p_; }
    T* operator->() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }

private:
    T* p_ = nullptr;
};

// COM for the calling thread, for as long as the read lasts; a thread that
// already runs COM in another mode keeps it.
class ComScope {
public:
    ComScope() : hr_(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) {}
    ~ComScope() {
        if (SUCCEEDED(hr_))
            ::CoUninitialize();
    }
    ComScope(const ComScope&) = delete;
    ComScope& operator=(const ComScope&) = delete;
    bool Usable() const { return SUCCEEDED(hr_) || hr_ == RPC_E_CHANGED_MODE; }

private:
    HRESULT hr_;
};

class Bstr {
public:
    explicit Bstr(const std::wstring& text) : b_(::SysAllocString(text.c_str())) {}
    Bstr() = default;
    ~Bstr() { ::SysFreeString(b_); }
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    BSTR Get() const { return b_; }
    BSTR* Out() { return &b_; }

private:
    BSTR b_ = nullptr;
};

std::wstring Wide(const std::string& text) {
    if (text.empty())
        return {};
    const int n =
        ::MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(n, L'\0');
    ::MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), wide.data(), n);
    return wide;
}

std::string Utf8(const wchar_t* text) {
    if (!text || !*text)
        return {};
    const int n = ::WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string narrow(n > 0 ? n - 1 : 0, '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text, -1, narrow.data(), n, nullptr, nullptr);
    return narrow;
}

bool CreateDocument(ComPtr<IXMLDOMDocument>& document) {
    // Version 6 ships with every supported Windows; 3 is the fallback.
    for (const wchar_t* progId : {L"Msxml2.DOMDocument.6.0", L"Msxml2.DOMDocument.3.0"}) {
        CLSID clsid;
        if (FAILED(::CLSIDFromProgID(progId, &clsid)))
            continue;
        if (SUCCEEDED(::CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IXMLDOMDocument,
                                         reinterpret_cast<void**>(document.Out()))))
            return true;
    }
    return false;
}

void ReadAttributes(IXMLDOMNode* node, XmlAttributes& attributes) {
    ComPtr<IXMLDOMNamedNodeMap> map;
    if (FAILED(node->get_attributes(map.Out())) || !map)
        return;
    long count = 0;
    map->get_length(&count);
    for (long i = 0; i < count; ++i) {
        ComPtr<IXMLDOMNode> attribute;
        if (FAILED(map->get_item(i, attribute.Out())) || !attribute)
            continue;
        Bstr name;
        VARIANT value;
        ::VariantInit(&value);
        if (SUCCEEDED(attribute->get_nodeName(name.Out())) &&
            SUCCEEDED(attribute->get_nodeValue(&value)) && value.vt == VT_BSTR)
            attributes.emplace(Utf8(name.Get()), Utf8(value.bstrVal));
        ::VariantClear(&value);
    }
}

} // namespace

bool ReadXmlElements(const std::string& path, const std::string& tag,
                     std::vector<XmlAttributes>& elements) {
    elements.clear();
    ComScope com;
    ComPtr<IXMLDOMDocument> document;
    if (!com.Usable() || !CreateDocument(document))
        return false;
    document->put_async(VARIANT_FALSE);
    Bstr file(Wide(path));
    VARIANT source;
    ::VariantInit(&source);
    source.vt = VT_BSTR;
    source.bstrVal = file.Get();
    VARIANT_BOOL loaded = VARIANT_FALSE;
    if (FAILED(document->load(source, &loaded)) || loaded != VARIANT_TRUE)
        return false;
    ComPtr<IXMLDOMNodeList> nodes;
    Bstr name(Wide(tag));
    if (FAILED(document->getElementsByTagName(name.Get(), nodes.Out())) || !nodes)
        return true;
    long count = 0;
    nodes->get_length(&count);
    for (long i = 0; i < count; ++i) {
        ComPtr<IXMLDOMNode> node;
        if (FAILED(nodes->get_item(i, node.Out())) || !node)
            continue;
        XmlAttributes attributes;
        ReadAttributes(node.operator->(), attributes);
        elements.push_back(std::move(attributes));
    }
    return true;
}

} // namespace port
