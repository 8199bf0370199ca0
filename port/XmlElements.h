// Reading the elements of one name, with their attributes and lines, from an
// XML document held in memory: on Windows through the platform's SAX reader,
// elsewhere through pugixml.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <vector>

namespace port {

// Attribute name to value (UTF-8).
using XmlAttributes = std::map<std::string, std::string>;

struct XmlElement {
    size_t line = 0; // 1-based line of the element's start tag
    XmlAttributes attributes;
};

// Why a document was refused: the parser's own description and the 1-based
// line where it stopped.
struct XmlError {
    size_t line = 0;
    std::string description;
};

// Parses `text` as XML and gives every element named `tag`, at any depth, in
// document order. False when the text is not well-formed XML; `elements` is
// then left empty and `error` says why.
bool ReadXmlElements(const std::string& text, const std::string& tag,
                     std::vector<XmlElement>& elements, XmlError& error);

} // namespace port
