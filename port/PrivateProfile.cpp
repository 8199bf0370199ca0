// Private-profile files, one implementation for every platform so the settings
// file reads and changes alike everywhere: the file is parsed on every call
// and rewritten whole on every write.
#include "port/PrivateProfile.h"

#include "port/FileRewrite.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace port {
namespace {

constexpr const char* kBlanks = " \t\r\v\f";

std::string_view Trim(std::string_view s) {
    const auto first = s.find_first_not_of(kBlanks);
    if (first == std::string_view::npos)
        return {};
    const auto last = s.find_last_not_of(kBlanks);
    return s.substr(first, last - first + 1);
}

bool SameName(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

// One line of the file, classified once.
struct Line {
    std::string text; // as stored, without its line break
    enum Kind { Other, Section, Entry } kind = Other;
    std::string name;  // section name or key name, trimmed
    std::string value; // entry value, trimmed and unquoted
};

Line Classify(std::string text) {
    Line line;
    line.text = std::move(text);
    const std::string_view t = Trim(line.text);
    if (t.empty() || t.front() == ';')
        return line;
    if (t.front() == '[') {
        const auto close = t.find(']');
        line.kind = Line::Section;
        line.name =
            std::string(Trim(t.substr(1, close == std::string_view::npos ? t.npos : close - 1)));
        return line;
    }
    const auto eq = t.find('=');
    line.kind = Line::Entry;
    line.name = std::string(Trim(t.substr(0, eq)));
    if (eq != std::string_view::npos) {
        std::string_view v = Trim(t.substr(eq + 1));
        if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
            v = v.substr(1, v.size() - 2);
        line.value = std::string(v);
    }
    return line;
}

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// The file's lines, and whether it starts with a UTF-8 byte-order mark, which
// is not part of the first line and is written back in front of the file.
struct Document {
    bool byteOrderMark = false;
    std::vector<Line> lines;
};

Document Parse(std::string_view text) {
    Document document;
    if (text.substr(0, kByteOrderMark.size()) == kByteOrderMark) {
        document.byteOrderMark = true;
        text.remove_prefix(kByteOrderMark.size());
    }
    while (!text.empty()) {
        const auto end = text.find('\n');
        std::string_view line = text.substr(0, end);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        document.lines.push_back(Classify(std::string(line)));
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    }
    return document;
}

std::string Render(const Document& document) {
    std::string text(document.byteOrderMark ? kByteOrderMark : std::string_view());
    for (const auto& line : document.lines) {
        text += line.text;
        text += "\r\n";
    }
    return text;
}

std::vector<Line> Load(const char* fileName) {
    std::string text;
    if (!ReadSharedFile(fileName, text, kMaxProfileBytes))
        return {};
    return Parse(text).lines;
}

// Calls `visit(index)` for every line that belongs to a section named `section`.
template <typename Visit>
void ForEachInSection(const std::vector<Line>& lines, std::string_view section, Visit visit) {
    bool inside = false;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].kind == Line::Section)
            inside = SameName(lines[i].name, section);
        else if (inside)
            visit(i);
    }
}

uint32_t CopyValue(std::string_view value, char* buffer, uint32_t size) {
    if (size == 0)
        return 0;
    const uint32_t n = static_cast<uint32_t>(std::min<size_t>(value.size(), size - 1));
    std::copy_n(value.data(), n, buffer); // an empty value may have no data pointer
    buffer[n] = '\0';
    return n;
}

uint32_t CopyList(const std::vector<std::string>& names, char* buffer, uint32_t size) {
    if (size == 0)
        return 0;
    if (size == 1) {
        buffer[0] = '\0';
        return 0;
    }
    std::string list;
    for (const auto& name : names) {
        list += name;
        list += '\0';
    }
    if (list.size() + 1 <= size) {
        std::memcpy(buffer, list.data(), list.size());
        buffer[list.size()] = '\0';
        return static_cast<uint32_t>(list.size());
    }
    std::memcpy(buffer, list.data(), size - 2);
    buffer[size - 2] = '\0';
    buffer[size - 1] = '\0';
    return size - 2;
}

void AddUnique(std::vector<std::string>& names, const std::string& name) {
    for (const auto& known : names)
        if (SameName(known, name))
            return;
    names.push_back(name);
}

