#include "driver/kshim/Registry.h"

#include <cctype>

namespace kshim {

std::string Registry::Fold(const std::string& text) {
    std::string folded = text;
    for (char& c : folded)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    while (!folded.empty() && folded.back() == '\\')
        folded.pop_back();
    return folded;
}

void Registry::SetDword(const std::string& key, const std::string& name, uint32_t value) {
    RegistryValue v;
    v.type = 4; // REG_DWORD
    v.data = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
              static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
    SetValue(key, name, std::move(v));
}

void Registry::SetString(const std::string& key, const std::string& name,
                         const std::string& value) {
    RegistryValue v;
    v.type = 1; // REG_SZ, stored as UTF-16 with its terminator
    for (char16_t c : Widen(value)) {
        v.data.push_back(static_cast<uint8_t>(c));
        v.data.push_back(static_cast<uint8_t>(c >> 8));
    }
    v.data.push_back(0);
    v.data.push_back(0);
    SetValue(key, name, std::move(v));
}

void Registry::SetValue(const std::string& key, const std::string& name, RegistryValue value) {
    std::lock_guard<std::mutex> guard(lock_);
    keys_[Fold(key)][Fold(name)] = std::move(value);
}

void Registry::CreateKey(const std::string& key) {
    std::lock_guard<std::mutex> guard(lock_);
    keys_[Fold(key)];
}

void Registry::DeleteValue(const std::string& key, const std::string& name) {
    std::lock_guard<std::mutex> guard(lock_);
    auto found = keys_.find(Fold(key));
    if (found != keys_.end())
        found->second.erase(Fold(name));
}

void Registry::DeleteKey(const std::string& key) {
    std::lock_guard<std::mutex> guard(lock_);
    keys_.erase(Fold(key));
}

bool Registry::KeyExists(const std::string& key) const {
    std::lock_guard<std::mutex> guard(lock_);
    return keys_.count(Fold(key)) != 0;
}

std::optional<RegistryValue> Registry::Get(const std::string& key, const std::string& name) const {
    std::lock_guard<std::mutex> guard(lock_);
    auto found = keys_.find(Fold(key));
    if (found == keys_.end())
        return std::nullopt;
    auto value = found->second.find(Fold(name));
    if (value == found->second.end())
        return std::nullopt;
    return value->second;
}

void Registry::FailQueries(bool fail) {
    std::lock_guard<std::mutex> guard(lock_);
    fail_ = fail;
}

bool Registry::QueriesFail() const {
    std::lock_guard<std::mutex> guard(lock_);
    return fail_;
}

std::string Narrow(const char16_t* text, size_t units) {
    std::string narrow;
    narrow.reserve(units);
    for (size_t i = 0; i < units; ++i)
        narrow.push_back(text[i] < 0x80 ? static_cast<char>(text[i]) : '?');
    return narrow;
}

std::u16string Widen(std::string_view text) {
    std::u16string wide;
    wide.reserve(text.size());
    for (char c : text)
        wide.push_back(static_cast<char16_t>(static_cast<unsigned char>(c)));
    return wide;
}

} // namespace kshim
