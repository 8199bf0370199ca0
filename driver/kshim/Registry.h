// A small registry: keys named by their full path (case-insensitive), each
// holding typed values. Drivers read it through RtlQueryRegistryValues and
// IoOpenDeviceRegistryKey/ZwQueryValueKey; tests fill it.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kshim {

struct RegistryValue {
    uint32_t type = 0;
    std::vector<uint8_t> data;
};

class Registry {
public:
    // Paths use backslashes, e.g. "\\REGISTRY\\Machine\\System\\...". Never block.
    void SetDword(const std::string& key, const std::string& name, uint32_t value);
    void SetString(const std::string& key, const std::string& name, const std::string& value);
    void SetValue(const std::string& key, const std::string& name, RegistryValue value);
    void CreateKey(const std::string& key);
    void DeleteValue(const std::string& key, const std::string& name);
    void DeleteKey(const std::string& key);
    bool KeyExists(const std::string& key) const;
    std::optional<RegistryValue> Get(const std::string& key, const std::string& name) const;
    // Every query fails with STATUS_INSUFFICIENT_RESOURCES while set.
    void FailQueries(bool fail);
    bool QueriesFail() const;

private:
    static std::string Fold(const std::string& text);
    mutable std::mutex lock_;
    std::map<std::string, std::map<std::string, RegistryValue>> keys_;
    bool fail_ = false;
};

// UTF-16 text of the kernel to narrow text (code units above 0x7F become '?').
std::string Narrow(const char16_t* text, size_t units);
std::u16string Widen(std::string_view text);

} // namespace kshim
