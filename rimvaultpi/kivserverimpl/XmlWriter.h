#pragma once
// Builds one outbound XML document, element by element, either straight into its compact text
// (what the plug-in posts: no document tree, no printer) or into a tinyxml2 document (for
// callers that take documents). The text is byte for byte what tinyxml2 prints compactly for
// the document built by the same calls.
//
// REQUIRES of the callers: an element's attributes and text come right after its `Open`,
// before any child element; `Close` only closes an element that is open.

#include <cstdint>
#include <string>
#include <vector>

namespace tinyxml2 {
class XMLDocument;
class XMLNode;
class XMLElement;
}  // namespace tinyxml2

namespace rimvault {

class XmlWriter {
  public:
    // Writes compact text; `Text()` gives it.
    XmlWriter();
    // Builds the elements into `document` (which must outlive the writer).
    explicit XmlWriter(tinyxml2::XMLDocument& document);

    XmlWriter(const XmlWriter&) = delete;
    XmlWriter& operator=(const XmlWriter&) = delete;

    // The standard declaration: <?xml version="1.0" encoding="UTF-8"?>
    void Declaration();
    void Open(const char* name);
    // Attribute values are escaped as attributes (" & ' < >), text as text (& < >).
    void Attribute(const char* name, const char* value);
    void Attribute(const char* name, int32_t value);
    void Attribute(const char* name, uint32_t value);
    // A null text is written as an empty one.
    void Text(const char* text);
    void Close();
    // Closes every element still open.
    void Finish();

    // The compact text written so far (text mode only).
    const std::string& Str() const { return text_; }

  private:
    void Seal();
    void Escaped(const char* value, bool attribute);
    template <typename Integer>
    void IntegerAttribute(const char* name, Integer value);

    // Document mode.
    tinyxml2::XMLDocument* document_ = nullptr;
    tinyxml2::XMLNode* current_ = nullptr;
    tinyxml2::XMLElement* element_ = nullptr;

    // Text mode.
    std::string text_;
    std::vector<const char*> open_;
    bool justOpened_ = false;
};

// Decimal text of `value` as printf's "%d" / "%u" writes it, appended to `out`.
void AppendDecimal(std::string& out, int32_t value);
void AppendDecimal(std::string& out, uint32_t value);

}  // namespace rimvault
