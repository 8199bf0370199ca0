#include "port/XmlElements.h"

#include <pugixml.hpp>

#include <algorithm>

namespace port {
namespace {

// The 1-based line of byte `offset` of `text`.
size_t LineAt(const std::string& text, ptrdiff_t offset) {
    const auto end = text.begin() + std::clamp<ptrdiff_t>(offset, 0, std::ssize(text));
    return static_cast<size_t>(std::count(text.begin(), end, '\n')) + 1;
}

} // namespace

bool ReadXmlElements(const std::string& text, const std::string& tag,
                     std::vector<XmlElement>& elements, XmlError& error) {
    elements.clear();
    pugi::xml_document document;
    const pugi::xml_parse_result parsed = document.load_buffer(text.data(), text.size());
    if (!parsed) {
        error = {LineAt(text, parsed.offset), parsed.description()};
        return false;
    }
    const std::string query = "//" + tag;
    for (const pugi::xpath_node& node : document.select_nodes(query.c_str())) {
        XmlElement element{LineAt(text, node.node().offset_debug()), {}};
        for (const pugi::xml_attribute& a : node.node().attributes())
            element.attributes.emplace(a.name(), a.value());
        elements.push_back(std::move(element));
    }
    return true;
}

} // namespace port