// Sets or removes one entry, or removes a section, in `lines`; Unchanged when
// there was nothing to remove.
Edit Apply(std::vector<Line>& lines, std::string_view wanted, const char* key, const char* value) {
    if (!key) {
        bool inside = false;
        std::erase_if(lines, [&](const Line& line) {
            if (line.kind == Line::Section)
                inside = SameName(line.name, wanted);
            return inside;
        });
        return Edit::Write;
    }

    const std::string_view keyName = Trim(key);
    std::ptrdiff_t existing = -1;
    std::ptrdiff_t lastOfSection = -1; // the last non-blank line of the first matching section
    bool sectionFound = false;
    bool inside = false;
    bool inFirst = false;
    for (size_t i = 0; i < lines.size(); ++i) {
        const Line& line = lines[i];
        if (line.kind == Line::Section) {
            inside = SameName(line.name, wanted);
            inFirst = inside && !sectionFound;
            if (inFirst) {
                sectionFound = true;
                lastOfSection = static_cast<std::ptrdiff_t>(i);
            }
            continue;
        }
        if (!inside)
            continue;
        if (existing < 0 && line.kind == Line::Entry && SameName(line.name, keyName))
            existing = static_cast<std::ptrdiff_t>(i);
        if (inFirst && !Trim(line.text).empty())
            lastOfSection = static_cast<std::ptrdiff_t>(i);
    }

    const std::string entry = std::string(keyName) + "=" + (value ? value : "");
    if (existing >= 0) {
        if (value)
            lines[static_cast<size_t>(existing)] = Classify(entry);
        else
            lines.erase(lines.begin() + existing);
    } else if (!value) {
        return Edit::Unchanged;
    } else if (sectionFound) {
        lines.insert(lines.begin() + lastOfSection + 1, Classify(entry));
    } else {
        lines.push_back(Classify("[" + std::string(wanted) + "]"));
        lines.push_back(Classify(entry));
    }
    return Edit::Write;
}

} // namespace

uint32_t GetPrivateProfileString(const char* section, const char* key, const char* defaultValue,
                                 char* buffer, uint32_t size, const char* fileName) {
    if (!buffer || !fileName)
        return 0;
    const std::vector<Line> lines = Load(fileName);
    std::vector<std::string> names;
    if (!section) {
        for (const auto& line : lines)
            if (line.kind == Line::Section)
                AddUnique(names, line.name);
        return CopyList(names, buffer, size);
    }
    if (!key) {
        ForEachInSection(lines, Trim(section), [&](size_t i) {
            if (lines[i].kind == Line::Entry)
                AddUnique(names, lines[i].name);
        });
        return CopyList(names, buffer, size);
    }
    const Line* found = nullptr;
    ForEachInSection(lines, Trim(section), [&](size_t i) {
        if (!found && lines[i].kind == Line::Entry && SameName(lines[i].name, Trim(key)))
            found = &lines[i];
    });
    if (found)
        return CopyValue(found->value, buffer, size);
    std::string_view fallback = defaultValue ? defaultValue : "";
    const auto last = fallback.find_last_not_of(' ');
    fallback = last == std::string_view::npos ? std::string_view() : fallback.substr(0, last + 1);
    return CopyValue(fallback, buffer, size);
}

bool WritePrivateProfileString(const char* section, const char* key, const char* value,
                               const char* fileName) {
    if (!section || !fileName || !IsStorableProfileText(section) || !IsStorableProfileText(key) ||
        !IsStorableProfileText(value))
        return false;
    const std::string_view wanted = Trim(section);
    return RewriteExclusively(
        fileName,
        [&](std::string& text) {
            Document document = Parse(text);
            const Edit what = Apply(document.lines, wanted, key, value);
            if (what == Edit::Write)
                text = Render(document);
            return what;
        },
        kMaxProfileBytes);
}

bool WritePrivateProfileStrings(const char* section,
                                const std::vector<std::pair<std::string, std::string>>& entries,
                                const char* fileName) {
    if (!section || !fileName || !IsStorableProfileText(section))
        return false;
    for (const auto& [key, value] : entries)
        if (!IsStorableProfileText(key.c_str()) || !IsStorableProfileText(value.c_str()))
            return false;
    const std::string_view wanted = Trim(section);
    return RewriteExclusively(
        fileName,
        [&](std::string& text) {
            Document document = Parse(text);
            for (const auto& [key, value] : entries)
                Apply(document.lines, wanted, key.c_str(), value.c_str());
            text = Render(document);
            return Edit::Write;
        },
        kMaxProfileBytes);
}

} // namespace port
