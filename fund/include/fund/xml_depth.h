// fund/xml_depth.h - how deep the elements of an XML text nest, counted on
// the raw text.
//
// A recursive XML parser (TinyXML) descends once per level: a small file
// nested a few hundred thousand deep runs it out of stack.  Files read from
// disk are measured with this first, and refused when they nest deeper
// than their kind ever does.

#ifndef FUND_XML_DEPTH_H
#define FUND_XML_DEPTH_H

#include <cstddef>
#include <string_view>

namespace fund {

// The deepest nesting of elements in `text`, or `limit` + 1 as soon as it
// goes beyond `limit`.  Comments, CDATA sections, processing instructions
// and declarations do not count, nor do '<' and '>' inside quoted attribute
// values; an empty element (<a/>) does not open a level.  Malformed text
// is measured as far as it goes (the parser reports it afterwards).
size_t xml_nesting_depth(std::string_view text, size_t limit);

}  // namespace fund

#endif  // FUND_XML_DEPTH_H
