#pragma once
// A quick reader for the plain documents the other plug-ins send: an optional declaration and
// one element tree of elements and attributes, in printable ASCII, without entity references,
// text, comments or other markup. `Parse` takes a document only when the XML library would read
// exactly the same elements and attributes from it, and refuses everything else (the caller
// then parses with the library, which decides). Elements offer the library's lookups under the
// same names, so that one walk reads either.
//
// Untrusted input: every read is bounded by the given length; the depth of nesting is capped.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace rimvault {

class PlainXmlDocument {
  public:
    // Deeper documents are refused (and left to the library).
    static constexpr size_t kMaxDepth = 32;
    // Elements with more attributes are refused (and left to the library).
    static constexpr size_t kMaxAttributes = 32;

    class Element {
      public:
        const char* Name() const { return name; }
        // As the XML library's lookups: the first child element (with that name), the next
        // sibling element (with that name), the value of the first attribute of that name
        // (only when it equals `value`, if given).
        const Element* FirstChildElement(const char* childName = nullptr) const;
        const Element* NextSiblingElement(const char* siblingName = nullptr) const;
        const char* Attribute(const char* attributeName, const char* value = nullptr) const;

        // The attributes in document order.
        size_t AttributeCount() const { return attributeCount; }
        const char* AttributeName(size_t i) const;
        const char* AttributeValue(size_t i) const;

      private:
        friend class PlainXmlDocument;
        const Element* Find(int32_t index, const char* wanted) const;

        const PlainXmlDocument* document = nullptr;
        char* name = nullptr;
        size_t nameLength = 0;
        size_t firstAttribute = 0;
        size_t attributeCount = 0;
        int32_t firstChild = -1;
        int32_t lastChild = -1;
        int32_t nextSibling = -1;
    };

    PlainXmlDocument() = default;
    PlainXmlDocument(const PlainXmlDocument&) = delete;
    PlainXmlDocument& operator=(const PlainXmlDocument&) = delete;

    // Reads `length` bytes (not NUL-terminated). False when the document is not a plain one;
    // the elements are then empty. The elements of an accepted document live until the next
    // Parse.
    bool Parse(const char* text, size_t length);

    // The root element, when its name is `name` (or any name when null).
    const Element* FirstChildElement(const char* name = nullptr) const;

  private:
    struct Attribute {
        char* name;
        size_t nameLength;
        char* value;
        size_t valueLength;
    };

    bool ParseElements(char* p, char* const end);
    // Starts a child of the innermost open element (or the root); returns its index.
    int32_t AddElement(char* name, size_t nameLength);

    std::vector<char> buffer;  // the document, with a NUL written after each name and value
    std::vector<Element> elements;
    std::vector<Attribute> attributes;
    std::vector<int32_t> open;  // elements opened and not yet closed, outermost first
};

}  // namespace rimvault
