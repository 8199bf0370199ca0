// Reading an XML file's elements of one name with their attributes: on
// Windows through the platform's XML parser, elsewhere through pugixml.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace port {

// Attribute name to value (UTF-8).
using XmlAttributes = std::map<std::string, std::string>;

// Loads `path` as XML and gives the attributes of every element named `tag`,
// at any depth, in document order. False when the file cannot be read or is
// not well-formed XML; `elements` is then left empty.
bool ReadXmlElements(const std::string& path, const std::string& tag,
                     std::vector<XmlAttributes>& elements);

} // namespace port
