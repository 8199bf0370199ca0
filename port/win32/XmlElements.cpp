// The document is read with the system's SAX reader through COM, fed from a
// stream of its bytes so the reader itself honours the document's encoding; its
// locator gives each element's line and the line of a fatal error.
#include "port/XmlElements.h"

#include <windows.h>

#include <msxml2.h>
#include <objbase.h>

namespace port {
namespace {

// The SAX interfaces' identifiers; the cross toolchain's import libraries do
// not carry them.
constexpr IID kSaxReaderId = {
    0xa4f96ed0, 0xf829, 0x476e, {0x81, 0xc0, 0xcd, 0xc7, 0xbd, 0x2a, 0x08, 0x02}};
constexpr IID kSaxContentHandlerId = {
    0x1545cdfa, 0x9e4e, 0x4497, {0xa8, 0xa4, 0x2b, 0xf7, 0xd0, 0x11, 0x2c, 0x44}};
constexpr IID kSaxErrorHandlerId = {
    0xa60511c4, 0xccf5, 0x479e, {0x98, 0xa3, 0xdc, 0x8d, 0xc5, 0x45, 0xb7, 0xd0}};

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
    T* Get() const { return p_; }

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

// The document's bytes as a stream in the variant the reader parses. (Handed
// over as a byte array instead, a document without a final line break was
// refused.)
class ByteStream {
public:
    explicit ByteStream(const std::string& bytes) {
        ::VariantInit(&variant_);
        HGLOBAL memory = ::GlobalAlloc(GMEM_MOVEABLE, bytes.empty() ? 1 : bytes.size());
        if (!memory)
            return;
        if (void* data = ::GlobalLock(memory)) {
            if (!bytes.empty())
                ::memcpy(data, bytes.data(), bytes.size());
            ::GlobalUnlock(memory);
        }
        IStream* stream = nullptr;
        if (FAILED(::CreateStreamOnHGlobal(memory, TRUE, &stream))) {
            ::GlobalFree(memory);
            return;
        }
        // The block may be larger than asked for; the stream ends with the bytes.
        ULARGE_INTEGER size;
        size.QuadPart = bytes.size();
        stream->SetSize(size);
        variant_.vt = VT_UNKNOWN;
        variant_.punkVal = stream;
    }
    ~ByteStream() { ::VariantClear(&variant_); }
    ByteStream(const ByteStream&) = delete;
    ByteStream& operator=(const ByteStream&) = delete;
    bool Valid() const { return variant_.vt != VT_EMPTY; }
    const VARIANT& Get() const { return variant_; }

private:
    VARIANT variant_;
};

std::string Utf8(const wchar_t* text, int length) {
    if (!text || length <= 0)
        return {};
    const int n = ::WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
    std::string narrow(n, '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text, length, narrow.data(), n, nullptr, nullptr);
    return narrow;
}

size_t LineOf(ISAXLocator* locator) {
    int line = 0;
    if (!locator || FAILED(locator->getLineNumber(&line)) || line < 1)
        return 0;
    return static_cast<size_t>(line);
}

// Collects the elements named `tag` and the first fatal error. Lives on the
// stack for one parse: reference counting is answered but owns nothing.
class Collector final : public ISAXContentHandler, public ISAXErrorHandler {
public:
    Collector(const std::wstring& tag, std::vector<XmlElement>& elements, XmlError& error)
        : tag_(tag), elements_(elements), error_(error) {}

    bool Failed() const { return failed_; }

    HRESULT WINAPI QueryInterface(REFIID id, void** out) override {
        if (id == IID_IUnknown || id == kSaxContentHandlerId)
            *out = static_cast<ISAXContentHandler*>(this);
        else if (id == kSaxErrorHandlerId)
            *out = static_cast<ISAXErrorHandler*>(this);
        else {
            *out = nullptr;
            return E_NOINTERFACE;
        }
        return S_OK;
    }
    ULONG WINAPI AddRef() override { return 1; }
    ULONG WINAPI Release() override { return 1; }

    HRESULT WINAPI putDocumentLocator(ISAXLocator* locator) override {
        locator_ = locator;
        return S_OK;
    }
    HRESULT WINAPI startElement(const wchar_t*, int, const wchar_t*, int, const wchar_t* qName,
                                int qNameLength, ISAXAttributes* attributes) override {
        if (tag_.compare(0, tag_.size(), qName, qNameLength) != 0)
            return S_OK;
        XmlElement element{LineOf(locator_), {}};
        int count = 0;
        if (attributes && SUCCEEDED(attributes->getLength(&count))) {
            for (int i = 0; i < count; ++i) {
                const wchar_t* name = nullptr;
                const wchar_t* value = nullptr;
                int nameLength = 0;
                int valueLength = 0;
                if (SUCCEEDED(attributes->getQName(i, &name, &nameLength)) &&
                    SUCCEEDED(attributes->getValue(i, &value, &valueLength)))
                    element.attributes.emplace(Utf8(name, nameLength), Utf8(value, valueLength));
            }
        }
        elements_.push_back(std::move(element));
        return S_OK;
    }
    HRESULT WINAPI fatalError(ISAXLocator* locator, const wchar_t* message, HRESULT) override {
        Record(locator, message);
        return E_FAIL;
    }
    HRESULT WINAPI error(ISAXLocator* locator, const wchar_t* message, HRESULT) override {
        Record(locator, message);
        return E_FAIL;
    }
    HRESULT WINAPI ignorableWarning(ISAXLocator*, const wchar_t*, HRESULT) override { return S_OK; }

    HRESULT WINAPI startDocument() override { return S_OK; }
    HRESULT WINAPI endDocument() override { return S_OK; }
    HRESULT WINAPI startPrefixMapping(const wchar_t*, int, const wchar_t*, int) override {
        return S_OK;
    }
    HRESULT WINAPI endPrefixMapping(const wchar_t*, int) override { return S_OK; }
    HRESULT WINAPI endElement(const wchar_t*, int, const wchar_t*, int, const wchar_t*,
                              int) override {
        return S_OK;
    }
    HRESULT WINAPI characters(const wchar_t*, int) override { return S_OK; }
    HRESULT WINAPI ignorableWhitespace(const wchar_t*, int) override { return S_OK; }
    HRESULT WINAPI processingInstruction(const wchar_t*, int, const wchar_t*, int) override {
        return S_OK;
    }
    HRESULT WINAPI skippedEntity(const wchar_t*, int) override { return S_OK; }

private:
    void Record(ISAXLocator* locator, const wchar_t* message) {
        if (failed_)
            return;
        failed_ = true;
        std::string text = message ? Utf8(message, static_cast<int>(::wcslen(message))) : "";
        // The reader's messages end with a line break; the report adds its own.
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
            text.pop_back();
        error_ = {LineOf(locator), text.empty() ? "not well-formed XML" : text};
    }

    std::wstring tag_;
    std::vector<XmlElement>& elements_;
    XmlError& error_;
    ISAXLocator* locator_ = nullptr;
    bool failed_ = false;
};

bool CreateReader(ComPtr<ISAXXMLReader>& reader) {
    // Version 6 ships with every supported Windows; 3 is the fallback.
    for (const wchar_t* progId : {L"Msxml2.SAXXMLReader.6.0", L"Msxml2.SAXXMLReader.3.0"}) {
        CLSID clsid;
        if (FAILED(::CLSIDFromProgID(progId, &clsid)))
            continue;
        if (SUCCEEDED(::CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, kSaxReaderId,
                                         reinterpret_cast<void**>(reader.Out()))))
            return true;
    }
    return false;
}

std::wstring Wide(const std::string& text) {
    const int n =
        ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(n, L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), n);
    return wide;
}

} // namespace

bool ReadXmlElements(const std::string& text, const std::string& tag,
                     std::vector<XmlElement>& elements, XmlError& error) {
    elements.clear();
    ComScope com;
    ComPtr<ISAXXMLReader> reader;
    if (!com.Usable() || !CreateReader(reader)) {
        error = {0, "the system's XML reader is not available"};
        return false;
    }
    ByteStream bytes(text);
    if (!bytes.Valid()) {
        error = {0, "out of memory"};
        return false;
    }
    Collector collector(Wide(tag), elements, error);
    reader->putContentHandler(&collector);
    reader->putErrorHandler(&collector);
    const HRESULT parsed = reader->parse(bytes.Get());
    reader->putContentHandler(nullptr);
    reader->putErrorHandler(nullptr);
    if (SUCCEEDED(parsed) && !collector.Failed())
        return true;
    elements.clear();
    if (!collector.Failed())
        error = {0, "not well-formed XML"};
    return false;
}

} // namespace port
