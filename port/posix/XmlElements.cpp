#include "port/XmlElements.h"

#include <pugixml.hpp>

namespace port {

bool ReadXmlElements(const std::string& path, const std::string& tag,
                     std::vector<XmlAttributes>& elements) {
    elements.clear();
    pugi::xml_document document;
    if (!document.load_file(path.c_str()))
        return false;
    const std::string query = "//" + tag;
    for (const pugi::xpath_node& node : document.select_nodes(query.c_str())) {
        XmlAttributes attributes;
        for (const pugi::xml_attribute& a : node.node().attributes())
            attributes.emplace(a.name(), a.value());
        elements.push_back(std::move(attributes));
    }
    return true;
}

} // namespace port
